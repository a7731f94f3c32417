// The host's one SIGSEGV handler: the owners of address ranges that fault on purpose (programs'
// user spaces, the special pool) are asked in turn; a fault no owner claims goes to the handler
// that was there before. Everything here runs in a signal handler: async-signal-safe only.
#pragma once

#include <cstddef>
#include <cstdint>

namespace host::detail {

// A line built in place, for a signal handler: no heap, no locks, no stdio, as a handler that may
// interrupt malloc or a host lock must be (signal-safety(7)).
struct SignalLine {
    char text[512];
    size_t used = 0;

    void Add(const char* piece);
    void Add(const SignalLine& other);
    void AddNumber(uintptr_t value, unsigned base, size_t leastDigits);
    // Writes the line to stderr.
    void Emit() const;
};

// "*** STOP: 0x<code> (<name>: <what>)" on stderr, then the end of the process: a bug check from
// a fault handler, where the verifier's list and the bug check handler (they take locks the
// faulting code may hold) cannot be used.
[[noreturn]] void StopFromSignal(unsigned code, const char* name, const SignalLine& what);

// Whether the fault at `address` is the owner's; it then returns only when the access may run
// again, and stops the process itself otherwise.
using FaultOwner = bool (*)(uintptr_t address, void* context);

// Adds an owner and installs the handler on first use; owners are never removed.
void AddFaultOwner(FaultOwner owner);

// Whether a thread that a fault handler returns to resumes as itself. Not so under qemu-i386
// (7.2): its rt_sigreturn reloads %gs from the one descriptor table all the emulated threads
// share, so the thread comes back with the thread pointer, errno, malloc cache and thread_local
// data of the thread created last. Tried once, in a child process, on 32-bit x86; true elsewhere.
bool FaultsResumeIntact();

} // namespace host::detail
