// The emulated system as tests, tools and benchmarks drive it.
//
// A System is one booted machine: a scheduler of cooperative threads on a
// virtual clock, the kernel objects, the verifier, the pool, the debug log and
// the object namespace. Driver code reaches it only through platform/nt.h;
// this header is for the code around the drivers.
#pragma once

#include <cstdint>
#include <functional>
#include <map>
#include <memory>
#include <string>
#include <vector>

#include "platform/line.h"
#include "platform/nt.h"

namespace vk {

// Rules the verifier checks. A broken rule is reported with its name.
enum class Rule {
  WaitAtDispatchLevel,
  PagedCodeAtDispatchLevel,
  InitCodeAfterLoad,
  IrpCompletedTwice,
  IrpCompletedWithCancelRoutine,
  IrpCompletedWithSpinLockHeld,
  IrpCompletedWithPendingStatus,
  IrpFreedWhileOwned,
  IrpFreedTwice,
  IrpNotCompletedAtTeardown,
  IrpStackOverflow,
  PendingNotMarked,
  DispatchIrqlChanged,
  SpinLockReleasedAtWrongIrql,
  SpinLockNotHeld,
  SpinLockRecursion,
  SpinLockAcquiredAboveDispatch,
  LockOrder,
  PoolLeak,
  PoolDoubleFree,
  PagedPoolAtDispatchLevel,
  TimerFreedWhileSet,
  DpcFreedWhileQueued,
  WorkItemFreedWhileQueued,
  WorkItemLeak,
  PowerIrpStartNext,
  DeviceDeletedWhileAttached,
  Deadlock,
};
const char* RuleName(Rule rule);

struct Violation {
  Rule rule;
  std::string message;
  Nanos time;
};

struct LogLine {
  Nanos time;
  std::string text;
};

struct InterfaceState {
  std::wstring link;
  GUID guid;
  PDEVICE_OBJECT pdo;
  bool enabled;
};

struct PoolStats {
  std::uint64_t allocations = 0;  // successful allocations since boot
  std::uint64_t frees = 0;
  std::map<ULONG, std::uint64_t> liveBytesByTag;
  std::map<ULONG, std::uint64_t> liveBlocksByTag;
};

// Makes a pool tag from its four characters as written ("Ddk ").
constexpr ULONG PoolTag(const char (&t)[5]) {
  return ULONG(std::uint8_t(t[0])) | ULONG(std::uint8_t(t[1])) << 8 | ULONG(std::uint8_t(t[2])) << 16 |
         ULONG(std::uint8_t(t[3])) << 24;
}
std::string TagText(ULONG tag);

// An I/O request from an application thread (the I/O manager's side of a
// DeviceIoControl, open, close).
struct UserRequest {
  bool done = false;
  NTSTATUS status = STATUS_PENDING;
  ULONG_PTR information = 0;
  std::vector<std::uint8_t> output;
  PIRP irp = nullptr;  // valid while !done
  KEVENT event{};      // signalled when done
};

class SerialPort;
class Kernel;

class System : public EventQueue {
 public:
  struct Options {
    std::uint64_t seed = 1;
    bool echoLog = false;         // print DbgPrint lines on stderr as they come
    bool echoViolations = true;   // print verifier reports on stderr
    bool realTime = false;        // wall clock instead of virtual time
  };

  System();
  explicit System(Options options);
  ~System() override;
  System(const System&) = delete;
  System& operator=(const System&) = delete;

  static System* Current();
  const Options& options() const;

  // ---- threads and time
  // Starts a thread of the emulated system at PASSIVE_LEVEL.
  void CreateThread(std::string name, std::function<void()> body);
  // Runs `body` as a thread and the scheduler until it has returned. Returns
  // false (and reports a deadlock) when the body can never finish.
  bool Run(std::function<void()> body);
  // Runs until nothing is ready and no event is due before `deadline`.
  void RunFor(Nanos duration);
  // Runs until `done` holds; false when nothing can make progress any more.
  bool RunUntil(const std::function<bool()>& done);
  // Hands work in from another OS thread; it runs on the scheduler at
  // PASSIVE_LEVEL, typically to start a thread.
  void Post(std::function<void()> fn);

  Nanos Now() const override;
  Handle Schedule(Nanos at, std::function<void()> fn) override;
  void Cancel(Handle handle) override;

