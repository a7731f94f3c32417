// The verifier's pending rule when the lower driver pends: a dispatch routine may return the
// lower driver's STATUS_PENDING and leave the marking to its completion routine.
#include "support/host_fixture.h"

#include <thread>

namespace velt::test {
namespace {

PIRP g_held = nullptr;
bool g_propagate = true;

NTSTATUS NTAPI PropagatesPending(PDEVICE_OBJECT, PIRP irp, PVOID) {
    if (g_propagate && irp->PendingReturned) {
        IoMarkIrpPending(irp);
    }
    return STATUS_SUCCESS;
}

TEST_F(HostTest, PendingPropagatedByTheCompletionRoutineIsNoViolation) {
    for (bool propagate : {true, false}) {
        g_propagate = propagate;
        TestDriver drivers;
        PDEVICE_OBJECT lower = drivers.CreateDevice([](PDEVICE_OBJECT, PIRP irp) {
            IoMarkIrpPending(irp);
            __atomic_store_n(&g_held, irp, __ATOMIC_SEQ_CST);
            return static_cast<NTSTATUS>(STATUS_PENDING);
        });
        PDEVICE_OBJECT upper = drivers.CreateDevice([lower](PDEVICE_OBJECT, PIRP irp) {
            IoCopyCurrentIrpStackLocationToNext(irp);
            IoSetCompletionRoutine(irp, PropagatesPending, nullptr, TRUE, TRUE, TRUE);
            return IofCallDriver(lower, irp);
        });
        upper->StackSize = static_cast<CCHAR>(lower->StackSize + 1);
        std::thread completer([] {
            PIRP irp;
            while ((irp = __atomic_load_n(&g_held, __ATOMIC_SEQ_CST)) == nullptr) {
                std::this_thread::yield();
            }
            __atomic_store_n(&g_held, nullptr, __ATOMIC_SEQ_CST);
            irp->IoStatus.Status = STATUS_SUCCESS;
            IofCompleteRequest(irp, IO_NO_INCREMENT);
        });
        host::SendIrp(upper, STATUS_NOT_SUPPORTED,
                      [](PIRP, PIO_STACK_LOCATION stack) { stack->MajorFunction = IRP_MJ_READ; });
        completer.join();
        std::vector<host::Violation> violations = host::Violations();
        if (propagate) {
            EXPECT_TRUE(violations.empty()) << host::DescribeViolations();
        } else {
            ASSERT_EQ(1u, violations.size());
            EXPECT_EQ(host::rule::PendingNotMarked, violations[0].rule);
        }
        host::ClearViolations();
    }
}

} // namespace
} // namespace velt::test
