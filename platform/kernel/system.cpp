// The System facade: boot, teardown, driver loading and the application side
// of the I/O manager.
#include <dlfcn.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "kernel.h"
#include "vk/serial_port.h"

namespace vk {

namespace {
Kernel* g_kernel = nullptr;
System* g_system = nullptr;

constexpr CSHORT kIoTypeFile = 5;
constexpr CSHORT kIoTypeDriver = 4;

// Runs `fn` in a thread of the system: directly when already in one,
// otherwise in a new thread while the scheduler runs until it is done.
void RunInThread(Kernel& k, const char* what, const std::function<void()>& fn) {
  if (k.currentFiber()) {
    fn();
    return;
  }
  if (k.loopRunning) {
    std::fprintf(stderr, "vk: %s needs a thread of the system\n", what);
    std::abort();
  }
  bool finished = false;
  k.CreateFiber(what, [&] {
    fn();
    finished = true;
  });
  if (!k.RunLoop([&] { return finished; })) k.Report(Rule::Deadlock, std::string(what) + " never finished");
}
}  // namespace

Kernel& Kernel::Get() {
  if (!g_kernel) {
    std::fprintf(stderr, "vk: kernel call with no system booted\n");
    std::abort();
  }
  return *g_kernel;
}

Kernel* Kernel::TryGet() { return g_kernel; }

Kernel::Kernel(System& sys, const System::Options& opts) : system(sys), options(opts), rng(opts.seed) {
  schedulerContext_.name = "scheduler";
  wallStart_ = std::chrono::duration_cast<std::chrono::nanoseconds>(
                   std::chrono::steady_clock::now().time_since_epoch())
                   .count();
}

Kernel::~Kernel() {
  for (void* p : poolQuarantine) std::free(p);
  for (PIRP irp : irpQuarantine) std::free(irp);
  for (auto& [irp, info] : irps) {
    if (info.systemBuffer) std::free(info.systemBuffer);
    std::free(irp);
  }
  for (auto& [p, block] : pool) std::free(p);
  for (auto& [handle, item] : workItems) delete item;
  for (PFILE_OBJECT file : files) std::free(file);
  for (auto& [device, info] : devices) std::free(device);
  for (auto& [driver, info] : drivers) {
    std::free(driver);
    if (info.module) dlclose(info.module);
  }
}

System::System() : System(Options{}) {}

System::System(Options options) {
  if (g_kernel) {
    std::fprintf(stderr, "vk: only one system can be booted at a time\n");
    std::abort();
  }
  kernel_ = std::make_unique<Kernel>(*this, options);
  g_kernel = kernel_.get();
  g_system = this;
  Kernel& k = *kernel_;
  KeInitializeEvent(&k.workEvent, SynchronizationEvent, FALSE);
  k.CreateFiber("system worker", [&k] { k.WorkerThread(); });
}

System::~System() {
  Kernel& k = *kernel_;
  CheckTeardown();
  k.UnwindFibers();
  k.ports.clear();
  kernel_.reset();
  g_kernel = nullptr;
  g_system = nullptr;
}

System* System::Current() { return g_system; }
const System::Options& System::options() const { return kernel_->options; }
Kernel& System::kernel() { return *kernel_; }

void System::CreateThread(std::string name, std::function<void()> body) {
  kernel_->CreateFiber(std::move(name), std::move(body));
}

bool System::Run(std::function<void()> body) {
  Kernel& k = *kernel_;
  bool finished = false;
  k.CreateFiber("main", [&finished, body = std::move(body)] {
    body();
    finished = true;
  });
  if (k.RunLoop([&] { return finished; })) return true;
  std::string blocked;
  k.Report(Rule::Deadlock, "the main thread can never finish: every thread is blocked and no event is due");
  return false;
}

void System::RunFor(Nanos duration) {
  Kernel& k = *kernel_;
  Nanos deadline = k.now() + duration;
  bool reached = false;
  Handle h = k.Schedule(deadline, [&] { reached = true; });
  if (!k.RunLoop([&] { return reached; })) {
    k.Cancel(h);
  }
}

bool System::RunUntil(const std::function<bool()>& done) { return kernel_->RunLoop(done); }

void System::Post(std::function<void()> fn) { kernel_->Post(std::move(fn)); }

Nanos System::Now() const { return kernel_->now(); }
EventQueue::Handle System::Schedule(Nanos at, std::function<void()> fn) { return kernel_->Schedule(at, std::move(fn)); }
void System::Cancel(Handle handle) { kernel_->Cancel(handle); }

// ------------------------------------------------------------ drivers
NTSTATUS System::CreateDriver(const std::wstring& name, PDRIVER_INITIALIZE entry, PDRIVER_OBJECT* out) {
  Kernel& k = *kernel_;
  auto* driver = static_cast<PDRIVER_OBJECT>(std::calloc(1, sizeof(DRIVER_OBJECT)));
  driver->Type = kIoTypeDriver;
  driver->Size = sizeof(DRIVER_OBJECT);
  DriverInfo& info = k.drivers[driver];
  info.name = name;
  info.extension = std::make_unique<DRIVER_EXTENSION>();
  info.extension->DriverObject = driver;
  driver->DriverExtension = info.extension.get();
  driver->DriverName.Buffer = info.name.data();
  driver->DriverName.Length = USHORT(info.name.size() * sizeof(WCHAR));
  driver->DriverName.MaximumLength = driver->DriverName.Length;
  std::wstring registry = L"\\Registry\\Machine\\System\\CurrentControlSet\\Services" + name.substr(name.rfind(L'\\'));
  UNICODE_STRING registryPath;
  RtlInitUnicodeString(&registryPath, registry.c_str());
  NTSTATUS status = STATUS_UNSUCCESSFUL;
  RunInThread(k, "driver entry", [&] {
    k.loadingDrivers++;
    status = entry(driver, &registryPath);
    k.loadingDrivers--;
  });
  if (!NT_SUCCESS(status)) {
    k.drivers.erase(driver);
    std::free(driver);
    driver = nullptr;
  }
  if (out) *out = driver;
  return status;
}

NTSTATUS System::LoadDriver(const std::string& path, const std::wstring& name, PDRIVER_OBJECT* out) {
  if (out) *out = nullptr;
  void* module = dlopen(path.c_str(), RTLD_NOW | RTLD_LOCAL);
  if (!module) {
    std::fprintf(stderr, "vk: cannot load %s: %s\n", path.c_str(), dlerror());
    return STATUS_OBJECT_NAME_NOT_FOUND;
  }
  auto entry = reinterpret_cast<PDRIVER_INITIALIZE>(dlsym(module, "DriverEntry"));
  if (!entry) {
    dlclose(module);
    return STATUS_INVALID_PARAMETER;
  }
  PDRIVER_OBJECT driver = nullptr;
  NTSTATUS status = CreateDriver(name, entry, &driver);
  if (!NT_SUCCESS(status)) {
    dlclose(module);
    return status;
  }
  kernel_->drivers[driver].module = module;
  if (out) *out = driver;
  return status;
}

void System::UnloadDriver(PDRIVER_OBJECT driver) {
  Kernel& k = *kernel_;
  auto it = k.drivers.find(driver);
  if (it == k.drivers.end()) return;
  if (driver->DriverUnload) RunInThread(k, "driver unload", [&] { driver->DriverUnload(driver); });
  void* module = it->second.module;
  k.drivers.erase(it);
  std::free(driver);
  if (module) dlclose(module);
}

PDEVICE_OBJECT System::FindDevice(const std::wstring& name) const { return kernel_->Resolve(name); }

std::vector<InterfaceState> System::Interfaces() const {
  std::vector<InterfaceState> result;
  for (auto& [link, entry] : kernel_->interfaces) result.push_back({link, entry.guid, entry.pdo, entry.enabled});
  return result;
}

std::vector<std::wstring> System::SymbolicLinks() const {
  std::vector<std::wstring> result;
  for (auto& [link, target] : kernel_->symbolicLinks) result.push_back(link);
  return result;
}

SerialPort& System::AddSerialPort(unsigned index) {
  Kernel& k = *kernel_;
  auto& slot = k.ports[index];
  if (!slot) slot = std::make_unique<SerialPort>(*this, index);
  return *slot;
}

SerialPort* System::Port(unsigned index) {
  auto it = kernel_->ports.find(index);
  return it == kernel_->ports.end() ? nullptr : it->second.get();
}

// ------------------------------------------------------------ applications
NTSTATUS System::Open(PDEVICE_OBJECT device, PFILE_OBJECT* file) {
  Kernel& k = *kernel_;
  *file = nullptr;
  PDEVICE_OBJECT top = device;
  bool exclusive = (device->Flags & DO_EXCLUSIVE) != 0;
  while (top->AttachedDevice) {
    top = top->AttachedDevice;
    exclusive = exclusive || (top->Flags & DO_EXCLUSIVE);
  }
  DeviceInfo& info = k.devices[top];
  if (exclusive && info.openHandles > 0) return STATUS_ACCESS_DENIED;
  if (info.deleted) return STATUS_DELETE_PENDING;
  auto* fo = static_cast<PFILE_OBJECT>(std::calloc(1, sizeof(FILE_OBJECT)));
  fo->Type = kIoTypeFile;
  fo->Size = sizeof(FILE_OBJECT);
  fo->DeviceObject = top;
  ObfReferenceObject(top);
  info.openHandles++;  // counted from the start so that a second open is refused meanwhile
  NTSTATUS status = STATUS_UNSUCCESSFUL;
  RunInThread(k, "open", [&] { status = k.SendSynchronous(top, fo, IRP_MJ_CREATE); });
  if (!NT_SUCCESS(status)) {
    k.devices[top].openHandles--;
    std::free(fo);
    ObfDereferenceObject(top);
    return status;
  }
  k.files.insert(fo);
  *file = fo;
  return STATUS_SUCCESS;
}

NTSTATUS System::Open(const std::wstring& name, PFILE_OBJECT* file) {
  Kernel& k = *kernel_;
  *file = nullptr;
  auto it = k.interfaces.find(name);
  if (it != k.interfaces.end()) {
    if (!it->second.enabled) return STATUS_OBJECT_NAME_NOT_FOUND;
    return Open(it->second.pdo, file);
  }
  PDEVICE_OBJECT device = k.Resolve(name);
  if (!device) return STATUS_OBJECT_NAME_NOT_FOUND;
  return Open(device, file);
}

void System::Close(PFILE_OBJECT file) {
  Kernel& k = *kernel_;
  RunInThread(k, "close", [&] { k.ReleaseFile(file); });
}

std::shared_ptr<UserRequest> System::StartIoControl(PFILE_OBJECT file, ULONG code, const void* input,
                                                    ULONG inputLength, ULONG outputLength, bool internal) {
  Kernel& k = *kernel_;
  auto request = std::make_shared<UserRequest>();
  KeInitializeEvent(&request->event, NotificationEvent, FALSE);
  PDEVICE_OBJECT device = file->DeviceObject;
  PIRP irp = k.NewIrp(device->StackSize);
  IrpInfo& info = k.irps[irp];
  info.origin = "application device control";
  size_t size = std::max(inputLength, outputLength);
  if (size) {
    info.systemBuffer = std::calloc(1, size);
    if (input && inputLength) std::memcpy(info.systemBuffer, input, inputLength);
  }
  irp->AssociatedIrp.SystemBuffer = info.systemBuffer;
  irp->RequestorMode = UserMode;
  info.onFinal = [request, outputLength](PIRP done) {
    Kernel& kk = Kernel::Get();
    IrpInfo* i = kk.Info(done);
    request->status = done->IoStatus.Status;
    request->information = done->IoStatus.Information;
    if ((ULONG(request->status) & 0xC0000000u) != 0xC0000000u && i->systemBuffer) {
      size_t n = std::min<size_t>(done->IoStatus.Information, outputLength);
      auto* bytes = static_cast<std::uint8_t*>(i->systemBuffer);
      request->output.assign(bytes, bytes + n);
    }
    request->done = true;
    request->irp = nullptr;
    KeSetEvent(&request->event, IO_NO_INCREMENT, FALSE);
  };
  auto* stack = IoGetNextIrpStackLocation(irp);
  stack->MajorFunction = internal ? IRP_MJ_INTERNAL_DEVICE_CONTROL : IRP_MJ_DEVICE_CONTROL;
  stack->Parameters.DeviceIoControl.IoControlCode = code;
  stack->Parameters.DeviceIoControl.InputBufferLength = inputLength;
  stack->Parameters.DeviceIoControl.OutputBufferLength = outputLength;
  stack->FileObject = file;
  request->irp = irp;
  k.CreateFiber("application", [device, irp] { IofCallDriver(device, irp); });
  return request;
}

std::shared_ptr<UserRequest> System::IoControl(PFILE_OBJECT file, ULONG code, const void* input, ULONG inputLength,
                                               ULONG outputLength, bool internal) {
  auto request = StartIoControl(file, code, input, inputLength, outputLength, internal);
  Wait(request);
  return request;
}

void System::Wait(const std::shared_ptr<UserRequest>& request) {
  Kernel& k = *kernel_;
  RunInThread(k, "wait", [&] {
    while (!request->done) KeWaitForSingleObject(&request->event, Executive, UserMode, FALSE, nullptr);
  });
}

void System::CancelRequest(const std::shared_ptr<UserRequest>& request) {
  if (request->done || !request->irp) return;
  IoCancelIrp(request->irp);
}

// ------------------------------------------------------------ log
const std::vector<LogLine>& System::Log() const { return kernel_->log; }

std::string System::LogText() const {
  std::string text;
  for (auto& line : kernel_->log) text += line.text;
  return text;
}

void System::ClearLog() { kernel_->log.clear(); }

long System::FindLog(const std::string& text, size_t from) const {
  for (size_t i = from; i < kernel_->log.size(); ++i)
    if (kernel_->log[i].text == text) return long(i);
  return -1;
}

// ------------------------------------------------------------ verifier
const std::vector<Violation>& System::Violations() const { return kernel_->violations; }

size_t System::CountViolations(Rule rule) const {
  size_t n = 0;
  for (auto& v : kernel_->violations) n += v.rule == rule;
  return n;
}

std::vector<Violation> System::TakeViolations(Rule rule) {
  std::vector<Violation> taken;
  auto& all = kernel_->violations;
  for (auto it = all.begin(); it != all.end();) {
    if (it->rule == rule) {
      taken.push_back(*it);
      it = all.erase(it);
    } else {
      ++it;
    }
  }
  return taken;
}

void System::ClearViolations() { kernel_->violations.clear(); }

void System::CheckTeardown() { kernel_->TeardownChecks(); }

// ------------------------------------------------------------ pool and faults
PoolStats System::Pool() const { return kernel_->poolStats; }

void System::FailPoolAllocations(unsigned count, ULONG tag) {
  kernel_->failPool = count;
  kernel_->failPoolTag = tag;
}
void System::FailNextCreateDevice(unsigned count) { kernel_->failCreateDevice = count; }
void System::FailNextAttach(unsigned count) { kernel_->failAttach = count; }
void System::FailNextIrpAllocation(unsigned count) { kernel_->failIrp = count; }
void System::FailNextPowerRequest(unsigned count, NTSTATUS status) {
  kernel_->failPowerRequest = count;
  kernel_->failPowerRequestStatus = status;
}

}  // namespace vk
