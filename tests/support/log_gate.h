// Holds the thread that writes a given debug-log line until the test opens the gate: a way to
// stop a driver thread at a known point without changing the driver.
#pragma once

#include <host/host.h>

#include <functional>
#include <memory>
#include <string>

class LogGate {
  public:
    explicit LogGate(std::string line);
    ~LogGate();
    LogGate(const LogGate&) = delete;
    LogGate& operator=(const LogGate&) = delete;

    // TRUE once a thread wrote the line and is held (FALSE after a generous guard time).
    bool WaitReached();
    void Open();

    struct State;

  private:
    std::shared_ptr<State> state_; // shared with the observer, which may outlive the gate
};

// TRUE once the condition holds, polled (FALSE after a generous guard time).
bool Eventually(const std::function<bool()>& condition);
