// IRQL, spin locks, events, waits and kernel time.
#include "kernel.h"

#include <sched.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <map>

namespace host::detail {
namespace {

thread_local KIRQL t_irql = PASSIVE_LEVEL;
thread_local int t_spinLocks = 0;

struct Clock {
    std::mutex lock;
    std::chrono::steady_clock::time_point realAnchor = std::chrono::steady_clock::now();
    LONGLONG kernelAnchor = 0;
    double scale = 1.0;
    // Device work due at a kernel time and not yet delivered: the clock does not pass the
    // earliest, as on Windows a host controller's DPC runs before a passive-level thread sees
    // its timer expire. Token to due time.
    std::multimap<LONGLONG, uint64_t> holds;
    uint64_t nextHold = 1;
    LONGLONG lastRead = 0; // kernel time never runs backwards
};

Clock& TheClock() {
    static Clock* clock = new Clock; // never destroyed: detached threads may outlive exit
    return *clock;
}

// The host's wall clock starts at 2026-01-01 00:00 in the kernel's 1601-based 100 ns units.
constexpr LONGLONG BootSystemTime = 134115840000000000LL;

} // namespace

KIRQL CurrentIrql() {
    return t_irql;
}

void SetIrql(KIRQL irql) {
    t_irql = irql;
}

int HeldSpinLocks() {
    return t_spinLocks;
}

void AcquireSpin(PKSPIN_LOCK lock) {
    while (__atomic_exchange_n(lock, 1, __ATOMIC_ACQUIRE) != 0) {
        sched_yield();
    }
    t_spinLocks++;
}

void ReleaseSpin(PKSPIN_LOCK lock) {
    if (__atomic_exchange_n(lock, 0, __ATOMIC_RELEASE) == 0) {
        BugCheck(0x10, "SPIN_LOCK_NOT_OWNED: spin lock released while not held");
    }
    t_spinLocks--;
}

// Never destroyed: detached system threads may still signal while the process exits.
std::mutex& DispatcherLock() {
    static std::mutex* lock = new std::mutex;
    return *lock;
}

std::condition_variable& DispatcherWake() {
    static std::condition_variable* wake = new std::condition_variable;
    return *wake;
}

void SignalObject(DISPATCHER_HEADER* header) {
    {
        std::lock_guard<std::mutex> guard(DispatcherLock());
        header->SignalState = 1;
    }
    DispatcherWake().notify_all();
}

namespace {

// The kernel time that real time alone gives, before any hold.
LONGLONG UnheldNowLocked(const Clock& clock) {
    auto real = std::chrono::steady_clock::now() - clock.realAnchor;
    auto ns = std::chrono::duration_cast<std::chrono::nanoseconds>(real).count();
    return clock.kernelAnchor +
           static_cast<LONGLONG>(static_cast<double>(ns) * clock.scale / 100.0);
}

// Held: a hold stops the clock short of the time that has passed, so that it moves again only
// when a hold is released.
LONGLONG KernelNowLocked(Clock& clock, bool* held = nullptr) {
    LONGLONG now = UnheldNowLocked(clock);
    bool stopped = !clock.holds.empty() && clock.holds.begin()->first < now;
    if (stopped) {
        now = clock.holds.begin()->first;
    }
    if (held != nullptr) {
        *held = stopped;
    }
    clock.lastRead = std::max(clock.lastRead, now);
    return clock.lastRead;
}

LONGLONG KernelNowHeld(bool* held) {
    Clock& clock = TheClock();
    std::lock_guard<std::mutex> guard(clock.lock);
    return KernelNowLocked(clock, held);
}

// Wakes the waits so that they read the clock again; taken so that a waiter between reading the
// clock and sleeping cannot miss the wake.
void WakeTimedWaits() {
    { std::lock_guard<std::mutex> guard(DispatcherLock()); }
    DispatcherWake().notify_all();
}

} // namespace

LONGLONG KernelNow() {
    Clock& clock = TheClock();
    std::lock_guard<std::mutex> guard(clock.lock);
    return KernelNowLocked(clock);
}

std::chrono::steady_clock::duration RealDurationOf(LONGLONG kernel100ns) {
    double scale;
    {
        std::lock_guard<std::mutex> guard(TheClock().lock);
        scale = TheClock().scale;
    }
    auto ns = static_cast<long long>(static_cast<double>(kernel100ns) * 100.0 / scale);
    return std::chrono::nanoseconds(ns < 0 ? 0 : ns);
}

void ResetTime() {
    {
        std::lock_guard<std::mutex> guard(TheClock().lock);
        TheClock().holds.clear();
    }
    // The new scale wakes the waits that the holds stopped.
    SetTimeScale(1.0);
}

// An event is usable once KeInitializeEvent set its header (ddi/wdm/nf-wdm-keinitializeevent);
// on Windows a never-initialised one corrupts the dispatcher's wait lists.
void CheckInitialized(DISPATCHER_HEADER* header, const char* routine) {
    bool event = header->Type == NotificationEvent || header->Type == SynchronizationEvent;
    bool initialised = event ? header->Size == sizeof(KEVENT) / sizeof(LONG) &&
                                   header->WaitListHead.Flink != nullptr
                             : header->Type == ThreadObjectType;
    if (!initialised) {
        Violate(host::rule::EventNotInitialized,
                std::string(routine) + " on object " + Hex(header) + ", never initialised");
    }
}

LONG ResetEvent(PRKEVENT event) {
    CheckInitialized(&event->Header, "KeResetEvent");
    std::lock_guard<std::mutex> guard(DispatcherLock());
    LONG previous = event->Header.SignalState;
    event->Header.SignalState = 0;
    return previous;
}

NTSTATUS WaitOn(DISPATCHER_HEADER* header, PLARGE_INTEGER timeout) {
    auto signalled = [header] { return header->SignalState > 0; };
    auto consume = [header] {
        if (header->Type == SynchronizationEvent) {
            header->SignalState = 0;
        }
        return STATUS_SUCCESS;
    };
    std::unique_lock<std::mutex> guard(DispatcherLock());
    if (timeout == NULL) {
        DispatcherWake().wait(guard, signalled);
        return consume();
    }
    // Negative: an interval from now; positive: an absolute system time.
    LONGLONG deadline = timeout->QuadPart < 0 ? KernelNow() - timeout->QuadPart
                                              : timeout->QuadPart - BootSystemTime;
    // The deadline is in kernel time, which a hold stops: each turn waits the real time that
    // the kernel time left would take. A clock that a hold stops moves only when the hold is
    // released, which wakes the waiters: until then the wait is untimed, since timed turns would
    // poll the clock while the thread that delivers the held work needs the core.
    for (;;) {
        if (signalled()) {
            return consume();
        }
        bool held = false;
        LONGLONG left = deadline - KernelNowHeld(&held);
        if (left <= 0) {
            return STATUS_TIMEOUT;
        }
        if (held) {
            DispatcherWake().wait(guard);
        } else {
            DispatcherWake().wait_until(guard,
                                        std::chrono::steady_clock::now() + RealDurationOf(left));
        }
    }
}

// The interlocked list routines run at any IRQL: their lock is taken with interrupts off, which
// the host models by taking it without an IRQL change.
class InterlockedListLock {
  public:
    explicit InterlockedListLock(PKSPIN_LOCK lock) : lock_(lock) {
        AcquireSpin(lock_);
    }
    ~InterlockedListLock() {
        ReleaseSpin(lock_);
    }
    InterlockedListLock(const InterlockedListLock&) = delete;
    InterlockedListLock& operator=(const InterlockedListLock&) = delete;

