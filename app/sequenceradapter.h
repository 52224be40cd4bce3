// The one place where the sequencer thread meets the window: its callbacks
// become queued signals, delivered on the window's thread.
#ifndef APP_SEQUENCERADAPTER_H
#define APP_SEQUENCERADAPTER_H

#include <QObject>

#include "port/sequencer.h"

namespace app {

class SequencerAdapter : public QObject
{
    Q_OBJECT

public:
    explicit SequencerAdapter(QObject* parent = nullptr);

    // Callbacks for the sequencer. They only post an event: the UI thread may be
    // joining the sequencer thread while they run, so they must never wait for it.
    port::SequencerCallbacks callbacks();

signals:
    void stateChanged(port::SequencerState state);
    void errorOccurred(const QString& line);
    void timingKnown(const QString& text);
};

} // namespace app

#endif
