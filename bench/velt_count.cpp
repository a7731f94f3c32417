// The same reports run a given number of times, for instruction counts under callgrind:
//   velt_count <reports> [input|output] [driver|baseline] [both|gamepad|vendor] [controllers]
//              [filtered]
// `filtered` sets the debug print filter a Windows machine has by default (error level only), so
// that trace lines cost no formatting.
// Two runs with different report counts give the instructions per report as the difference of
// their totals divided by the difference of the counts: the machine's assembly cancels out.
// bench/count.sh runs them and counts only the path itself (see the README's Measuring).
#include "world.h"

#include <cstdio>
#include <cstdlib>
#include <cstring>

namespace {

struct Options {
    unsigned long reports = 0;
    bool input = true;
    bool driver = true;
    bench::Readers readers = bench::Readers::Both;
    unsigned long controllers = 1;
    bool filtered = false;
};

bool Parse(int argc, char** argv, Options* options) {
    if (argc < 2) {
        return false;
    }
    char* end = nullptr;
    options->reports = std::strtoul(argv[1], &end, 10);
    if (*end != '\0') {
        return false;
    }
    for (int i = 2; i < argc; ++i) {
        const char* word = argv[i];
        if (std::strcmp(word, "input") == 0 || std::strcmp(word, "output") == 0) {
            options->input = word[0] == 'i';
        } else if (std::strcmp(word, "driver") == 0 || std::strcmp(word, "baseline") == 0) {
            options->driver = word[0] == 'd';
        } else if (std::strcmp(word, "both") == 0) {
            options->readers = bench::Readers::Both;
        } else if (std::strcmp(word, "gamepad") == 0) {
            options->readers = bench::Readers::Gamepad;
        } else if (std::strcmp(word, "vendor") == 0) {
            options->readers = bench::Readers::Vendor;
        } else if (std::strcmp(word, "filtered") == 0) {
            options->filtered = true;
        } else {
            options->controllers = std::strtoul(word, &end, 10);
            if (*end != '\0' || options->controllers == 0) {
                return false;
            }
        }
    }
    return true;
}

} // namespace

int main(int argc, char** argv) {
    Options options;
    if (!Parse(argc, argv, &options)) {
        std::fprintf(stderr,
                     "usage: %s <reports> [input|output] [driver|baseline] "
                     "[both|gamepad|vendor] [controllers] [filtered]\n",
                     argv[0]);
        return 2;
    }

    bench::World world;
    if (!world.Assemble(options.controllers) || !world.KeepReading(options.readers)) {
        world.Dismantle();
        return 1;
    }
    if (options.filtered) {
        host::SetDebugPrintFilter(DPFLTR_IHVDRIVER_ID, 1u << DPFLTR_ERROR_LEVEL);
    }
    const bench::Bytes output = bench::SampleOutput();
    bool vendorWrites = options.readers == bench::Readers::Vendor;
    bool ok = true;
    for (unsigned long i = 0; i < options.reports && ok; ++i) {
        bench::Path& path =
            options.driver ? world.Driver(i % world.Controllers()) : world.Baseline();
        if (options.input) {
            ok = bench::InputReport(path, bench::SampleInput(static_cast<unsigned>(i)));
        } else {
            ok = options.driver && vendorWrites ? bench::VendorOutputReport(path, output)
                                                : bench::OutputReport(path, output);
        }
        if (i % 256 == 255) {
            host::ClearLog();
        }
    }
    if (!ok) {
        std::fprintf(stderr, "a report was lost\n");
    }
    return world.Dismantle() && ok ? 0 : 1;
}
