// Each verifier rule, broken on purpose, is reported under its name.
#include <cstring>

#include "support/testing.h"

namespace {

using vk::Rule;

void Pageable() { PAGED_CODE(); }
void Initialisation() { INIT_CODE(); }

VOID DummyCancel(PDEVICE_OBJECT, PIRP irp) { IoReleaseCancelSpinLock(irp->CancelIrql); }

NTSTATUS KeepIrp(PDEVICE_OBJECT, PIRP, PVOID) { return STATUS_MORE_PROCESSING_REQUIRED; }

struct Bench {
  vk::System& sys;
  vkt::TestDriver& driver;
  PDEVICE_OBJECT device;
  PIRP parked = nullptr;

  // A buffered request sent to the test device; returns it (it may be gone).
  PIRP Send(ULONG code) {
    static KEVENT event;
    static IO_STATUS_BLOCK iosb;
    KeInitializeEvent(&event, NotificationEvent, FALSE);
    PIRP irp = IoBuildDeviceIoControlRequest(code, device, nullptr, 0, nullptr, 0, FALSE, &event, &iosb);
    IofCallDriver(device, irp);
    return irp;
  }
  void Complete(PIRP irp) {
    irp->IoStatus.Status = STATUS_SUCCESS;
    IofCompleteRequest(irp, IO_NO_INCREMENT);
  }
};

struct Case {
  const char* name;
  Rule rule;
  const char* reported;
  std::function<void(Bench&)> breakIt;
  bool atTeardown = false;
};

const Case kCases[] = {
    {"WaitAtDispatch", Rule::WaitAtDispatchLevel, "WAIT_AT_DISPATCH_LEVEL",
     [](Bench&) {
       KSPIN_LOCK lock;
       KeInitializeSpinLock(&lock);
       KEVENT event;
       KeInitializeEvent(&event, NotificationEvent, FALSE);
       LARGE_INTEGER timeout;
       timeout.QuadPart = -10000;
       KIRQL old = KfAcquireSpinLock(&lock);
       KeWaitForSingleObject(&event, Executive, KernelMode, FALSE, &timeout);
       KfReleaseSpinLock(&lock, old);
     }},
    {"PagedCode", Rule::PagedCodeAtDispatchLevel, "PAGED_CODE_AT_DISPATCH_LEVEL",
     [](Bench&) {
       KIRQL old;
       KeRaiseIrql(DISPATCH_LEVEL, &old);
       Pageable();
       KeLowerIrql(old);
     }},
    {"InitCode", Rule::InitCodeAfterLoad, "INIT_CODE_AFTER_LOAD", [](Bench&) { Initialisation(); }},
    {"CompletedTwice", Rule::IrpCompletedTwice, "IRP_COMPLETED_TWICE",
     [](Bench& b) {
       b.driver.dispatch = [](PDEVICE_OBJECT, PIRP irp) {
         irp->IoStatus.Status = STATUS_SUCCESS;
         IofCompleteRequest(irp, IO_NO_INCREMENT);
         IofCompleteRequest(irp, IO_NO_INCREMENT);
         return STATUS_SUCCESS;
       };
       b.Send(1);
     }},
    {"CompletedWithCancelRoutine", Rule::IrpCompletedWithCancelRoutine, "IRP_COMPLETED_WITH_CANCEL_ROUTINE",
     [](Bench& b) {
       b.driver.dispatch = [](PDEVICE_OBJECT, PIRP irp) {
         IoSetCancelRoutine(irp, DummyCancel);
         irp->IoStatus.Status = STATUS_SUCCESS;
         IofCompleteRequest(irp, IO_NO_INCREMENT);
         return STATUS_SUCCESS;
       };
       b.Send(1);
     }},
    {"CompletedUnderSpinLock", Rule::IrpCompletedWithSpinLockHeld, "IRP_COMPLETED_WITH_SPIN_LOCK_HELD",
     [](Bench& b) {
       b.driver.dispatch = [](PDEVICE_OBJECT, PIRP irp) {
         KSPIN_LOCK lock;
         KeInitializeSpinLock(&lock);
         KIRQL old = KfAcquireSpinLock(&lock);
         irp->IoStatus.Status = STATUS_SUCCESS;
         IofCompleteRequest(irp, IO_NO_INCREMENT);
         KfReleaseSpinLock(&lock, old);
         return STATUS_SUCCESS;
       };
       b.Send(1);
     }},
    {"FreedWhileOwned", Rule::IrpFreedWhileOwned, "IRP_FREED_WHILE_OWNED",
     [](Bench& b) {
       b.driver.dispatch = [&b](PDEVICE_OBJECT, PIRP irp) {
         IoMarkIrpPending(irp);
         b.parked = irp;
         return STATUS_PENDING;
       };
       PIRP irp = IoAllocateIrp(b.device->StackSize, FALSE);
       IoSetCompletionRoutine(irp, KeepIrp, nullptr, TRUE, TRUE, TRUE);
       IoGetNextIrpStackLocation(irp)->MajorFunction = IRP_MJ_DEVICE_CONTROL;
       IofCallDriver(b.device, irp);
       IoFreeIrp(irp);  // still at the lower driver
       b.Complete(b.parked);
       IoFreeIrp(irp);  // now it is back: fine
     }},
    {"NotCompletedAtTeardown", Rule::IrpNotCompletedAtTeardown, "IRP_NOT_COMPLETED_AT_TEARDOWN",
     [](Bench& b) {
       b.driver.dispatch = [](PDEVICE_OBJECT, PIRP irp) {
         IoMarkIrpPending(irp);
         return STATUS_PENDING;
       };
       b.Send(1);
     },
     true},
    {"PendingNotMarked", Rule::PendingNotMarked, "PENDING_NOT_MARKED",
     [](Bench& b) {
       b.driver.dispatch = [&b](PDEVICE_OBJECT, PIRP irp) {
         b.parked = irp;
         return STATUS_PENDING;
       };
       b.Send(1);
       b.Complete(b.parked);
     }},
    {"DispatchIrqlChanged", Rule::DispatchIrqlChanged, "DISPATCH_IRQL_CHANGED",
     [](Bench& b) {
       b.driver.dispatch = [](PDEVICE_OBJECT, PIRP irp) {
         irp->IoStatus.Status = STATUS_SUCCESS;
         IofCompleteRequest(irp, IO_NO_INCREMENT);
         KIRQL old;
         KeRaiseIrql(DISPATCH_LEVEL, &old);
         return STATUS_SUCCESS;
       };
       b.Send(1);
     }},
    {"SpinLockReleasedAtWrongIrql", Rule::SpinLockReleasedAtWrongIrql, "SPIN_LOCK_RELEASED_AT_WRONG_IRQL",
     [](Bench&) {
       KSPIN_LOCK lock;
       KeInitializeSpinLock(&lock);
       KIRQL old = KfAcquireSpinLock(&lock);
       KeLowerIrql(old);
       KfReleaseSpinLock(&lock, old);
     }},
    {"CancelLockAfterSlotLock", Rule::LockOrder, "LOCK_ORDER",
     [](Bench&) {
       KSPIN_LOCK slot;
       KeInitializeSpinLock(&slot);
       KIRQL old = KfAcquireSpinLock(&slot);
       KIRQL cancel;
       IoAcquireCancelSpinLock(&cancel);
       IoReleaseCancelSpinLock(cancel);
       KfReleaseSpinLock(&slot, old);
     }},
    {"PoolLeak", Rule::PoolLeak, "POOL_LEAK",
     [](Bench&) { ExAllocatePoolWithTag(NonPagedPool, 24, vk::PoolTag("Leak")); }, true},
    {"PoolDoubleFree", Rule::PoolDoubleFree, "POOL_DOUBLE_FREE",
     [](Bench&) {
       void* p = ExAllocatePoolWithTag(NonPagedPool, 24, vk::PoolTag("Twic"));
       ExFreePool(p);
       ExFreePool(p);
     }},
    {"PowerIrpWithoutStartNext", Rule::PowerIrpStartNext, "POWER_IRP_START_NEXT",
     [](Bench& b) {
       b.driver.dispatch = [](PDEVICE_OBJECT, PIRP irp) {
         irp->IoStatus.Status = STATUS_SUCCESS;
         IofCompleteRequest(irp, IO_NO_INCREMENT);
         return STATUS_SUCCESS;
       };
       POWER_STATE state;
       state.DeviceState = PowerDeviceD3;
       PoRequestPowerIrp(b.device, IRP_MN_SET_POWER, state, nullptr, nullptr, nullptr);
       LARGE_INTEGER wait;
       wait.QuadPart = -10000;
       KeDelayExecutionThread(KernelMode, FALSE, &wait);
     }},
};

class VerifierRule : public vkt::SystemTest, public ::testing::WithParamInterface<Case> {};

TEST_P(VerifierRule, IsReportedByName) {
  const Case& c = GetParam();
  vkt::TestDriver driver(sys());
  ASSERT_TRUE(sys().Run([&] {
    Bench bench{sys(), driver, driver.CreateDevice()};
    c.breakIt(bench);
  }));
  if (c.atTeardown) sys().CheckTeardown();
  auto reports = sys().TakeViolations(c.rule);
  ASSERT_GE(reports.size(), 1u) << c.name;
  EXPECT_STREQ(vk::RuleName(c.rule), c.reported);
  if (c.rule == Rule::PoolLeak) {
    EXPECT_NE(reports[0].message.find("'Leak'"), std::string::npos);
  }
  sys().ClearViolations();
}

INSTANTIATE_TEST_SUITE_P(Rules, VerifierRule, ::testing::ValuesIn(kCases),
                         [](const ::testing::TestParamInfo<Case>& info) { return std::string(info.param.name); });

}  // namespace
