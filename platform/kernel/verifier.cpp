// The verifier: rule reports and the end-of-life checks.
#include <cstdio>

#include "kernel.h"

namespace vk {

const char* RuleName(Rule rule) {
  switch (rule) {
    case Rule::WaitAtDispatchLevel: return "WAIT_AT_DISPATCH_LEVEL";
    case Rule::PagedCodeAtDispatchLevel: return "PAGED_CODE_AT_DISPATCH_LEVEL";
    case Rule::InitCodeAfterLoad: return "INIT_CODE_AFTER_LOAD";
    case Rule::IrpCompletedTwice: return "IRP_COMPLETED_TWICE";
    case Rule::IrpCompletedWithCancelRoutine: return "IRP_COMPLETED_WITH_CANCEL_ROUTINE";
    case Rule::IrpCompletedWithSpinLockHeld: return "IRP_COMPLETED_WITH_SPIN_LOCK_HELD";
    case Rule::IrpCompletedWithPendingStatus: return "IRP_COMPLETED_WITH_PENDING_STATUS";
    case Rule::IrpFreedWhileOwned: return "IRP_FREED_WHILE_OWNED";
    case Rule::IrpFreedTwice: return "IRP_FREED_TWICE";
    case Rule::IrpNotCompletedAtTeardown: return "IRP_NOT_COMPLETED_AT_TEARDOWN";
    case Rule::IrpStackOverflow: return "IRP_STACK_OVERFLOW";
    case Rule::PendingNotMarked: return "PENDING_NOT_MARKED";
    case Rule::DispatchIrqlChanged: return "DISPATCH_IRQL_CHANGED";
    case Rule::SpinLockReleasedAtWrongIrql: return "SPIN_LOCK_RELEASED_AT_WRONG_IRQL";
    case Rule::SpinLockNotHeld: return "SPIN_LOCK_NOT_HELD";
    case Rule::SpinLockRecursion: return "SPIN_LOCK_RECURSION";
    case Rule::SpinLockAcquiredAboveDispatch: return "SPIN_LOCK_WRONG_IRQL";
    case Rule::LockOrder: return "LOCK_ORDER";
    case Rule::PoolLeak: return "POOL_LEAK";
    case Rule::PoolDoubleFree: return "POOL_DOUBLE_FREE";
    case Rule::PagedPoolAtDispatchLevel: return "PAGED_POOL_AT_DISPATCH_LEVEL";
    case Rule::TimerFreedWhileSet: return "TIMER_FREED_WHILE_SET";
    case Rule::DpcFreedWhileQueued: return "DPC_FREED_WHILE_QUEUED";
    case Rule::WorkItemFreedWhileQueued: return "WORK_ITEM_FREED_WHILE_QUEUED";
    case Rule::WorkItemLeak: return "WORK_ITEM_LEAK";
    case Rule::PowerIrpStartNext: return "POWER_IRP_START_NEXT";
    case Rule::DeviceDeletedWhileAttached: return "DEVICE_DELETED_WHILE_ATTACHED";
    case Rule::Deadlock: return "DEADLOCK";
  }
  return "UNKNOWN_RULE";
}

void Kernel::Report(Rule rule, std::string message) {
  if (options.echoViolations)
    std::fprintf(stderr, "VERIFIER %s: %s (at %.6f s)\n", RuleName(rule), message.c_str(), double(now()) / 1e9);
  violations.push_back({rule, std::move(message), now()});
}

void Kernel::TeardownChecks() {
  if (teardownChecked) return;
  teardownChecked = true;
  for (auto& [irp, info] : irps) {
    if (!info.dispatchStack.empty())
      Report(Rule::IrpNotCompletedAtTeardown, "a request (" + info.origin + ") is still held by a driver");
  }
  std::map<ULONG, std::pair<std::uint64_t, std::uint64_t>> leaks;
  for (auto& [p, block] : pool) {
    auto& entry = leaks[block.tag];
    entry.first += 1;
    entry.second += block.size;
  }
  for (auto& [tag, entry] : leaks)
    Report(Rule::PoolLeak, std::to_string(entry.first) + " block(s), " + std::to_string(entry.second) +
                               " byte(s) of pool with tag '" + TagText(tag) + "' never freed");
}

}  // namespace vk
