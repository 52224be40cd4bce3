// Says what a write log (frequency-converter --write-log) holds, for the
// display suite's shell: one line, its first word the state.
//   empty 0        nothing written
//   running N      N writes, all of the pattern from its first step
//   idle N         the pattern in whole pairs, then the idle pair last
//   stray K ...    write K is neither: a step cut in two, a second idle pair,
//                  anything after the idle pair
// Exit status 0 when the log could be read, 2 otherwise.
#include <cstdio>
#include <fstream>
#include <iterator>
#include <string>
#include <vector>

#include "piperecord.h"

int main(int argc, char* argv[])
{
    if (argc != 2) {
        std::fprintf(stderr, "usage: logstate LOG\n");
        return 2;
    }
    std::ifstream in(argv[1], std::ios::binary);
    if (!in) {
        std::printf("empty 0\n");  // the program has not opened it yet
        return 0;
    }
    const std::string bytes{std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
    const std::vector<PipeWrite> writes = pipeWrites(bytes.data(), bytes.size());
    const long stray = firstStray(writes);
    if (writes.empty())
        std::printf("empty 0\n");
    else if (stray < 0)
        std::printf("running %zu\n", writes.size());
    else if (endsIdle(writes) && static_cast<std::size_t>(stray) == writes.size() - 2 && stray % 2 == 0)
        std::printf("idle %zu\n", writes.size());
    else
        std::printf("stray %ld: 0x%X <- 0x%02X of %zu writes\n", stray, writes[stray].address, writes[stray].value,
                    writes.size());
    return 0;
}
