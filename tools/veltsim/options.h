// veltsim's command line: what to run and how.
#pragma once

#include <string>

namespace veltsim {

struct Options {
    std::string command = "demo";
    std::string controller = "default";
    std::string os = "10";
    double duration = 3.0; // seconds of input streaming
    double rate = 0;       // input reports per second; 0: the controller's own interval
    std::string log;       // empty: a file under /tmp
    bool json = false;
    bool quiet = false;
};

enum class ParseResult { Run, Help, Error };

// Parses argv; on Error, *error holds a one-line message.
ParseResult ParseOptions(int argc, const char* const* argv, Options* options, std::string* error);
const char* Usage();

} // namespace veltsim
