#include "options.h"

#include <cerrno>
#include <cmath>
#include <cstdlib>

namespace veltsim {

namespace {

bool ParseNumber(const std::string& text, double low, double high, double* out) {
    if (text.empty()) {
        return false;
    }
    errno = 0;
    char* end = nullptr;
    double value = std::strtod(text.c_str(), &end);
    if (errno != 0 || *end != '\0' || !std::isfinite(value) || value < low || value > high) {
        return false;
    }
    *out = value;
    return true;
}

} // namespace

const char* Usage() {
    return "usage: veltsim [demo] [options]\n"
           "\n"
           "Plugs a simulated controller, lets the driver enumerate its two children, streams\n"
           "input, unplugs it and checks that the driver behaved.\n"
           "\n"
           "options:\n"
           "  --controller NAME  controller model (default: default; a wrong name lists them)\n"
           "  --os VERSION       Windows version the driver sees: xp, 7, 8, 10 (default: 10)\n"
           "  --duration SECONDS input streaming time, 0.1 to 60 (default: 3)\n"
           "  --rate HZ          input reports per second, 1 to 2000 (default: the controller's)\n"
           "  --log FILE         where to write the driver's debug log (default: under /tmp)\n"
           "  --json             print only the summary, as JSON\n"
           "  --quiet            print only the summary\n"
           "  -h, --help         show this help\n"
           "\n"
           "exit status: 0 all well, 1 the driver misbehaved, 2 usage error\n";
}

ParseResult ParseOptions(int argc, const char* const* argv, Options* options, std::string* error) {
    int i = 1;
    if (i < argc && argv[i][0] != '-') {
        std::string command = argv[i++];
        if (command != "demo") {
            *error = "unknown command '" + command + "' (try --help)";
            return ParseResult::Error;
        }
        options->command = command;
    }
    for (; i < argc; ++i) {
        std::string arg = argv[i];
        std::string value;
        bool hasValue = false;
        size_t equals = arg.find('=');
        if (arg.rfind("--", 0) == 0 && equals != std::string::npos) {
            value = arg.substr(equals + 1);
            arg = arg.substr(0, equals);
            hasValue = true;
        }
        auto take = [&](std::string* out) {
            if (!hasValue) {
                if (i + 1 >= argc) {
                    *error = "option " + arg + " needs a value";
                    return false;
                }
                value = argv[++i];
            }
            *out = value;
            return true;
        };
        auto flag = [&](bool* out) {
            if (hasValue) {
                *error = "option " + arg + " takes no value";
                return false;
            }
            *out = true;
            return true;
        };
        std::string text;
        if (arg == "-h" || arg == "--help") {
            return ParseResult::Help;
        } else if (arg == "--json") {
            if (!flag(&options->json)) {
                return ParseResult::Error;
            }
        } else if (arg == "--quiet" || arg == "-q") {
            if (!flag(&options->quiet)) {
                return ParseResult::Error;
            }
        } else if (arg == "--controller") {
            if (!take(&options->controller)) {
                return ParseResult::Error;
            }
        } else if (arg == "--log") {
            if (!take(&options->log)) {
                return ParseResult::Error;
            }
            if (options->log.empty()) {
                *error = "option --log needs a file name";
                return ParseResult::Error;
            }
        } else if (arg == "--os") {
            if (!take(&options->os)) {
                return ParseResult::Error;
            }
            if (options->os != "xp" && options->os != "7" && options->os != "8" &&
                options->os != "10") {
                *error = "option --os: '" + options->os + "' is not one of xp, 7, 8, 10";
                return ParseResult::Error;
            }
        } else if (arg == "--duration") {
            if (!take(&text)) {
                return ParseResult::Error;
            }
            if (!ParseNumber(text, 0.1, 60, &options->duration)) {
                *error =
                    "option --duration: '" + text + "' is not a number of seconds from 0.1 to 60";
                return ParseResult::Error;
            }
        } else if (arg == "--rate") {
            if (!take(&text)) {
                return ParseResult::Error;
            }
            if (!ParseNumber(text, 1, 2000, &options->rate)) {
                *error = "option --rate: '" + text + "' is not a rate from 1 to 2000 per second";
                return ParseResult::Error;
            }
        } else {
            *error = "unknown option '" + arg + "' (try --help)";
            return ParseResult::Error;
        }
    }
    return ParseResult::Run;
}

} // namespace veltsim
