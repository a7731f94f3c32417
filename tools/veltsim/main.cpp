// veltsim: boots the host kernel, plugs a controller into the USB bus, lets the PnP manager load
// the driver through its INF and enumerate its children, streams input through them, unplugs the
// controller and says whether the driver behaved; or does all that many times over (stress).
#include "demo.h"
#include "options.h"
#include "stress.h"

#include <cstdio>
#include <string>

int main(int argc, char** argv) {
    veltsim::Options options;
    std::string text;
    switch (veltsim::ParseOptions(argc, argv, &options, &text)) {
    case veltsim::ParseResult::Help:
        std::fputs(text.c_str(), stdout);
        return 0;
    case veltsim::ParseResult::Error:
        std::fprintf(stderr, "veltsim: %s\n", text.c_str());
        return 2;
    case veltsim::ParseResult::Run:
        break;
    }
    return options.command == "stress" ? veltsim::RunStress(options) : veltsim::RunDemo(options);
}
