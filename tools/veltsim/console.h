// What the demo and stress share: printing from several threads, JSON text, the host booted for
// a run and the driver's debug log written to a file.
#pragma once

#include "options.h"

#include <host/host.h>

#include <chrono>
#include <cstdio>
#include <functional>
#include <mutex>
#include <string>
#include <vector>

namespace veltsim {

// Everything printed goes through here: the log observer prints from the driver's threads.
class Console {
  public:
    explicit Console(bool verbose) : verbose_(verbose) {}
    bool Verbose() const {
        return verbose_;
    }
    void Print(const char* format, ...) __attribute__((format(printf, 2, 3)));

  private:
    bool verbose_;
    std::mutex lock_;
};

std::string Format(const char* format, ...) __attribute__((format(printf, 1, 2)));
std::string JsonString(const std::string& text);
// The end of a JSON summary: its problems and whether all was well, closing the object.
std::string JsonProblemsAndEnd(const std::vector<std::string>& problems);
double Seconds(LONGLONG kernelTime);

// Boots the host for a run: the Windows version of the options, the time scale, and a bug check
// that ends the run with status 1 after `context` (may be empty) says where it struck.
void BootHost(const Options& options, double timeScale, std::function<std::string()> context);

// The driver's debug log, line by line, to a file; each line is also handed to `watch` (on the
// writer's thread). Detaches from the host when destroyed.
class DebugLog {
  public:
    DebugLog() = default;
    ~DebugLog();
    DebugLog(const DebugLog&) = delete;
    DebugLog& operator=(const DebugLog&) = delete;

    // Opens the file (none when path is empty) and starts observing; FALSE when the file
    // cannot be written.
    bool Open(const std::string& path, std::function<void(const host::LogLine&)> watch);

  private:
    std::mutex lock_;
    FILE* file_ = nullptr;
};

// Polls the condition until it holds or the real-time limit passes.
bool WaitFor(const std::function<bool()>& condition, std::chrono::milliseconds limit);

} // namespace veltsim
