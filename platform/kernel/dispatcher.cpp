// Dispatcher objects, IRQL, spin locks, DPCs, timers, time and debug output.
#include <cstdarg>
#include <cstdio>

#include "kernel.h"

using vk::Kernel;
using vk::Rule;

namespace {
constexpr UCHAR kEventNotification = 0;
constexpr UCHAR kEventSynchronization = 1;
constexpr UCHAR kTimerObject = 8;

// NT due times: negative = relative, 100-ns units; positive = absolute
// interrupt time in 100-ns units.
vk::Nanos DueToAbsolute(Kernel& k, LONGLONG due) {
  if (due < 0) return k.now() + (-due) * 100;
  return due * 100;
}

bool IsSignalled(DISPATCHER_HEADER* header) { return header->SignalState > 0; }

void Satisfy(DISPATCHER_HEADER* header) {
  if (header->Type == kEventSynchronization) header->SignalState = 0;
}
}  // namespace

namespace vk {

void Kernel::SignalObject(DISPATCHER_HEADER* header) {
  auto it = waiters.find(header);
  if (it == waiters.end()) return;
  std::vector<Fiber*> list = it->second;
  for (Fiber* fiber : list) {
    if (!IsSignalled(header)) break;
    Satisfy(header);
    Wake(fiber, STATUS_SUCCESS);
  }
}

void Kernel::LockAcquired(PKSPIN_LOCK lock, bool isCancelLock) {
  Context* ctx = current();
  for (PKSPIN_LOCK held : ctx->heldLocks) {
    if (held == lock) continue;
    if (isCancelLock) {
      Report(Rule::LockOrder, "the cancel spin lock was taken while another spin lock was held; it must come first");
    } else if (lockOrder.count({lock, held})) {
      Report(Rule::LockOrder, "two spin locks were taken in both orders");
    }
    lockOrder.insert({held, lock});
  }
  ctx->heldLocks.push_back(lock);
}

void Kernel::LockReleased(PKSPIN_LOCK lock) {
  Context* ctx = current();
  for (auto it = ctx->heldLocks.rbegin(); it != ctx->heldLocks.rend(); ++it) {
    if (*it == lock) {
      ctx->heldLocks.erase(std::next(it).base());
      return;
    }
  }
}

void Kernel::ForgetLock(PKSPIN_LOCK lock) {
  for (auto it = lockOrder.begin(); it != lockOrder.end();) {
    if (it->first == lock || it->second == lock)
      it = lockOrder.erase(it);
    else
      ++it;
  }
}

}  // namespace vk