  // ---- drivers and objects
  // Loads a driver shared object and runs its DriverEntry.
  NTSTATUS LoadDriver(const std::string& path, const std::wstring& name, PDRIVER_OBJECT* driver);
  // Creates a driver whose entry routine is linked into the program.
  NTSTATUS CreateDriver(const std::wstring& name, PDRIVER_INITIALIZE entry, PDRIVER_OBJECT* driver);
  void UnloadDriver(PDRIVER_OBJECT driver);
  PDEVICE_OBJECT FindDevice(const std::wstring& name) const;
  std::vector<InterfaceState> Interfaces() const;
  std::vector<std::wstring> SymbolicLinks() const;

  // ---- the serial port driver
  // Creates serial port `index` ("\Device\Serial<index>") with its line.
  SerialPort& AddSerialPort(unsigned index);
  SerialPort* Port(unsigned index);

  // ---- the Plug and Play and power managers
  // Enumerates a device on `pdo` for `driver`: calls its AddDevice routine.
  NTSTATUS AddDevice(PDRIVER_OBJECT driver, PDEVICE_OBJECT pdo);
  // Sends a Plug and Play request to the top of `pdo`'s stack and waits.
  NTSTATUS Pnp(PDEVICE_OBJECT pdo, UCHAR minor);
  // Start as the manager does it: a failed start is followed by removal.
  NTSTATUS StartDevice(PDEVICE_OBJECT pdo);
  // Query-remove then remove (or the remove after a surprise removal).
  NTSTATUS RemoveDevice(PDEVICE_OBJECT pdo);
  NTSTATUS SurpriseRemoveDevice(PDEVICE_OBJECT pdo);
  // A system power request (IRP_MN_QUERY_POWER or IRP_MN_SET_POWER).
  NTSTATUS SystemPower(PDEVICE_OBJECT pdo, UCHAR minor, SYSTEM_POWER_STATE state);
  // The power state a device last reported with PoSetPowerState.
  DEVICE_POWER_STATE DevicePower(PDEVICE_OBJECT device) const;

  // ---- applications
  NTSTATUS Open(PDEVICE_OBJECT device, PFILE_OBJECT* file);
  NTSTATUS Open(const std::wstring& name, PFILE_OBJECT* file);
  void Close(PFILE_OBJECT file);
  // Starts a buffered device control; the request completes asynchronously.
  std::shared_ptr<UserRequest> StartIoControl(PFILE_OBJECT file, ULONG code, const void* input, ULONG inputLength,
                                              ULONG outputLength, bool internal = false);
  // Sends a device control and waits (from a thread of the system).
  std::shared_ptr<UserRequest> IoControl(PFILE_OBJECT file, ULONG code, const void* input, ULONG inputLength,
                                         ULONG outputLength, bool internal = false);
  void CancelRequest(const std::shared_ptr<UserRequest>& request);
  // Waits (from a thread of the system) until the request is done.
  void Wait(const std::shared_ptr<UserRequest>& request);

  // ---- debug output
  const std::vector<LogLine>& Log() const;
  std::string LogText() const;  // all lines joined
  void ClearLog();
  // Index of the first log line at or after `from` that equals `text`, or -1.
  long FindLog(const std::string& text, size_t from = 0) const;

  // ---- verifier
  const std::vector<Violation>& Violations() const;
  size_t CountViolations(Rule rule) const;
  // Removes and returns the reports of `rule`.
  std::vector<Violation> TakeViolations(Rule rule);
  void ClearViolations();
  // Runs the end-of-life checks now (leaks, requests never completed).
  void CheckTeardown();

  // ---- pool
  PoolStats Pool() const;
  // The next `count` allocations (of `tag`, or of any tag when 0) fail.
  void FailPoolAllocations(unsigned count, ULONG tag = 0);
  // IoCreateDevice, IoAttachDeviceToDeviceStack, IoAllocateIrp,
  // IoBuildDeviceIoControlRequest, PoRequestPowerIrp: fail the next n calls.
  void FailNextCreateDevice(unsigned count = 1);
  void FailNextAttach(unsigned count = 1);
  void FailNextIrpAllocation(unsigned count = 1);
  void FailNextPowerRequest(unsigned count = 1, NTSTATUS status = STATUS_INSUFFICIENT_RESOURCES);

  Kernel& kernel();

 private:
  std::unique_ptr<Kernel> kernel_;
};

// Formats bytes as "10 02 00 10 03".
std::string Hex(const std::uint8_t* data, size_t length);
std::string Hex(const std::vector<std::uint8_t>& data);
// Status name and value: "STATUS_IO_TIMEOUT (0xC00000B5)".
std::string StatusText(NTSTATUS status);

}  // namespace vk
