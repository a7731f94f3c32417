#include "options.h"

#include "models.h"

#include <CLI/CLI.hpp>

#include <cerrno>
#include <cmath>
#include <cstdlib>

namespace veltsim {

namespace {

// A check of an option's text that says, on failure, what the text should have been.
CLI::Validator Check(std::function<bool(const std::string&)> ok, std::string expected) {
    return CLI::Validator(
        [ok, expected](std::string& text) {
            return ok(text) ? std::string() : "'" + text + "' is not " + expected;
        },
        "");
}

CLI::Validator Number(double low, double high, const std::string& expected) {
    return Check(
        [low, high](const std::string& text) {
            errno = 0;
            char* end = nullptr;
            double value = std::strtod(text.c_str(), &end);
            return !text.empty() && errno == 0 && *end == '\0' && std::isfinite(value) &&
                   value >= low && value <= high;
        },
        expected);
}

CLI::Validator WholeNumber(unsigned long long low, unsigned long long high,
                           const std::string& expected) {
    return Check(
        [low, high](const std::string& text) {
            if (text.empty() || text.find_first_not_of("0123456789") != std::string::npos) {
                return false;
            }
            errno = 0;
            unsigned long long value = std::strtoull(text.c_str(), nullptr, 10);
            return errno == 0 && value >= low && value <= high;
        },
        expected);
}

CLI::Validator FileName() {
    return Check([](const std::string& text) { return !text.empty(); }, "a file name");
}

// CLI11's messages, on one line.
std::string OneLine(std::string text) {
    for (char& c : text) {
        c = c == '\n' ? ' ' : c;
    }
    return text;
}

} // namespace

sim::usb::Completion CompletionOf(const Options& options) {
    return options.completion == "sync" ? sim::usb::Completion::CallerThread
                                        : sim::usb::Completion::BusThread;
}

ParseResult ParseOptions(int argc, const char* const* argv, Options* options, std::string* text) {
    CLI::App app("Plugs a simulated controller into a simulated PC, lets the driver enumerate its "
                 "two children through the HID stack, streams input, unplugs it and checks that "
                 "the driver behaved. Without a command it runs the demo.",
                 "veltsim");
    app.fallthrough();
    app.require_subcommand(0, 1);
    app.footer("exit status: 0 all well, 1 the driver misbehaved, 2 usage error");

    app.add_option("--os", options->os,
                   "Windows version the driver sees: xp, 7, 8, 10 (default: 10)")
        ->type_name("VERSION")
        ->check(Check(
            [](const std::string& os) {
                return os == "xp" || os == "7" || os == "8" || os == "10";
            },
            "one of xp, 7, 8, 10"));
    app.add_option("--completion", options->completion,
                   "how the USB stack completes what a controller answers at once: async (pending, "
                   "then from the bus thread after a seeded delay) or sync (in the dispatch "
                   "routine) (default: async)")
        ->type_name("MODE")
        ->check(Check([](const std::string& mode) { return mode == "async" || mode == "sync"; },
                      "one of async, sync"));
    app.add_option("--log", options->log,
                   "where to write the driver's debug log (demo default: under /tmp; stress: none)")
        ->type_name("FILE")
        ->check(FileName());
    app.add_option("--controllers", options->controllers,
                   "controllers plugged, streamed and unplugged together, each with its own serial "
                   "number and address, 1 to " +
                       std::to_string(kMaxControllers) + " (default: 1)")
        ->type_name("N")
        ->check(WholeNumber(1, kMaxControllers,
                            "a whole number from 1 to " + std::to_string(kMaxControllers)));
    app.add_flag("--json", options->json, "print only the summary, as JSON");
    app.add_flag("-q,--quiet", options->quiet, "print only the summary");

    CLI::Option* demoOnly[] = {
        app.add_option("--controller", options->controller,
                       "demo: controller model (default: default; one of " + ModelNames() + ")")
            ->type_name("NAME")
            ->check(Check([](const std::string& name) { return FindModel(name) != nullptr; },
                          "a controller model (known: " + ModelNames() + ")")),
        app.add_option("--duration", options->duration,
                       "demo: input streaming time, 0.1 to 60 (default: 3)")
            ->type_name("SECONDS")
            ->check(Number(0.1, 60, "a number of seconds from 0.1 to 60")),
        app.add_option("--rate", options->rate,
                       "demo: input reports per second, 1 to 2000 (default: the controller's)")
            ->type_name("HZ")
            ->check(Number(1, 2000, "a rate from 1 to 2000 per second")),
        app.add_option("--capture", options->capture,
                       "demo: write the controller's and the children's USB traffic to FILE in "
                       "USBPcap format (Wireshark, tshark)")
            ->type_name("FILE")
            ->check(FileName()),
    };

    CLI::App* demo = app.add_subcommand("demo", "the demo (the default): the options above");
    demo->set_help_flag();
    CLI::App* stress = app.add_subcommand(
        "stress", "repeated plug, enumerate, stream, sleep and resume, unplug, with surprise "
                  "removals at seeded random moments");
    unsigned long long seed = 0;
    stress->add_option("--cycles", options->cycles, "cycles to run, 1 to 100000 (default: 100)")
        ->type_name("N")
        ->check(WholeNumber(1, 100000, "a whole number from 1 to 100000"));
    CLI::Option* seedOption =
        stress
            ->add_option("--seed", seed,
                         "seed of the surprise removals and of the USB stack's delays (default: "
                         "drawn and printed); thread scheduling is not replayed, so a race may "
                         "need several runs to show again")
            ->type_name("S")
            ->check(WholeNumber(0, UINT64_MAX, "a whole number from 0 to 18446744073709551615"));
    stress
        ->add_option("--deadline", options->deadline,
                     "real seconds a cycle may take before the watchdog calls it a hang (default: "
                     "30)")
        ->type_name("SECONDS")
        ->check(Number(0.001, 3600, "a number of seconds from 0.001 to 3600"));

    try {
        app.parse(argc, argv);
    } catch (const CLI::CallForHelp&) {
        *text = app.help();
        return ParseResult::Help;
    } catch (const CLI::ArgumentMismatch& error) {
        std::string message = error.what();
        *text = "option " + message.substr(0, message.find(':')) + " needs a value (try --help)";
        return ParseResult::Error;
    } catch (const CLI::ParseError& error) {
        *text = OneLine(error.what()) + " (try --help)";
        return ParseResult::Error;
    }
    if (stress->parsed()) {
        options->command = "stress";
        for (const CLI::Option* option : demoOnly) {
            if (option->count() != 0) {
                *text = "option " + option->get_name() + " is for the demo, not for stress";
                return ParseResult::Error;
            }
        }
    }
    if (seedOption->count() != 0) {
        options->seed = seed;
    }
    return ParseResult::Run;
}

} // namespace veltsim
