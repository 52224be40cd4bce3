// A file dialog for tests: answers with a preset path (empty = cancel) and
// records every question asked.
#ifndef TESTS_RECORDINGFILEDIALOG_H
#define TESTS_RECORDINGFILEDIALOG_H

#include <QString>
#include <QStringList>

#include "app/window/filedialog.h"

class RecordingFileDialog : public app::window::FileDialog
{
public:
    QString saveFileName(const QString& title, const QString& suggestedPath,
                         const QString& filter) override
    {
        asked.append(title + QStringLiteral(" | ") + suggestedPath + QStringLiteral(" | ") + filter);
        return answer;
    }

    QString answer;      // what the operator "chooses"
    QStringList asked;   // "title | suggested path | filter", oldest first
};

#endif