  private:
    PKSPIN_LOCK lock_;
};

} // namespace host::detail

namespace host {

// Re-anchored at the time read under the same lock, so that a release in between cannot leave
// the clock anchored at a hold already gone; the waits then work out their real time again.
void SetTimeScale(double kernelSecondsPerRealSecond) {
    {
        detail::Clock& clock = detail::TheClock();
        std::lock_guard<std::mutex> guard(clock.lock);
        clock.kernelAnchor = detail::KernelNowLocked(clock);
        clock.realAnchor = std::chrono::steady_clock::now();
        clock.scale = kernelSecondsPerRealSecond;
    }
    detail::WakeTimedWaits();
}

LONGLONG KernelTime() {
    return detail::KernelNow();
}

uint64_t HoldTime(LONGLONG due) {
    detail::Clock& clock = detail::TheClock();
    std::lock_guard<std::mutex> guard(clock.lock);
    uint64_t token = clock.nextHold++;
    clock.holds.emplace(std::max(due, detail::KernelNowLocked(clock)), token);
    return token;
}

void ReleaseTime(uint64_t token) {
    bool moves = false;
    {
        detail::Clock& clock = detail::TheClock();
        std::lock_guard<std::mutex> guard(clock.lock);
        auto it = std::find_if(clock.holds.begin(), clock.holds.end(),
                               [token](const auto& hold) { return hold.second == token; });
        if (it == clock.holds.end()) {
            return;
        }
        // Only the earliest hold, while it stops the clock and no other stops it at the same
        // time, lets the clock move on when it goes; any other release ends no wait, and waking
        // every waiter for it would cost each streamed completion a wake of the whole process.
        LONGLONG due = it->first;
        bool stopping = due == clock.holds.begin()->first && due <= detail::UnheldNowLocked(clock);
        clock.holds.erase(it);
        moves = stopping && (clock.holds.empty() || clock.holds.begin()->first > due);
    }
    if (moves) {
        detail::WakeTimedWaits();
    }
}

std::chrono::nanoseconds RealDuration(LONGLONG kernel100ns) {
    return std::chrono::duration_cast<std::chrono::nanoseconds>(
        detail::RealDurationOf(kernel100ns));
}

IrqlScope::IrqlScope(KIRQL irql) : old_(detail::CurrentIrql()) {
    detail::SetIrql(irql);
    if (irql >= DISPATCH_LEVEL) {
        detail::TrimPagedPool();
    }
}

IrqlScope::~IrqlScope() {
    detail::SetIrql(old_);
}

} // namespace host

