// Inner workings of the emulated kernel. Not seen by drivers.
#pragma once

#include <ucontext.h>

#include <condition_variable>
#include <cstdint>
#include <deque>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <random>
#include <set>
#include <string>
#include <unordered_map>
#include <unordered_set>
#include <vector>

#include "platform/nt.h"
#include "vk/system.h"

namespace vk {

class SerialPort;

// A context that runs code: a thread of the emulated system (a fiber), or the
// scheduler itself, on which DPCs, timer expiries and device interrupts run.
struct Context {
  std::string name;
  KIRQL irql = PASSIVE_LEVEL;
  std::vector<PKSPIN_LOCK> heldLocks;
};

struct Fiber : Context {
  enum class State { Ready, Running, Blocked, Done };
  State state = State::Ready;
  std::function<void()> body;
  ucontext_t context{};
  void* stack = nullptr;
  size_t stackSize = 0;
  void* fakeStack = nullptr;  // sanitizer bookkeeping across switches
  bool abort = false;         // unwound at teardown
  // What a blocked fiber waits for.
  const void* waitObject = nullptr;
  EventQueue::Handle waitTimeout = 0;
  NTSTATUS waitResult = STATUS_SUCCESS;
  std::string waitWhat;
};

// Thrown into a blocked fiber at teardown so that its stack unwinds.
struct FiberAbort {};

struct IrpInfo {
  bool threaded = false;  // built by IoBuildDeviceIoControlRequest: the I/O manager finishes it
  bool completed = false; // reached the top of its stack
  bool bufferedIo = false;
  void* systemBuffer = nullptr;  // owned by the I/O manager
  void* userOutput = nullptr;
  ULONG userOutputLength = 0;
  std::vector<int> dispatchStack;  // stack location indexes of the drivers holding it
  std::uint64_t callDowns = 0;
  bool power = false;
  std::map<PDEVICE_OBJECT, int> startNextCount;  // power IRPs: PoStartNextPowerIrp per device
  std::vector<PDEVICE_OBJECT> powerDevices;      // devices that were dispatched the power IRP
  std::function<void(PIRP)> onFinal;            // user request or power request completion
  std::string origin;
};

struct DeviceInfo {
  std::wstring name;
  PDEVICE_OBJECT lower = nullptr;  // the device this one is attached to
  int openHandles = 0;
  bool deleted = false;
  DEVICE_POWER_STATE devicePower = PowerDeviceD0;
  SYSTEM_POWER_STATE systemPower = PowerSystemWorking;
};

struct PoolBlock {
  size_t size;
  ULONG tag;
  POOL_TYPE type;
};

struct WorkItem {
  PDEVICE_OBJECT device;
  PIO_WORKITEM_ROUTINE routine = nullptr;
  PVOID context = nullptr;
  bool queued = false;
};

struct DriverInfo {
  std::wstring name;
  void* module = nullptr;  // dlopen handle, or null for a linked-in driver
  std::unique_ptr<DRIVER_EXTENSION> extension;
};

struct InterfaceEntry {
  GUID guid;
  PDEVICE_OBJECT pdo;
  bool enabled = false;
};

class Kernel {
 public:
  explicit Kernel(System& system, const System::Options& options);
  ~Kernel();

  static Kernel& Get();
  static Kernel* TryGet();

  System& system;
  System::Options options;

  // ---- scheduler (scheduler.cpp)
  Context* current();
  Fiber* currentFiber();  // null on the scheduler context
  void CreateFiber(std::string name, std::function<void()> body);
  bool RunLoop(const std::function<bool()>& done);
  void Block(const void* object, std::string what);  // current fiber blocks
  void Wake(Fiber* fiber, NTSTATUS result);
  Nanos now() const { return now_; }
  EventQueue::Handle Schedule(Nanos at, std::function<void()> fn);
  void Cancel(EventQueue::Handle handle);
  void Stall(Nanos duration);
  void QueueDpc(PKDPC dpc);
  bool RemoveDpc(PKDPC dpc);
  void Post(std::function<void()> fn);
  void UnwindFibers();
  std::mt19937_64 rng;

  // ---- waits (dispatcher.cpp)
  void SignalObject(DISPATCHER_HEADER* header);
  std::unordered_map<const void*, std::vector<Fiber*>> waiters;
  bool loopRunning = false;

