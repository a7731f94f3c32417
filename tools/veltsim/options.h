// veltsim's command line: what to run and how.
#pragma once

#include "sim/usb/urb_engine.h"

#include <cstdint>
#include <optional>
#include <string>

namespace veltsim {

struct Options {
    std::string command = "demo"; // or "stress"
    // The demo's.
    std::string controller = "default";
    double duration = 3.0; // seconds of input streaming
    double rate = 0;       // input reports per second; 0: the controller's own interval
    std::string capture;   // USB capture file; empty: none
    // Stress's.
    unsigned cycles = 100;
    std::optional<uint64_t> seed; // none: one is drawn and printed
    double deadline = 30;         // real seconds one cycle may take before the watchdog fires
    // Both.
    unsigned controllers = 1; // plugged, streamed and unplugged together
    std::string os = "10";
    std::string completion = "async"; // how the USB stack completes: "async" or "sync"
    std::string log; // demo: empty means a file under /tmp; stress: empty means none
    bool json = false;
    bool quiet = false;
};

// The completion mode --completion names.
sim::usb::Completion CompletionOf(const Options& options);

enum class ParseResult { Run, Help, Error };

// Parses argv. Help: *text holds the help to print; Error: *text holds a one-line message.
ParseResult ParseOptions(int argc, const char* const* argv, Options* options, std::string* text);

} // namespace veltsim