using namespace host::detail;

extern "C" {

KIRQL NTAPI KeGetCurrentIrql(void) {
    CheckDdiIrql(Ddi::KeGetCurrentIrql);
    return CurrentIrql();
}

// PAGED_CODE(), the WDK's assertion in checked builds: pageable code must not run above
// APC_LEVEL, where a page fault cannot be served.
VOID NTAPI HostPagedCode(PCSTR Routine) {
    if (CurrentIrql() > APC_LEVEL) {
        Violate(host::rule::PagedCodeAboveApcLevel,
                std::string("pageable routine ") + Routine + " (called from " +
                    Hex(__builtin_return_address(0)) + ") runs at IRQL " +
                    std::to_string(CurrentIrql()) + " in driver " + ServiceNameOf(CurrentDriver()));
    }
}

VOID NTAPI KeRaiseIrql(KIRQL NewIrql, PKIRQL OldIrql) {
    CheckDdiIrql(Ddi::KeRaiseIrql);
    KIRQL old = CurrentIrql();
    if (NewIrql < old) {
        BugCheck(0x09, "IRQL_NOT_GREATER_OR_EQUAL: KeRaiseIrql to a lower IRQL");
    }
    *OldIrql = old;
    SetIrql(NewIrql);
    if (NewIrql >= DISPATCH_LEVEL && old < DISPATCH_LEVEL) {
        TrimPagedPool();
    }
}

VOID NTAPI KeLowerIrql(KIRQL NewIrql) {
    CheckDdiIrql(Ddi::KeLowerIrql);
    if (NewIrql > CurrentIrql()) {
        BugCheck(0x0A, "IRQL_NOT_LESS_OR_EQUAL: KeLowerIrql to a higher IRQL");
    }
    SetIrql(NewIrql);
}

VOID NTAPI KeAcquireSpinLockAtDpcLevel(PKSPIN_LOCK SpinLock) {
    CheckDdiIrql(Ddi::KeAcquireSpinLockAtDpcLevel);
    AcquireSpin(SpinLock);
}

VOID NTAPI KeReleaseSpinLockFromDpcLevel(PKSPIN_LOCK SpinLock) {
    CheckDdiIrql(Ddi::KeReleaseSpinLockFromDpcLevel);
    ReleaseSpin(SpinLock);
}

// Above DISPATCH_LEVEL (reported) the lock is taken without lowering the IRQL.
VOID NTAPI KeAcquireSpinLock(PKSPIN_LOCK SpinLock, PKIRQL OldIrql) {
    CheckDdiIrql(Ddi::KeAcquireSpinLock);
    *OldIrql = CurrentIrql();
    if (*OldIrql < DISPATCH_LEVEL) {
        KIRQL old;
        KeRaiseIrql(DISPATCH_LEVEL, &old);
    }
    AcquireSpin(SpinLock);
}

VOID NTAPI KeReleaseSpinLock(PKSPIN_LOCK SpinLock, KIRQL NewIrql) {
    CheckDdiIrql(Ddi::KeReleaseSpinLock);
    ReleaseSpin(SpinLock);
    KeLowerIrql(NewIrql);
}

PLIST_ENTRY NTAPI ExInterlockedInsertTailList(PLIST_ENTRY ListHead, PLIST_ENTRY ListEntry,
                                              PKSPIN_LOCK Lock) {
    CheckDdiIrql(Ddi::ExInterlockedList);
    InterlockedListLock lockScope(Lock);
    PLIST_ENTRY previous = IsListEmpty(ListHead) ? NULL : ListHead->Blink;
    InsertTailList(ListHead, ListEntry);
    return previous;
}

PLIST_ENTRY NTAPI ExInterlockedInsertHeadList(PLIST_ENTRY ListHead, PLIST_ENTRY ListEntry,
                                              PKSPIN_LOCK Lock) {
    CheckDdiIrql(Ddi::ExInterlockedList);
    InterlockedListLock lockScope(Lock);
    PLIST_ENTRY previous = IsListEmpty(ListHead) ? NULL : ListHead->Flink;
    InsertHeadList(ListHead, ListEntry);
    return previous;
}

PLIST_ENTRY NTAPI ExInterlockedRemoveHeadList(PLIST_ENTRY ListHead, PKSPIN_LOCK Lock) {
    CheckDdiIrql(Ddi::ExInterlockedList);
    InterlockedListLock lockScope(Lock);
    PLIST_ENTRY entry = IsListEmpty(ListHead) ? NULL : RemoveHeadList(ListHead);
    return entry;
}

VOID NTAPI KeInitializeEvent(PRKEVENT Event, EVENT_TYPE Type, BOOLEAN State) {
    CheckDdiIrql(Ddi::KeInitializeEvent);
    memset(Event, 0, sizeof(*Event));
    Event->Header.Type = static_cast<UCHAR>(Type);
    Event->Header.Size = sizeof(KEVENT) / sizeof(LONG);
    Event->Header.SignalState = State ? 1 : 0;
    InitializeListHead(&Event->Header.WaitListHead);
}

LONG NTAPI KeSetEvent(PRKEVENT Event, KPRIORITY Increment, BOOLEAN Wait) {
    UNREFERENCED_PARAMETER(Increment);
    CheckDdiIrql(Wait ? Ddi::KeSetEventWait : Ddi::KeSetEvent);
    CheckInitialized(&Event->Header, "KeSetEvent");
    LONG previous;
    {
        std::lock_guard<std::mutex> guard(DispatcherLock());
        previous = Event->Header.SignalState;
        Event->Header.SignalState = 1;
    }
    DispatcherWake().notify_all();
    return previous;
}

LONG NTAPI KeResetEvent(PRKEVENT Event) {
    CheckDdiIrql(Ddi::KeResetEvent);
    return ResetEvent(Event);
}

VOID NTAPI KeClearEvent(PRKEVENT Event) {
    CheckDdiIrql(Ddi::KeClearEvent);
    ResetEvent(Event);
}

LONG NTAPI KeReadStateEvent(PRKEVENT Event) {
    CheckDdiIrql(Ddi::KeReadStateEvent);
    CheckInitialized(&Event->Header, "KeReadStateEvent");
    std::lock_guard<std::mutex> guard(DispatcherLock());
    return Event->Header.SignalState;
}

// A wait with a zero timeout only polls and may run at DISPATCH_LEVEL; any other wait blocks
// (0xC4/0x121 without a timeout, 0x122 with one).
NTSTATUS NTAPI KeWaitForSingleObject(PVOID Object, KWAIT_REASON WaitReason,
                                     KPROCESSOR_MODE WaitMode, BOOLEAN Alertable,
                                     PLARGE_INTEGER Timeout) {
    UNREFERENCED_PARAMETER(WaitReason);
    UNREFERENCED_PARAMETER(WaitMode);
    UNREFERENCED_PARAMETER(Alertable);
    bool zeroTimeout = Timeout != NULL && Timeout->QuadPart == 0;
    CheckDdiIrql(zeroTimeout ? Ddi::KeWaitPoll : Ddi::KeWait);
    auto* header = static_cast<DISPATCHER_HEADER*>(Object);
    CheckInitialized(header, "KeWaitForSingleObject");
    return WaitOn(header, Timeout);
}

NTSTATUS NTAPI KeDelayExecutionThread(KPROCESSOR_MODE WaitMode, BOOLEAN Alertable,
                                      PLARGE_INTEGER Interval) {
    UNREFERENCED_PARAMETER(WaitMode);
    UNREFERENCED_PARAMETER(Alertable);
    CheckDdiIrql(Ddi::KeDelayExecutionThread);
    KEVENT never;
    KeInitializeEvent(&never, NotificationEvent, FALSE);
    WaitOn(&never.Header, Interval);
    return STATUS_SUCCESS;
}

VOID NTAPI KeQuerySystemTime(PLARGE_INTEGER CurrentTime) {
    CheckDdiIrql(Ddi::KeQuerySystemTime);
    CurrentTime->QuadPart = BootSystemTime + KernelNow();
}

ULONGLONG NTAPI KeQueryInterruptTime(void) {
    CheckDdiIrql(Ddi::KeQueryInterruptTime);
    return static_cast<ULONGLONG>(KernelNow());
}

} // extern "C"
