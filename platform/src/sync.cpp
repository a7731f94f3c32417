// IRQL, spin locks, events, waits and kernel time.
#include "kernel.h"

#include <sched.h>

#include <atomic>
#include <chrono>

namespace host::detail {
namespace {

thread_local KIRQL t_irql = PASSIVE_LEVEL;
thread_local int t_spinLocks = 0;

struct Clock {
    std::mutex lock;
    std::chrono::steady_clock::time_point realAnchor = std::chrono::steady_clock::now();
    LONGLONG kernelAnchor = 0;
    double scale = 1.0;
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

LONGLONG KernelNow() {
    Clock& clock = TheClock();
    std::lock_guard<std::mutex> guard(clock.lock);
    auto real = std::chrono::steady_clock::now() - clock.realAnchor;
    auto ns = std::chrono::duration_cast<std::chrono::nanoseconds>(real).count();
    return clock.kernelAnchor +
           static_cast<LONGLONG>(static_cast<double>(ns) * clock.scale / 100.0);
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
    SetTimeScale(1.0);
}

} // namespace host::detail

namespace host {

void SetTimeScale(double kernelSecondsPerRealSecond) {
    LONGLONG now = detail::KernelNow();
    detail::Clock& clock = detail::TheClock();
    std::lock_guard<std::mutex> guard(clock.lock);
    clock.kernelAnchor = now;
    clock.realAnchor = std::chrono::steady_clock::now();
    clock.scale = kernelSecondsPerRealSecond;
}

LONGLONG KernelTime() {
    return detail::KernelNow();
}

IrqlScope::IrqlScope(KIRQL irql) : old_(detail::CurrentIrql()) {
    detail::SetIrql(irql);
}

IrqlScope::~IrqlScope() {
    detail::SetIrql(old_);
}

} // namespace host

using namespace host::detail;

extern "C" {

KIRQL NTAPI KeGetCurrentIrql(void) {
    return CurrentIrql();
}

VOID NTAPI KeRaiseIrql(KIRQL NewIrql, PKIRQL OldIrql) {
    KIRQL old = CurrentIrql();
    if (NewIrql < old) {
        BugCheck(0x9D, "KeRaiseIrql to a lower IRQL"); // IRQL_NOT_GREATER_OR_EQUAL
    }
    *OldIrql = old;
    SetIrql(NewIrql);
}

VOID NTAPI KeLowerIrql(KIRQL NewIrql) {
    if (NewIrql > CurrentIrql()) {
        BugCheck(0x0A, "KeLowerIrql to a higher IRQL"); // IRQL_NOT_LESS_OR_EQUAL
    }
    SetIrql(NewIrql);
}

VOID NTAPI KeAcquireSpinLockAtDpcLevel(PKSPIN_LOCK SpinLock) {
    while (__atomic_exchange_n(SpinLock, 1, __ATOMIC_ACQUIRE) != 0) {
        sched_yield();
    }
    t_spinLocks++;
}

VOID NTAPI KeReleaseSpinLockFromDpcLevel(PKSPIN_LOCK SpinLock) {
    if (__atomic_exchange_n(SpinLock, 0, __ATOMIC_RELEASE) == 0) {
        BugCheck(0x10, "spin lock released while not held"); // SPIN_LOCK_NOT_OWNED
    }
    t_spinLocks--;
}

VOID NTAPI KeAcquireSpinLock(PKSPIN_LOCK SpinLock, PKIRQL OldIrql) {
    KeRaiseIrql(DISPATCH_LEVEL, OldIrql);
    KeAcquireSpinLockAtDpcLevel(SpinLock);
}

VOID NTAPI KeReleaseSpinLock(PKSPIN_LOCK SpinLock, KIRQL NewIrql) {
    KeReleaseSpinLockFromDpcLevel(SpinLock);
    KeLowerIrql(NewIrql);
}

PLIST_ENTRY NTAPI ExInterlockedInsertTailList(PLIST_ENTRY ListHead, PLIST_ENTRY ListEntry,
                                              PKSPIN_LOCK Lock) {
    KIRQL old;
    KeAcquireSpinLock(Lock, &old);
    PLIST_ENTRY previous = IsListEmpty(ListHead) ? NULL : ListHead->Blink;
    InsertTailList(ListHead, ListEntry);
    KeReleaseSpinLock(Lock, old);
    return previous;
}

PLIST_ENTRY NTAPI ExInterlockedInsertHeadList(PLIST_ENTRY ListHead, PLIST_ENTRY ListEntry,
                                              PKSPIN_LOCK Lock) {
    KIRQL old;
    KeAcquireSpinLock(Lock, &old);
    PLIST_ENTRY previous = IsListEmpty(ListHead) ? NULL : ListHead->Flink;
    InsertHeadList(ListHead, ListEntry);
    KeReleaseSpinLock(Lock, old);
    return previous;
}

PLIST_ENTRY NTAPI ExInterlockedRemoveHeadList(PLIST_ENTRY ListHead, PKSPIN_LOCK Lock) {
    KIRQL old;
    KeAcquireSpinLock(Lock, &old);
    PLIST_ENTRY entry = IsListEmpty(ListHead) ? NULL : RemoveHeadList(ListHead);
    KeReleaseSpinLock(Lock, old);
    return entry;
}

VOID NTAPI KeInitializeEvent(PRKEVENT Event, EVENT_TYPE Type, BOOLEAN State) {
    memset(Event, 0, sizeof(*Event));
    Event->Header.Type = static_cast<UCHAR>(Type);
    Event->Header.Size = sizeof(KEVENT) / sizeof(LONG);
    Event->Header.SignalState = State ? 1 : 0;
    InitializeListHead(&Event->Header.WaitListHead);
}

LONG NTAPI KeSetEvent(PRKEVENT Event, KPRIORITY Increment, BOOLEAN Wait) {
    UNREFERENCED_PARAMETER(Increment);
    UNREFERENCED_PARAMETER(Wait);
    if (CurrentIrql() > DISPATCH_LEVEL) {
        host::detail::Violate(host::rule::IrqlTooHigh, "KeSetEvent on " + Hex(Event) + " at IRQL " +
                                                           std::to_string(CurrentIrql()));
    }
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
    std::lock_guard<std::mutex> guard(DispatcherLock());
    LONG previous = Event->Header.SignalState;
    Event->Header.SignalState = 0;
    return previous;
}

VOID NTAPI KeClearEvent(PRKEVENT Event) {
    KeResetEvent(Event);
}

LONG NTAPI KeReadStateEvent(PRKEVENT Event) {
    std::lock_guard<std::mutex> guard(DispatcherLock());
    return Event->Header.SignalState;
}

NTSTATUS NTAPI KeWaitForSingleObject(PVOID Object, KWAIT_REASON WaitReason,
                                     KPROCESSOR_MODE WaitMode, BOOLEAN Alertable,
                                     PLARGE_INTEGER Timeout) {
    UNREFERENCED_PARAMETER(WaitReason);
    UNREFERENCED_PARAMETER(WaitMode);
    UNREFERENCED_PARAMETER(Alertable);
    bool zeroTimeout = Timeout != NULL && Timeout->QuadPart == 0;
    if (CurrentIrql() > DISPATCH_LEVEL || (CurrentIrql() == DISPATCH_LEVEL && !zeroTimeout)) {
        host::detail::Violate(host::rule::IrqlTooHigh, "KeWaitForSingleObject on " + Hex(Object) +
                                                           " blocks at IRQL " +
                                                           std::to_string(CurrentIrql()));
    }
    auto* header = static_cast<DISPATCHER_HEADER*>(Object);
    auto signalled = [header] { return header->SignalState > 0; };
    auto consume = [header] {
        if (header->Type == SynchronizationEvent) {
            header->SignalState = 0;
        }
        return STATUS_SUCCESS;
    };
    std::unique_lock<std::mutex> guard(DispatcherLock());
    if (Timeout == NULL) {
        DispatcherWake().wait(guard, signalled);
        return consume();
    }
    LONGLONG relative = Timeout->QuadPart;
    if (relative > 0) {
        LARGE_INTEGER now;
        guard.unlock();
        KeQuerySystemTime(&now);
        guard.lock();
        relative = now.QuadPart - relative; // absolute: time left, as a negative interval
    }
    auto deadline = std::chrono::steady_clock::now() + RealDurationOf(-relative);
    if (!DispatcherWake().wait_until(guard, deadline, signalled)) {
        return STATUS_TIMEOUT;
    }
    return consume();
}

NTSTATUS NTAPI KeDelayExecutionThread(KPROCESSOR_MODE WaitMode, BOOLEAN Alertable,
                                      PLARGE_INTEGER Interval) {
    KEVENT never;
    KeInitializeEvent(&never, NotificationEvent, FALSE);
    KeWaitForSingleObject(&never, Executive, WaitMode, Alertable, Interval);
    return STATUS_SUCCESS;
}

VOID NTAPI KeQuerySystemTime(PLARGE_INTEGER CurrentTime) {
    CurrentTime->QuadPart = BootSystemTime + KernelNow();
}

ULONGLONG NTAPI KeQueryInterruptTime(void) {
    return static_cast<ULONGLONG>(KernelNow());
}

} // extern "C"
