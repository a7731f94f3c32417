// veltsim: boots the host kernel, plugs a controller into the USB bus, lets the PnP manager load
// the driver through its INF and enumerate its children, streams input through them, unplugs the
// controller and says whether the driver behaved.
#include "demo.h"
#include "options.h"

#include <cstdio>
#include <string>

int main(int argc, char** argv) {
    veltsim::Options options;
    std::string error;
    switch (veltsim::ParseOptions(argc, argv, &options, &error)) {
    case veltsim::ParseResult::Help:
        std::fputs(veltsim::Usage(), stdout);
        return 0;
    case veltsim::ParseResult::Error:
        std::fprintf(stderr, "veltsim: %s\n", error.c_str());
        return 2;
    case veltsim::ParseResult::Run:
        break;
    }
    return veltsim::RunDemo(options);
}
