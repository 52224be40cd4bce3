// The same opening as the program's (port selection, its lock, the GPIO
// request at the idle levels), then the two writes through the back end.
#include "app/service/idleport.h"

#include "port/pattern/steppattern.h"

#include <cstdio>

namespace app::service {

port::backend::OpenedPort openCommissionedPort(const std::string& choice, const std::string& keepAlive)
{
    port::backend::OpenedPort opened = port::backend::openPort(choice, keepAlive);
    // auto is no choice the file takes: that remedy goes; the others name the key.
    const auto replaceAll = [](std::string& line, std::string_view from, std::string_view to) {
        for (std::size_t at; (at = line.find(from)) != std::string::npos;)
            line.replace(at, from.size(), to);
    };
    for (std::string* line : {&opened.description, &opened.refusal}) {
        replaceAll(*line, ", or use --port=auto", "");
        replaceAll(*line, "--port=", "port = ");
    }
    return opened;
}

int writeIdlePair(const std::string& choice)
{
    if (choice.empty() || choice == "auto") {
        std::fprintf(stderr, "frequency-converter: ERROR: --idle-port needs the port named, not '%s': auto could "
                             "pick the simulated port and leave the real one as it is\n", choice.c_str());
        return 2;
    }
    const port::backend::OpenedPort opened = openCommissionedPort(choice);
    if (!opened.refusal.empty()) {
        std::fprintf(stderr, "frequency-converter: ERROR: the idle pair was not written: %s\n",
                     opened.refusal.c_str());
        return 2;
    }
    try {
        opened.port->out(port::backend::dataPort, port::pattern::idleData);
        opened.port->out(port::backend::controlPort, port::pattern::idleControl);
    } catch (const port::backend::PortError& error) {
        std::fprintf(stderr, "frequency-converter: ERROR: the idle pair was not written: %s\n", error.what());
        return 1;
    }
    std::fprintf(stderr, "frequency-converter: idle pair written (data 0, then control 2) on %s\n",
                 opened.port->name().c_str());
    return 0;
}

}  // namespace app::service