extern "C" {

KIRQL KeGetCurrentIrql(void) { return Kernel::Get().current()->irql; }

VOID KeRaiseIrql(KIRQL NewIrql, PKIRQL OldIrql) {
  auto* ctx = Kernel::Get().current();
  *OldIrql = ctx->irql;
  ctx->irql = NewIrql;
}

VOID KeLowerIrql(KIRQL NewIrql) { Kernel::Get().current()->irql = NewIrql; }

VOID KeInitializeSpinLock(PKSPIN_LOCK SpinLock) {
  *SpinLock = 0;
  Kernel::Get().ForgetLock(SpinLock);
}

VOID KeAcquireSpinLockAtDpcLevel(PKSPIN_LOCK SpinLock) {
  Kernel& k = Kernel::Get();
  auto* ctx = k.current();
  if (ctx->irql < DISPATCH_LEVEL)
    k.Report(Rule::SpinLockAcquiredAboveDispatch, "KeAcquireSpinLockAtDpcLevel called below DISPATCH_LEVEL");
  if (*SpinLock != 0) {
    k.Report(Rule::SpinLockRecursion, "a spin lock was acquired while it is held: the processor would spin forever");
    return;
  }
  *SpinLock = reinterpret_cast<ULONG_PTR>(ctx) | 1;
  k.LockAcquired(SpinLock, SpinLock == &k.cancelLock);
}

VOID KeReleaseSpinLockFromDpcLevel(PKSPIN_LOCK SpinLock) {
  Kernel& k = Kernel::Get();
  if (*SpinLock == 0) {
    k.Report(Rule::SpinLockNotHeld, "a spin lock was released that is not held");
    return;
  }
  *SpinLock = 0;
  k.LockReleased(SpinLock);
}

KIRQL KfAcquireSpinLock(PKSPIN_LOCK SpinLock) {
  Kernel& k = Kernel::Get();
  auto* ctx = k.current();
  KIRQL old = ctx->irql;
  if (old > DISPATCH_LEVEL) k.Report(Rule::SpinLockAcquiredAboveDispatch, "spin lock acquired above DISPATCH_LEVEL");
  ctx->irql = DISPATCH_LEVEL;
  KeAcquireSpinLockAtDpcLevel(SpinLock);
  return old;
}

VOID KfReleaseSpinLock(PKSPIN_LOCK SpinLock, KIRQL NewIrql) {
  Kernel& k = Kernel::Get();
  auto* ctx = k.current();
  if (ctx->irql != DISPATCH_LEVEL)
    k.Report(Rule::SpinLockReleasedAtWrongIrql, "a spin lock was released while the IRQL was not DISPATCH_LEVEL");
  KeReleaseSpinLockFromDpcLevel(SpinLock);
  ctx->irql = NewIrql;
}

VOID KeInitializeEvent(PRKEVENT Event, EVENT_TYPE Type, BOOLEAN State) {
  Event->Header.Type = Type == SynchronizationEvent ? kEventSynchronization : kEventNotification;
  Event->Header.SignalState = State ? 1 : 0;
}

LONG KeSetEvent(PRKEVENT Event, KPRIORITY Increment, BOOLEAN Wait) {
  LONG previous = Event->Header.SignalState;
  Event->Header.SignalState = 1;
  Kernel::Get().SignalObject(&Event->Header);
  return previous;
}

VOID KeClearEvent(PRKEVENT Event) { Event->Header.SignalState = 0; }

LONG KeResetEvent(PRKEVENT Event) {
  LONG previous = Event->Header.SignalState;
  Event->Header.SignalState = 0;
  return previous;
}

LONG KeReadStateEvent(PRKEVENT Event) { return Event->Header.SignalState; }

NTSTATUS KeWaitForSingleObject(PVOID Object, KWAIT_REASON WaitReason, KPROCESSOR_MODE WaitMode, BOOLEAN Alertable,
                               PLARGE_INTEGER Timeout) {
  Kernel& k = Kernel::Get();
  auto* header = static_cast<DISPATCHER_HEADER*>(Object);
  if (IsSignalled(header)) {
    Satisfy(header);
    return STATUS_SUCCESS;
  }
  if (Timeout && Timeout->QuadPart == 0) return STATUS_TIMEOUT;
  vk::Fiber* fiber = k.currentFiber();
  if (!fiber) {
    k.Report(Rule::WaitAtDispatchLevel, "a wait was attempted in a DPC, completion or interrupt context");
    return STATUS_TIMEOUT;
  }
  if (fiber->irql >= DISPATCH_LEVEL)
    k.Report(Rule::WaitAtDispatchLevel, "thread '" + fiber->name + "' waits at DISPATCH_LEVEL");
  k.waiters[header].push_back(fiber);
  if (Timeout) {
    vk::Nanos at = DueToAbsolute(k, Timeout->QuadPart);
    fiber->waitTimeout = k.Schedule(at, [&k, fiber] {
      fiber->waitTimeout = 0;
      k.Wake(fiber, STATUS_TIMEOUT);
    });
  }
  k.Block(header, "a dispatcher object");
  return fiber->waitResult;
}

NTSTATUS KeDelayExecutionThread(KPROCESSOR_MODE WaitMode, BOOLEAN Alertable, PLARGE_INTEGER Interval) {
  Kernel& k = Kernel::Get();
  vk::Fiber* fiber = k.currentFiber();
  if (!fiber || fiber->irql >= DISPATCH_LEVEL) {
    k.Report(Rule::WaitAtDispatchLevel, "KeDelayExecutionThread at DISPATCH_LEVEL");
    if (!fiber) return STATUS_SUCCESS;
  }
  vk::Nanos at = DueToAbsolute(k, Interval->QuadPart);
  fiber->waitTimeout = k.Schedule(at, [&k, fiber] {
    fiber->waitTimeout = 0;
    k.Wake(fiber, STATUS_SUCCESS);
  });
  k.Block(nullptr, "a delay");
  return STATUS_SUCCESS;
}

VOID KeStallExecutionProcessor(ULONG MicroSeconds) { Kernel::Get().Stall(vk::Nanos(MicroSeconds) * vk::kMicrosecond); }

VOID KeInitializeDpc(PRKDPC Dpc, PKDEFERRED_ROUTINE DeferredRoutine, PVOID DeferredContext) {
  Dpc->Type = 0x13;
  Dpc->Inserted = FALSE;
  Dpc->DeferredRoutine = DeferredRoutine;
  Dpc->DeferredContext = DeferredContext;
  Dpc->SystemArgument1 = nullptr;
  Dpc->SystemArgument2 = nullptr;
}

BOOLEAN KeInsertQueueDpc(PRKDPC Dpc, PVOID SystemArgument1, PVOID SystemArgument2) {
  if (Dpc->Inserted) return FALSE;
  Dpc->Inserted = TRUE;
  Dpc->SystemArgument1 = SystemArgument1;
  Dpc->SystemArgument2 = SystemArgument2;
  Kernel::Get().QueueDpc(Dpc);
  return TRUE;
}

BOOLEAN KeRemoveQueueDpc(PRKDPC Dpc) {
  if (!Dpc->Inserted) return FALSE;
  Dpc->Inserted = FALSE;
  return Kernel::Get().RemoveDpc(Dpc) ? TRUE : FALSE;
}

VOID KeInitializeTimer(PKTIMER Timer) {
  Kernel& k = Kernel::Get();
  auto it = k.timers.find(Timer);
  if (it != k.timers.end()) {
    k.Cancel(it->second);
    k.timers.erase(it);
  }
  Timer->Header.Type = kTimerObject;
  Timer->Header.SignalState = 0;
  Timer->Inserted = FALSE;
  Timer->Dpc = nullptr;
}

BOOLEAN KeSetTimer(PKTIMER Timer, LARGE_INTEGER DueTime, PKDPC Dpc) {
  Kernel& k = Kernel::Get();
  BOOLEAN wasInserted = KeCancelTimer(Timer);
  Timer->Header.SignalState = 0;
  Timer->Dpc = Dpc;
  Timer->Inserted = TRUE;
  ULONGLONG generation = ++Timer->Generation;
  k.timers[Timer] = k.Schedule(DueToAbsolute(k, DueTime.QuadPart), [&k, Timer, generation] {
    if (!Timer->Inserted || Timer->Generation != generation) return;
    k.timers.erase(Timer);
    Timer->Inserted = FALSE;
    Timer->Header.SignalState = 1;
    k.SignalObject(&Timer->Header);
    if (Timer->Dpc) KeInsertQueueDpc(Timer->Dpc, nullptr, nullptr);
  });
  return wasInserted;
}

BOOLEAN KeCancelTimer(PKTIMER Timer) {
  Kernel& k = Kernel::Get();
  auto it = k.timers.find(Timer);
  if (it == k.timers.end()) {
    Timer->Inserted = FALSE;
    return FALSE;
  }
  k.Cancel(it->second);
  k.timers.erase(it);
  BOOLEAN was = Timer->Inserted;
  Timer->Inserted = FALSE;
  return was;
}

BOOLEAN KeReadStateTimer(PKTIMER Timer) { return Timer->Header.SignalState > 0; }

ULONGLONG KeQueryInterruptTime(void) { return ULONGLONG(Kernel::Get().now() / 100); }

VOID KeQuerySystemTime(PLARGE_INTEGER CurrentTime) {
  // 2026-01-01 as the boot moment, in 100-ns units since 1601.
  constexpr LONGLONG kBoot = 134116992000000000LL;
  CurrentTime->QuadPart = kBoot + Kernel::Get().now() / 100;
}

LONG InterlockedIncrement(volatile LONG* Addend) {
  LONG value = *Addend + 1;
  *Addend = value;
  return value;
}
LONG InterlockedDecrement(volatile LONG* Addend) {
  LONG value = *Addend - 1;
  *Addend = value;
  return value;
}
LONG InterlockedExchange(volatile LONG* Target, LONG Value) {
  LONG old = *Target;
  *Target = Value;
  return old;
}
PVOID InterlockedExchangePointer(PVOID volatile* Target, PVOID Value) {
  PVOID old = *Target;
  *Target = Value;
  return old;
}

ULONG DbgPrint(PCSTR Format, ...) {
  char small[512];
  va_list args;
  va_start(args, Format);
  va_list copy;
  va_copy(copy, args);
  int n = std::vsnprintf(small, sizeof small, Format, args);
  va_end(args);
  std::string text;
  if (n >= 0 && size_t(n) < sizeof small) {
    text.assign(small, size_t(n));
  } else if (n >= 0) {
    text.resize(size_t(n) + 1);
    std::vsnprintf(text.data(), text.size(), Format, copy);
    text.resize(size_t(n));
  }
  va_end(copy);
  Kernel* k = Kernel::TryGet();
  if (!k) return 0;
  if (k->options.echoLog) std::fprintf(stderr, "[%12.6f] %s", double(k->now()) / 1e9, text.c_str());
  k->log.push_back({k->now(), std::move(text)});
  return 0;
}

VOID VkCheckPagedCode(PCSTR Routine) {
  Kernel& k = Kernel::Get();
  if (k.current()->irql > APC_LEVEL)
    k.Report(Rule::PagedCodeAtDispatchLevel, std::string("pageable routine ") + Routine + " entered at DISPATCH_LEVEL");
}

VOID VkCheckInitCode(PCSTR Routine) {
  Kernel& k = Kernel::Get();
  if (k.loadingDrivers == 0)
    k.Report(Rule::InitCodeAfterLoad,
             std::string("initialisation routine ") + Routine + " ran after its driver was loaded");
}

}  // extern "C"
