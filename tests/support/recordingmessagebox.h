// A message box for tests: records what would have been shown and answers OK at once.
#ifndef TESTS_RECORDINGMESSAGEBOX_H
#define TESTS_RECORDINGMESSAGEBOX_H

#include <QString>
#include <QStringList>

#include <functional>

#include "app/window/messagebox.h"

class RecordingMessageBox : public app::window::MessageBox
{
public:
    void show(const QString& prompt, const QString& title) override
    {
        shown.append(title + QStringLiteral(" | ") + prompt);
        if (whileShown)
            whileShown();
    }

    QStringList shown;              // "title | prompt", oldest first
    std::function<void()> whileShown; // runs while the box would be open
};

#endif
