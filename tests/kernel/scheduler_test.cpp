// Threads, the virtual clock, dispatcher objects, timers, DPCs, work items.
#include <chrono>
#include <set>
#include <thread>

#include "support/testing.h"

namespace {

using vk::kMicrosecond;
using vk::kMillisecond;
using vk::kSecond;
using vk::Nanos;

class SchedulerTest : public vkt::SystemTest {};

LARGE_INTEGER Relative(Nanos n) {
  LARGE_INTEGER t;
  t.QuadPart = -(n / 100);
  return t;
}

TEST_F(SchedulerTest, LongWaitsCostNoWallTimeAndLandOnTheirVirtualTime) {
  auto wallStart = std::chrono::steady_clock::now();
  ASSERT_TRUE(sys().Run([&] {
    KEVENT never;
    KeInitializeEvent(&never, NotificationEvent, FALSE);
    LARGE_INTEGER timeout = Relative(300 * kSecond);
    EXPECT_EQ(KeWaitForSingleObject(&never, Executive, KernelMode, FALSE, &timeout), STATUS_TIMEOUT);
    EXPECT_EQ(sys().Now(), 300 * kSecond);
    LARGE_INTEGER delay = Relative(3 * kSecond);
    KeDelayExecutionThread(KernelMode, FALSE, &delay);
    EXPECT_EQ(sys().Now(), 303 * kSecond);
    KeStallExecutionProcessor(1200);
    EXPECT_EQ(sys().Now(), 303 * kSecond + 1200 * kMicrosecond);
    EXPECT_EQ(KeQueryInterruptTime(), ULONGLONG(sys().Now() / 100));
  }));
  EXPECT_LT(std::chrono::steady_clock::now() - wallStart, std::chrono::seconds(5));
}

TEST_F(SchedulerTest, NotificationEventReleasesAllWaitersSynchronizationEventOne) {
  int woken = 0;
  KEVENT notification, synchronization;
  ASSERT_TRUE(sys().Run([&] {
    KeInitializeEvent(&notification, NotificationEvent, FALSE);
    KeInitializeEvent(&synchronization, SynchronizationEvent, FALSE);
    for (int i = 0; i < 3; ++i)
      sys().CreateThread("waiter", [&] {
        KeWaitForSingleObject(&notification, Executive, KernelMode, FALSE, nullptr);
        KeWaitForSingleObject(&synchronization, Executive, KernelMode, FALSE, nullptr);
        ++woken;
      });
    LARGE_INTEGER step = Relative(kMillisecond);
    KeDelayExecutionThread(KernelMode, FALSE, &step);
    KeSetEvent(&notification, IO_NO_INCREMENT, FALSE);
    KeDelayExecutionThread(KernelMode, FALSE, &step);
    EXPECT_EQ(woken, 0);
    EXPECT_EQ(KeReadStateEvent(&notification), 1);
    KeSetEvent(&synchronization, IO_NO_INCREMENT, FALSE);
    KeDelayExecutionThread(KernelMode, FALSE, &step);
    EXPECT_EQ(woken, 1);
    EXPECT_EQ(KeReadStateEvent(&synchronization), 0);  // consumed by the one waiter
    KeSetEvent(&synchronization, IO_NO_INCREMENT, FALSE);
    KeSetEvent(&synchronization, IO_NO_INCREMENT, FALSE);
    KeDelayExecutionThread(KernelMode, FALSE, &step);
    EXPECT_EQ(woken, 3);
    // With nobody waiting, a set leaves the event signalled for the next wait.
    KeSetEvent(&synchronization, IO_NO_INCREMENT, FALSE);
    EXPECT_EQ(KeWaitForSingleObject(&synchronization, Executive, KernelMode, FALSE, nullptr), STATUS_SUCCESS);
    EXPECT_EQ(KeReadStateEvent(&synchronization), 0);
  }));
}

struct TimerProbe {
  KTIMER timer;
  KDPC dpc;
  int runs = 0;
  KIRQL irql = PASSIVE_LEVEL;
  Nanos at = 0;
};

VOID ProbeDpc(PKDPC, PVOID context, PVOID, PVOID) {
  auto* probe = static_cast<TimerProbe*>(context);
  probe->runs++;
  probe->irql = KeGetCurrentIrql();
  probe->at = vk::System::Current()->Now();
}

TEST_F(SchedulerTest, TimerDpcRunsAtDispatchLevelAtItsDueTimeAndCancelStopsIt) {
  TimerProbe probe;
  ASSERT_TRUE(sys().Run([&] {
    KeInitializeTimer(&probe.timer);
    KeInitializeDpc(&probe.dpc, ProbeDpc, &probe);
    EXPECT_FALSE(KeSetTimer(&probe.timer, Relative(10 * kSecond), &probe.dpc));
    EXPECT_TRUE(KeSetTimer(&probe.timer, Relative(2 * kSecond), &probe.dpc));  // re-set: was inserted
    LARGE_INTEGER wait = Relative(5 * kSecond);
    EXPECT_EQ(KeWaitForSingleObject(&probe.timer, Executive, KernelMode, FALSE, &wait), STATUS_SUCCESS);
    EXPECT_EQ(sys().Now(), 2 * kSecond);
    KeDelayExecutionThread(KernelMode, FALSE, &wait);
    EXPECT_EQ(probe.runs, 1);
    EXPECT_EQ(probe.irql, DISPATCH_LEVEL);
    EXPECT_EQ(probe.at, 2 * kSecond);
    KeSetTimer(&probe.timer, Relative(kSecond), &probe.dpc);
    EXPECT_TRUE(KeCancelTimer(&probe.timer));
    EXPECT_FALSE(KeCancelTimer(&probe.timer));
    KeDelayExecutionThread(KernelMode, FALSE, &wait);
    EXPECT_EQ(probe.runs, 1);
  }));
}

TEST_F(SchedulerTest, StallLetsDueTimersFireDuringTheBusyWait) {
  TimerProbe probe;
  ASSERT_TRUE(sys().Run([&] {
    KeInitializeTimer(&probe.timer);
    KeInitializeDpc(&probe.dpc, ProbeDpc, &probe);
    KeSetTimer(&probe.timer, Relative(500 * kMicrosecond), &probe.dpc);
    KeStallExecutionProcessor(1200);
    EXPECT_EQ(probe.runs, 1);
    EXPECT_EQ(probe.at, 500 * kMicrosecond);
    EXPECT_EQ(sys().Now(), 1200 * kMicrosecond);
  }));
}

// The interleaving of threads is a function of the seed alone.
std::string Interleaving(std::uint64_t seed) {
  vk::System::Options options;
  options.seed = seed;
  vk::System system(options);
  std::string order;
  system.Run([&] {
    for (char name = 'a'; name <= 'e'; ++name)
      system.CreateThread(std::string(1, name), [&order, name] {
        for (int i = 0; i < 3; ++i) {
          order.push_back(name);
          LARGE_INTEGER zero;
          zero.QuadPart = -1;
          KeDelayExecutionThread(KernelMode, FALSE, &zero);
        }
      });
    LARGE_INTEGER wait = Relative(kSecond);
    KeDelayExecutionThread(KernelMode, FALSE, &wait);
  });
  return order;
}

TEST(Determinism, SameSeedSameRunOtherSeedOtherRun) {
  EXPECT_EQ(Interleaving(7), Interleaving(7));
  std::set<std::string> runs;
  for (std::uint64_t seed = 1; seed <= 8; ++seed) runs.insert(Interleaving(seed));
  EXPECT_GT(runs.size(), 1u);
}

struct WorkProbe {
  KIRQL irql = DISPATCH_LEVEL;
  int runs = 0;
};

VOID ProbeWork(PDEVICE_OBJECT, PVOID context) {
  auto* probe = static_cast<WorkProbe*>(context);
  probe->irql = KeGetCurrentIrql();
  probe->runs++;
}

TEST_F(SchedulerTest, WorkItemRunsOnTheSystemWorkerAtPassiveLevel) {
  vkt::TestDriver driver(sys());
  WorkProbe probe;
  ASSERT_TRUE(sys().Run([&] {
    PDEVICE_OBJECT device = driver.CreateDevice();
    PIO_WORKITEM item = IoAllocateWorkItem(device);
    KSPIN_LOCK lock;
    KeInitializeSpinLock(&lock);
    KIRQL old = KfAcquireSpinLock(&lock);  // queued from DISPATCH_LEVEL, run at PASSIVE_LEVEL
    IoQueueWorkItem(item, ProbeWork, DelayedWorkQueue, &probe);
    KfReleaseSpinLock(&lock, old);
    LARGE_INTEGER wait = Relative(kMillisecond);
    KeDelayExecutionThread(KernelMode, FALSE, &wait);
    EXPECT_EQ(probe.runs, 1);
    EXPECT_EQ(probe.irql, PASSIVE_LEVEL);
    IoFreeWorkItem(item);
    IoDeleteDevice(device);
  }));
}

TEST_F(SchedulerTest, DeadlockIsReportedInsteadOfHanging) {
  EXPECT_FALSE(sys().Run([] {
    KEVENT never;
    KeInitializeEvent(&never, NotificationEvent, FALSE);
    KeWaitForSingleObject(&never, Executive, KernelMode, FALSE, nullptr);
  }));
  ExpectViolation(vk::Rule::Deadlock);
}

TEST_F(SchedulerTest, PostedWorkFromAnotherOsThreadRunsOnTheScheduler) {
  bool ran = false;
  std::thread other([&] { sys().Post([&] { sys().CreateThread("posted", [&] { ran = true; }); }); });
  other.join();
  sys().RunUntil([&] { return ran; });
  EXPECT_TRUE(ran);
}

}  // namespace
