// The host's SIGSEGV dispatcher (see faults.h). Installed once for the process, on the alternate
// signal stack where one is set, with SA_NODEFER so that an owner's own fault (a stop while one
// is being written) still ends the process; a fault no owner claims goes to the handler that
// was there before (AddressSanitizer's, or the default one).
#include "faults.h"

#include <signal.h>
#include <unistd.h>

#if defined(__i386__)
#include <pthread.h>
#include <sys/mman.h>
#include <sys/wait.h>
#endif

#include <atomic>
#include <cerrno>
#include <cstdlib>
#include <mutex>

namespace host::detail {

void SignalLine::Add(const char* piece) {
    while (*piece != '\0' && used < sizeof text) {
        text[used++] = *piece++;
    }
}

void SignalLine::Add(const SignalLine& other) {
    for (size_t i = 0; i < other.used && used < sizeof text; ++i) {
        text[used++] = other.text[i];
    }
}

void SignalLine::AddNumber(uintptr_t value, unsigned base, size_t leastDigits) {
    char digits[2 * sizeof(uintptr_t) + 1];
    size_t count = 0;
    do {
        digits[count++] = "0123456789ABCDEF"[value % base];
        value /= base;
    } while ((value != 0 || count < leastDigits) && count < sizeof digits);
    while (count != 0 && used < sizeof text) {
        text[used++] = digits[--count];
    }
}

void SignalLine::Emit() const {
    for (size_t done = 0; done < used;) {
        ssize_t wrote = write(STDERR_FILENO, text + done, used - done);
        if (wrote <= 0) {
            return;
        }
        done += static_cast<size_t>(wrote);
    }
}

void StopFromSignal(unsigned code, const char* name, const SignalLine& what) {
    SignalLine line;
    line.Add("*** STOP: 0x");
    line.AddNumber(code, 16, 8);
    line.Add(" (");
    line.Add(name);
    line.Add(": ");
    line.Add(what);
    line.Add(")\n");
    line.Emit();
    std::abort();
}

namespace {

constexpr size_t MaxOwners = 4;
std::atomic<FaultOwner> g_owners[MaxOwners];
struct sigaction g_previous;
std::once_flag g_installed;

void OnSegv(int signal, siginfo_t* info, void* context) {
    int savedErrno = errno;
    auto address = reinterpret_cast<uintptr_t>(info->si_addr);
    for (const std::atomic<FaultOwner>& slot : g_owners) {
        FaultOwner owner = slot.load(std::memory_order_acquire);
        if (owner != nullptr && owner(address, context)) {
            errno = savedErrno;
            return;
        }
    }
    errno = savedErrno;
    if ((g_previous.sa_flags & SA_SIGINFO) != 0 && g_previous.sa_sigaction != nullptr) {
        g_previous.sa_sigaction(signal, info, context);
        return;
    }
    if (g_previous.sa_handler != SIG_DFL && g_previous.sa_handler != SIG_IGN) {
        g_previous.sa_handler(signal);
        return;
    }
    // The default action: the access runs again and ends the process.
    struct sigaction fallback {};
    fallback.sa_handler = SIG_DFL;
    sigemptyset(&fallback.sa_mask);
    sigaction(SIGSEGV, &fallback, nullptr);
}

#if defined(__i386__)
// The probe's page, made accessible by the child's handler so that the faulting read runs again.
void* g_probePage = nullptr;

void OnProbeFault(int, siginfo_t*, void*) {
    mprotect(g_probePage, 4096, PROT_READ | PROT_WRITE);
}

// glibc keeps the thread's own control block address at %gs:0.
uintptr_t ThreadPointer() {
    uintptr_t pointer;
    asm volatile("movl %%gs:0, %0" : "=r"(pointer) : : "memory");
    return pointer;
}

constexpr int ProbeSetupFailed = 2;

// In the child: a thread created after this one, then a fault served by a handler that returns;
// 0 when this thread comes back with its own thread pointer.
int ProbeInChild() {
    g_probePage = mmap(nullptr, 4096, PROT_NONE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
    struct sigaction action {};
    action.sa_sigaction = OnProbeFault;
    action.sa_flags = SA_SIGINFO;
    sigemptyset(&action.sa_mask);
    int blocker[2];
    pthread_t newer;
    if (g_probePage == MAP_FAILED || sigaction(SIGSEGV, &action, nullptr) != 0 ||
        pipe(blocker) != 0 ||
        pthread_create(
            &newer, nullptr,
            [](void* fd) -> void* {
                char byte;
                return read(*static_cast<int*>(fd), &byte, 1) < 0 ? nullptr : fd;
            },
            &blocker[0]) != 0) {
        return ProbeSetupFailed;
    }
    uintptr_t before = ThreadPointer();
    (void)*static_cast<volatile unsigned char*>(g_probePage);
    return ThreadPointer() == before ? 0 : 1;
}

// Where the probe cannot run (no fork, no child status, no thread in the child) the host cannot
// tell and takes the thread to resume as a native kernel makes it.
bool ProbeFaultResume() {
    pid_t child = fork();
    if (child == 0) {
        _exit(ProbeInChild());
    }
    if (child < 0) {
        return true;
    }
    int status = 0;
    pid_t waited;
    while ((waited = waitpid(child, &status, 0)) < 0 && errno == EINTR) {
    }
    if (waited != child || (WIFEXITED(status) && WEXITSTATUS(status) == ProbeSetupFailed)) {
        return true;
    }
    if (WIFEXITED(status) && WEXITSTATUS(status) == 0) {
        return true;
    }
    return false;
}

// Probed before main, while the process has one thread: the child forked for it may then create
// threads of its own.
[[maybe_unused]] const bool g_probedAtStart = FaultsResumeIntact();
#endif

} // namespace

bool FaultsResumeIntact() {
#if defined(__i386__)
    static const bool intact = ProbeFaultResume();
    return intact;
#else
    return true;
#endif
}

void AddFaultOwner(FaultOwner owner) {
    std::call_once(g_installed, [] {
        struct sigaction action {};
        action.sa_sigaction = OnSegv;
        action.sa_flags = SA_SIGINFO | SA_NODEFER | SA_ONSTACK;
        sigemptyset(&action.sa_mask);
        sigaction(SIGSEGV, &action, &g_previous);
    });
    for (std::atomic<FaultOwner>& slot : g_owners) {
        FaultOwner empty = nullptr;
        if (slot.compare_exchange_strong(empty, owner, std::memory_order_acq_rel) ||
            empty == owner) {
            return;
        }
    }
    std::abort(); // more owners than the host has
}

} // namespace host::detail
