// The same reports run a given number of times, for instruction counts under callgrind:
//   velt_count <reports> [input|output] [driver|baseline]
// Two runs with different report counts give the instructions per report as the difference of
// their totals divided by the difference of the counts: the machine's assembly cancels out.
#include "world.h"

#include <cstdio>
#include <cstdlib>
#include <cstring>

int main(int argc, char** argv) {
    if (argc < 2) {
        std::fprintf(stderr, "usage: %s <reports> [input|output] [driver|baseline]\n", argv[0]);
        return 2;
    }
    unsigned long reports = std::strtoul(argv[1], nullptr, 10);
    bool input = argc < 3 || std::strcmp(argv[2], "output") != 0;
    bool driver = argc < 4 || std::strcmp(argv[3], "baseline") != 0;

    bench::World world;
    if (!world.Assemble()) {
        world.Dismantle();
        return 1;
    }
    bench::Path& path = driver ? world.Driver() : world.Baseline();
    const bench::Bytes output = bench::SampleOutput();
    bool ok = true;
    for (unsigned long i = 0; i < reports && ok; ++i) {
        ok = input ? bench::InputReport(path, bench::SampleInput(static_cast<unsigned>(i)))
                   : bench::OutputReport(path, output);
        if (i % 256 == 255) {
            host::ClearLog();
        }
    }
    if (!ok) {
        std::fprintf(stderr, "a report was lost\n");
    }
    return world.Dismantle() && ok ? 0 : 1;
}
