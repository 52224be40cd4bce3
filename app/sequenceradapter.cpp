// Posts the sequencer's callbacks to the window's thread.
#include "app/sequenceradapter.h"

namespace app {

SequencerAdapter::SequencerAdapter(QObject* parent)
    : QObject(parent)
{
}

port::SequencerCallbacks SequencerAdapter::callbacks()
{
    port::SequencerCallbacks callbacks;
    callbacks.stateChanged = [this](port::SequencerState state) {
        QMetaObject::invokeMethod(this, [this, state] { emit stateChanged(state); },
                                  Qt::QueuedConnection);
    };
    callbacks.error = [this](const std::string& line) {
        const QString text = QString::fromStdString(line);
        QMetaObject::invokeMethod(this, [this, text] { emit errorOccurred(text); },
                                  Qt::QueuedConnection);
    };
    callbacks.timingKnown = [this](const port::TimingMode& mode) {
        const QString text = QString::fromStdString(port::timingText(mode));
        QMetaObject::invokeMethod(this, [this, text] { emit timingKnown(text); }, Qt::QueuedConnection);
    };
    return callbacks;
}

} // namespace app