  // ---- verifier (verifier.cpp)
  void Report(Rule rule, std::string message);
  std::vector<Violation> violations;
  void TeardownChecks();
  bool teardownChecked = false;

  // ---- spin locks (dispatcher.cpp)
  void LockAcquired(PKSPIN_LOCK lock, bool cancelLock);
  void LockReleased(PKSPIN_LOCK lock);
  void ForgetLock(PKSPIN_LOCK lock);
  std::set<std::pair<PKSPIN_LOCK, PKSPIN_LOCK>> lockOrder;  // (held, then taken)
  KSPIN_LOCK cancelLock = 0;

  // ---- timers
  std::unordered_map<PKTIMER, EventQueue::Handle> timers;

  // ---- pool (pool.cpp)
  void* Allocate(POOL_TYPE type, size_t size, ULONG tag);
  void Free(void* p, bool checkTag, ULONG tag);
  std::unordered_map<void*, PoolBlock> pool;
  std::deque<void*> poolQuarantine;
  PoolStats poolStats;
  unsigned failPool = 0;
  ULONG failPoolTag = 0;

  // ---- I/O (io.cpp)
  std::unordered_map<PIRP, IrpInfo> irps;
  std::deque<PIRP> irpQuarantine;
  PIRP NewIrp(CCHAR stackSize);
  void DestroyIrp(PIRP irp);
  IrpInfo* Info(PIRP irp);
  void FinishIrp(PIRP irp);
  std::unordered_map<PDEVICE_OBJECT, DeviceInfo> devices;
  std::unordered_map<PDRIVER_OBJECT, DriverInfo> drivers;
  std::map<std::wstring, PDEVICE_OBJECT> namedDevices;
  std::map<std::wstring, std::wstring> symbolicLinks;
  std::map<std::wstring, InterfaceEntry> interfaces;
  std::unordered_set<PFILE_OBJECT> files;
  void FreeDevice(PDEVICE_OBJECT device);
  PDEVICE_OBJECT Resolve(const std::wstring& name) const;
  NTSTATUS SendSynchronous(PDEVICE_OBJECT device, PFILE_OBJECT file, UCHAR major);
  void ReleaseFile(PFILE_OBJECT file);
  unsigned failCreateDevice = 0;
  unsigned failAttach = 0;
  unsigned failIrp = 0;
  unsigned failPowerRequest = 0;
  NTSTATUS failPowerRequestStatus = STATUS_INSUFFICIENT_RESOURCES;
  int loadingDrivers = 0;

  // ---- work items
  std::unordered_map<PIO_WORKITEM, WorkItem*> workItems;
  std::deque<PIO_WORKITEM> workQueue;
  KEVENT workEvent{};
  void WorkerThread();

  // ---- serial ports
  std::map<unsigned, std::unique_ptr<SerialPort>> ports;
  PDRIVER_OBJECT serialDriver = nullptr;

  // ---- debug output
  std::vector<LogLine> log;

 private:
  void SwitchTo(Fiber* fiber);
  void SwitchToScheduler();
  void RunEventsUntil(Nanos limit, bool inFiber);
  void DrainDpcs();
  void DrainPosts();
  void DestroyFiber(Fiber* fiber);
  static void FiberEntry(unsigned lo, unsigned hi);

  Nanos now_ = 0;
  Nanos wallStart_ = 0;
  std::uint64_t nextHandle_ = 1;
  std::map<std::pair<Nanos, std::uint64_t>, std::function<void()>> timed_;
  std::unordered_map<std::uint64_t, Nanos> timedIndex_;
  std::vector<Fiber*> ready_;
  std::vector<std::unique_ptr<Fiber>> fibers_;
  std::deque<PKDPC> dpcs_;
  Fiber* running_ = nullptr;
  Context schedulerContext_;
  ucontext_t schedulerUc_{};
  void* schedulerFakeStack_ = nullptr;
  const void* schedulerStackBottom_ = nullptr;
  size_t schedulerStackSize_ = 0;
  bool drainingDpcs_ = false;
  std::mutex postMutex_;
  std::condition_variable postCv_;
  std::vector<std::function<void()>> posts_;
};

std::wstring ToWide(const std::string& s);
std::string Narrow(const std::wstring& s);
std::wstring FromUnicode(PCUNICODE_STRING s);

}  // namespace vk
