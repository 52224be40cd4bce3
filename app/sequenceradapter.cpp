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
    return callbacks;
}

} // namespace app
