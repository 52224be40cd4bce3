// The sequencer on the real clock, compiled once for the whole program.
#include "port/sequencer.h"

namespace port {

template class BasicSequencer<std::chrono::steady_clock>;

}  // namespace port
