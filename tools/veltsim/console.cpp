#include "console.h"

#include <cstdarg>
#include <cstdlib>
#include <thread>

namespace veltsim {

void Console::Print(const char* format, ...) {
    if (!verbose_) {
        return;
    }
    std::lock_guard<std::mutex> guard(lock_);
    va_list args;
    va_start(args, format);
    std::vfprintf(stdout, format, args);
    va_end(args);
    std::fflush(stdout);
}

std::string Format(const char* format, ...) {
    char buffer[1024];
    va_list args;
    va_start(args, format);
    std::vsnprintf(buffer, sizeof(buffer), format, args);
    va_end(args);
    return buffer;
}

std::string JsonString(const std::string& text) {
    std::string out = "\"";
    for (char c : text) {
        if (c == '"' || c == '\\') {
            out += '\\';
            out += c;
        } else if (static_cast<unsigned char>(c) < 0x20) {
            out += Format("\\u%04x", c);
        } else {
            out += c;
        }
    }
    return out + "\"";
}

std::string JsonProblemsAndEnd(const std::vector<std::string>& problems) {
    std::string json = "\"problems\": [";
    for (size_t i = 0; i < problems.size(); ++i) {
        json += (i == 0 ? "" : ", ") + JsonString(problems[i]);
    }
    return json + "], \"ok\": " + (problems.empty() ? "true" : "false") + "}\n";
}

double Seconds(LONGLONG kernelTime) {
    return static_cast<double>(kernelTime) / 1e7;
}

void BootHost(const Options& options, double timeScale, std::function<std::string()> context) {
    host::Reset();
    host::SetTimeScale(timeScale);
    host::SetOsVersion(options.os == "xp"  ? host::WindowsXp
                       : options.os == "7" ? host::Windows7
                       : options.os == "8" ? host::Windows8
                                           : host::Windows10);
    host::SetBugCheckHandler([context](ULONG code, const std::string& reason) {
        std::string where = context ? context() : std::string();
        std::fprintf(stderr, "veltsim: bug check 0x%08X: %s%s%s\n", static_cast<unsigned>(code),
                     reason.c_str(), where.empty() ? "" : " ", where.c_str());
        std::_Exit(1);
    });
}

DebugLog::~DebugLog() {
    host::SetLogObserver(nullptr);
    if (file_ != nullptr) {
        std::fclose(file_);
    }
}

bool DebugLog::Open(const std::string& path, std::function<void(const host::LogLine&)> watch) {
    if (!path.empty()) {
        file_ = std::fopen(path.c_str(), "w");
        if (file_ == nullptr) {
            return false;
        }
    }
    host::SetLogObserver([this, watch](const host::LogLine& line) {
        if (file_ != nullptr) {
            std::lock_guard<std::mutex> guard(lock_);
            std::fprintf(file_, "%s\n", line.text.c_str());
        }
        if (watch) {
            watch(line);
        }
    });
    return true;
}

bool WaitFor(const std::function<bool()>& condition, std::chrono::milliseconds limit) {
    auto deadline = std::chrono::steady_clock::now() + limit;
    while (!condition()) {
        if (std::chrono::steady_clock::now() > deadline) {
            return condition();
        }
        std::this_thread::sleep_for(std::chrono::microseconds(200));
    }
    return true;
}

} // namespace veltsim
