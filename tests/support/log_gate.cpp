#include "log_gate.h"

#include <chrono>
#include <condition_variable>
#include <mutex>
#include <thread>

namespace {
constexpr auto Guard = std::chrono::seconds(10);
}

struct LogGate::State {
    std::string line;
    std::mutex lock;
    std::condition_variable wake;
    bool reached = false;
    bool open = false;
};

LogGate::LogGate(std::string line) : state_(std::make_shared<State>()) {
    state_->line = std::move(line);
    std::shared_ptr<State> state = state_;
    host::SetLogObserver([state](const host::LogLine& written) {
        if (written.text != state->line) {
            return;
        }
        std::unique_lock<std::mutex> guard(state->lock);
        state->reached = true;
        state->wake.notify_all();
        state->wake.wait(guard, [&] { return state->open; });
    });
}

LogGate::~LogGate() {
    Open();
    host::SetLogObserver(nullptr);
}

bool LogGate::WaitReached() {
    std::unique_lock<std::mutex> guard(state_->lock);
    return state_->wake.wait_for(guard, Guard, [this] { return state_->reached; });
}

void LogGate::Open() {
    std::lock_guard<std::mutex> guard(state_->lock);
    state_->open = true;
    state_->wake.notify_all();
}

bool Eventually(const std::function<bool()>& condition) {
    auto deadline = std::chrono::steady_clock::now() + Guard;
    while (!condition()) {
        if (std::chrono::steady_clock::now() > deadline) {
            return false;
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
    }
    return true;
}
