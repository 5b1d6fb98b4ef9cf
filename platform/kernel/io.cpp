// The I/O manager: IRPs, device objects, names, interfaces, work items and
// the power manager's calls.
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "kernel.h"

using vk::Kernel;
using vk::Rule;

namespace {
constexpr CSHORT kIoTypeIrp = 6;
constexpr CSHORT kIoTypeDevice = 3;
constexpr CSHORT kIoTypeFile = 5;
constexpr size_t kIrpQuarantine = 256;

std::string MajorName(UCHAR major) {
  switch (major) {
    case IRP_MJ_CREATE: return "IRP_MJ_CREATE";
    case IRP_MJ_CLOSE: return "IRP_MJ_CLOSE";
    case IRP_MJ_READ: return "IRP_MJ_READ";
    case IRP_MJ_WRITE: return "IRP_MJ_WRITE";
    case IRP_MJ_DEVICE_CONTROL: return "IRP_MJ_DEVICE_CONTROL";
    case IRP_MJ_INTERNAL_DEVICE_CONTROL: return "IRP_MJ_INTERNAL_DEVICE_CONTROL";
    case IRP_MJ_CLEANUP: return "IRP_MJ_CLEANUP";
    case IRP_MJ_POWER: return "IRP_MJ_POWER";
    case IRP_MJ_PNP: return "IRP_MJ_PNP";
    default: return "IRP_MJ_" + std::to_string(major);
  }
}

std::string DriverName(PDEVICE_OBJECT device) {
  if (!device || !device->DriverObject) return "?";
  return vk::Narrow(vk::FromUnicode(&device->DriverObject->DriverName));
}

NTSTATUS DefaultDispatch(PDEVICE_OBJECT, PIRP Irp) {
  Irp->IoStatus.Status = STATUS_INVALID_DEVICE_REQUEST;
  Irp->IoStatus.Information = 0;
  IofCompleteRequest(Irp, IO_NO_INCREMENT);
  return STATUS_INVALID_DEVICE_REQUEST;
}

std::wstring GuidText(const GUID* g) {
  wchar_t text[64];
  std::swprintf(text, 64, L"{%08X-%04X-%04X-%02X%02X-%02X%02X%02X%02X%02X%02X}", g->Data1, g->Data2, g->Data3,
                g->Data4[0], g->Data4[1], g->Data4[2], g->Data4[3], g->Data4[4], g->Data4[5], g->Data4[6],
                g->Data4[7]);
  return text;
}
}  // namespace

namespace vk {

PIRP Kernel::NewIrp(CCHAR stackSize) {
  if (stackSize < 1) stackSize = 1;
  size_t bytes = sizeof(IRP) + size_t(stackSize) * sizeof(IO_STACK_LOCATION);
  auto* irp = static_cast<PIRP>(std::calloc(1, bytes));
  auto* stack = reinterpret_cast<PIO_STACK_LOCATION>(irp + 1);
  irp->Type = kIoTypeIrp;
  irp->Size = USHORT(bytes);
  irp->StackCount = stackSize;
  irp->CurrentLocation = CHAR(stackSize + 1);
  irp->Tail.Overlay.CurrentStackLocation = stack + stackSize;
  irp->IoStatus.Status = STATUS_SUCCESS;
  irps[irp] = IrpInfo{};
  return irp;
}

IrpInfo* Kernel::Info(PIRP irp) {
  auto it = irps.find(irp);
  return it == irps.end() ? nullptr : &it->second;
}

void Kernel::DestroyIrp(PIRP irp) {
  auto it = irps.find(irp);
  if (it == irps.end()) return;
  if (it->second.systemBuffer) std::free(it->second.systemBuffer);
  irps.erase(it);
  std::memset(irp, 0xDD, sizeof(IRP));
  irpQuarantine.push_back(irp);
  if (irpQuarantine.size() > kIrpQuarantine) {
    std::free(irpQuarantine.front());
    irpQuarantine.pop_front();
  }
}

// The I/O manager's own processing once an IRP reached the top of its stack.
void Kernel::FinishIrp(PIRP irp) {
  IrpInfo* info = Info(irp);
  info->completed = true;
  if (info->power) {
    for (PDEVICE_OBJECT device : info->powerDevices) {
      int n = info->startNextCount[device];
      if (n != 1)
        Report(Rule::PowerIrpStartNext, "a power IRP completed after " + std::to_string(n) +
                                            " PoStartNextPowerIrp call(s) by " + DriverName(device) +
                                            " instead of exactly one");
    }
  }
  if (info->bufferedIo && info->userOutput && info->systemBuffer && irp->IoStatus.Status >= 0 &&
      (irp->IoStatus.Status & 0xC0000000u) != 0xC0000000u) {
    size_t n = std::min<size_t>(irp->IoStatus.Information, info->userOutputLength);
    std::memcpy(info->userOutput, info->systemBuffer, n);
  }
  if (info->onFinal) {
    auto fn = std::move(info->onFinal);
    fn(irp);
  }
  if (irp->UserIosb) *irp->UserIosb = irp->IoStatus;
  if (irp->UserEvent) KeSetEvent(irp->UserEvent, IO_NO_INCREMENT, FALSE);
  // IRPs that reach the top are freed by the I/O manager.
  DestroyIrp(irp);
}

void Kernel::FreeDevice(PDEVICE_OBJECT device) {
  devices.erase(device);
  std::free(device);
}

PDEVICE_OBJECT Kernel::Resolve(const std::wstring& name) const {
  std::wstring target = name;
  for (int hops = 0; hops < 8; ++hops) {
    auto link = symbolicLinks.find(target);
    if (link == symbolicLinks.end()) break;
    target = link->second;
  }
  auto it = namedDevices.find(target);
  return it == namedDevices.end() ? nullptr : it->second;
}

// Sends open, cleanup or close for a file object and waits for it.
NTSTATUS Kernel::SendSynchronous(PDEVICE_OBJECT device, PFILE_OBJECT file, UCHAR major) {
  PIRP irp = NewIrp(device->StackSize);
  irps[irp].origin = MajorName(major) + " from the I/O manager";
  KEVENT event;
  KeInitializeEvent(&event, NotificationEvent, FALSE);
  IO_STATUS_BLOCK iosb{};
  irp->UserIosb = &iosb;
  irp->UserEvent = &event;
  auto* stack = IoGetNextIrpStackLocation(irp);
  stack->MajorFunction = major;
  stack->FileObject = file;
  NTSTATUS status = IofCallDriver(device, irp);
  if (status == STATUS_PENDING) {
    KeWaitForSingleObject(&event, Executive, KernelMode, FALSE, nullptr);
    status = iosb.Status;
  }
  return status;
}

void Kernel::ReleaseFile(PFILE_OBJECT file) {
  if (!files.count(file)) return;
  PDEVICE_OBJECT device = file->DeviceObject;
  SendSynchronous(device, file, IRP_MJ_CLEANUP);
  SendSynchronous(device, file, IRP_MJ_CLOSE);
  auto it = devices.find(device);
  if (it != devices.end()) it->second.openHandles--;
  files.erase(file);
  std::free(file);
  ObfDereferenceObject(device);
}

void Kernel::WorkerThread() {
  for (;;) {
    while (workQueue.empty()) KeWaitForSingleObject(&workEvent, Executive, KernelMode, FALSE, nullptr);
    PIO_WORKITEM handle = workQueue.front();
    workQueue.pop_front();
    auto it = workItems.find(handle);
    if (it == workItems.end()) continue;
    WorkItem* item = it->second;
    item->queued = false;
    PDEVICE_OBJECT device = item->device;
    auto routine = item->routine;
    PVOID context = item->context;
    routine(device, context);
    if (current()->irql != PASSIVE_LEVEL) {
      Report(Rule::DispatchIrqlChanged, "a work item routine returned above PASSIVE_LEVEL");
      current()->irql = PASSIVE_LEVEL;
    }
    ObfDereferenceObject(device);
  }
}

}  // namespace vk

extern "C" {

// ------------------------------------------------------------------ IRPs
PIRP IoAllocateIrp(CCHAR StackSize, BOOLEAN ChargeQuota) {
  Kernel& k = Kernel::Get();
  if (k.failIrp) {
    --k.failIrp;
    return nullptr;
  }
  PIRP irp = k.NewIrp(StackSize);
  k.irps[irp].origin = "IoAllocateIrp";
  return irp;
}

VOID IoFreeIrp(PIRP Irp) {
  Kernel& k = Kernel::Get();
  vk::IrpInfo* info = k.Info(Irp);
  if (!info) {
    k.Report(Rule::IrpFreedTwice, "IoFreeIrp on a request that is not allocated (freed twice?)");
    return;
  }
  if (!info->dispatchStack.empty()) {
    k.Report(Rule::IrpFreedWhileOwned, "IoFreeIrp on a request that a driver still holds (" + info->origin + ")");
    return;
  }
  k.DestroyIrp(Irp);
}

VOID IoReuseIrp(PIRP Irp, NTSTATUS Status) {
  Kernel& k = Kernel::Get();
  vk::IrpInfo* info = k.Info(Irp);
  if (!info) return;
  CHAR count = Irp->StackCount;
  std::memset(Irp, 0, Irp->Size);
  Irp->Type = kIoTypeIrp;
  Irp->Size = USHORT(sizeof(IRP) + size_t(count) * sizeof(IO_STACK_LOCATION));
  Irp->StackCount = count;
  Irp->CurrentLocation = CHAR(count + 1);
  Irp->Tail.Overlay.CurrentStackLocation = reinterpret_cast<PIO_STACK_LOCATION>(Irp + 1) + count;
  Irp->IoStatus.Status = Status;
  info->completed = false;
}

PIRP IoBuildDeviceIoControlRequest(ULONG IoControlCode, PDEVICE_OBJECT DeviceObject, PVOID InputBuffer,
                                   ULONG InputBufferLength, PVOID OutputBuffer, ULONG OutputBufferLength,
                                   BOOLEAN InternalDeviceIoControl, PKEVENT Event, PIO_STATUS_BLOCK IoStatusBlock) {
  Kernel& k = Kernel::Get();
  if (k.failIrp) {
    --k.failIrp;
    return nullptr;
  }
  PIRP irp = k.NewIrp(DeviceObject->StackSize);
  vk::IrpInfo& info = k.irps[irp];
  info.threaded = true;
  info.origin = "IoBuildDeviceIoControlRequest";
  auto* stack = IoGetNextIrpStackLocation(irp);
  stack->MajorFunction = InternalDeviceIoControl ? IRP_MJ_INTERNAL_DEVICE_CONTROL : IRP_MJ_DEVICE_CONTROL;
  stack->Parameters.DeviceIoControl.IoControlCode = IoControlCode;
  stack->Parameters.DeviceIoControl.InputBufferLength = InputBufferLength;
  stack->Parameters.DeviceIoControl.OutputBufferLength = OutputBufferLength;
  ULONG method = METHOD_FROM_CTL_CODE(IoControlCode);
  if (method == METHOD_BUFFERED) {
    size_t size = std::max(InputBufferLength, OutputBufferLength);
    if (size) {
      info.systemBuffer = std::calloc(1, size);
      if (InputBuffer && InputBufferLength) std::memcpy(info.systemBuffer, InputBuffer, InputBufferLength);
    }
    irp->AssociatedIrp.SystemBuffer = info.systemBuffer;
    info.bufferedIo = true;
    info.userOutput = OutputBuffer;
    info.userOutputLength = OutputBuffer ? OutputBufferLength : 0;
    irp->UserBuffer = OutputBuffer;
  } else {
    stack->Parameters.DeviceIoControl.Type3InputBuffer = InputBuffer;
    irp->UserBuffer = OutputBuffer;
  }
  irp->UserIosb = IoStatusBlock;
  irp->UserEvent = Event;
  return irp;
}

NTSTATUS IofCallDriver(PDEVICE_OBJECT DeviceObject, PIRP Irp) {
  Kernel& k = Kernel::Get();
  vk::IrpInfo* info = k.Info(Irp);
  if (!info) {
    k.Report(Rule::IrpFreedTwice, "IofCallDriver with a request that is not allocated");
    return STATUS_INVALID_PARAMETER;
  }
  if (Irp->CurrentLocation <= 1) {
    k.Report(Rule::IrpStackOverflow, "IofCallDriver: no stack location left for " + DriverName(DeviceObject));
    return STATUS_INVALID_PARAMETER;
  }
  Irp->CurrentLocation--;
  Irp->Tail.Overlay.CurrentStackLocation--;
  PIO_STACK_LOCATION stack = Irp->Tail.Overlay.CurrentStackLocation;
  stack->DeviceObject = DeviceObject;
  int location = Irp->CurrentLocation;
  info->dispatchStack.push_back(location);
  std::uint64_t marker = ++info->callDowns;
  UCHAR major = stack->MajorFunction;
  if (major == IRP_MJ_POWER) {
    info->power = true;
    info->powerDevices.push_back(DeviceObject);
  }
  PDRIVER_DISPATCH dispatch = major <= IRP_MJ_MAXIMUM_FUNCTION ? DeviceObject->DriverObject->MajorFunction[major] : nullptr;
  if (!dispatch) dispatch = DefaultDispatch;
  KIRQL before = KeGetCurrentIrql();
  NTSTATUS status = dispatch(DeviceObject, Irp);
  KIRQL after = KeGetCurrentIrql();
  if (after != before) {
    k.Report(Rule::DispatchIrqlChanged, DriverName(DeviceObject) + " returned from " + MajorName(major) +
                                            " at IRQL " + std::to_string(after) + ", entered at " +
                                            std::to_string(before));
    k.current()->irql = before;
  }
  if (status == STATUS_PENDING) {
    info = k.Info(Irp);
    if (info && info->callDowns == marker && !info->completed && !(stack->Control & SL_PENDING_RETURNED)) {
      k.Report(Rule::PendingNotMarked, DriverName(DeviceObject) + " returned STATUS_PENDING for " + MajorName(major) +
                                           " without marking it pending or passing it down");
    }
  }
  return status;
}

VOID IofCompleteRequest(PIRP Irp, CCHAR PriorityBoost) {
  Kernel& k = Kernel::Get();
  vk::IrpInfo* info = k.Info(Irp);
  if (!info || info->completed) {
    k.Report(Rule::IrpCompletedTwice, "a request was completed that is already complete");
    return;
  }
  if (Irp->CancelRoutine) {
    k.Report(Rule::IrpCompletedWithCancelRoutine, "a request was completed with its cancel routine still set");
    Irp->CancelRoutine = nullptr;
  }
  if (!k.current()->heldLocks.empty())
    k.Report(Rule::IrpCompletedWithSpinLockHeld, "a request was completed while a spin lock is held");
  if (Irp->IoStatus.Status == STATUS_PENDING)
    k.Report(Rule::IrpCompletedWithPendingStatus, "a request was completed with the status STATUS_PENDING");
  while (Irp->CurrentLocation <= Irp->StackCount) {
    PIO_STACK_LOCATION stack = Irp->Tail.Overlay.CurrentStackLocation;
    int location = Irp->CurrentLocation;
    while (!info->dispatchStack.empty() && info->dispatchStack.back() == location) info->dispatchStack.pop_back();
    Irp->PendingReturned = (stack->Control & SL_PENDING_RETURNED) ? TRUE : FALSE;
    PIO_COMPLETION_ROUTINE routine = stack->CompletionRoutine;
    PVOID context = stack->Context;
    UCHAR control = stack->Control;
    stack->CompletionRoutine = nullptr;
    stack->Context = nullptr;
    stack->Control = 0;
    Irp->CurrentLocation++;
    Irp->Tail.Overlay.CurrentStackLocation++;
    NTSTATUS status = Irp->IoStatus.Status;
    bool invoke = routine && ((NT_SUCCESS(status) && (control & SL_INVOKE_ON_SUCCESS)) ||
                              (!NT_SUCCESS(status) && (control & SL_INVOKE_ON_ERROR)) ||
                              (Irp->Cancel && (control & SL_INVOKE_ON_CANCEL)));
    if (invoke) {
      PDEVICE_OBJECT device =
          Irp->CurrentLocation <= Irp->StackCount ? Irp->Tail.Overlay.CurrentStackLocation->DeviceObject : nullptr;
      NTSTATUS r = routine(device, Irp, context);
      if (r == STATUS_MORE_PROCESSING_REQUIRED) return;
      info = k.Info(Irp);
      if (!info) return;
    } else if (Irp->PendingReturned && Irp->CurrentLocation <= Irp->StackCount) {
      IoMarkIrpPending(Irp);
    }
  }
  k.FinishIrp(Irp);
}

BOOLEAN IoCancelIrp(PIRP Irp) {
  Kernel& k = Kernel::Get();
  if (!k.Info(Irp)) return FALSE;
  KIRQL irql;
  IoAcquireCancelSpinLock(&irql);
  Irp->Cancel = TRUE;
  PDRIVER_CANCEL routine = Irp->CancelRoutine;
  Irp->CancelRoutine = nullptr;
  if (!routine) {
    IoReleaseCancelSpinLock(irql);
    return FALSE;
  }
  Irp->CancelIrql = irql;
  PDEVICE_OBJECT device =
      Irp->CurrentLocation <= Irp->StackCount ? Irp->Tail.Overlay.CurrentStackLocation->DeviceObject : nullptr;
  routine(device, Irp);
  return TRUE;
}

VOID IoAcquireCancelSpinLock(PKIRQL Irql) { *Irql = KfAcquireSpinLock(&Kernel::Get().cancelLock); }

VOID IoReleaseCancelSpinLock(KIRQL Irql) { KfReleaseSpinLock(&Kernel::Get().cancelLock, Irql); }

PDRIVER_CANCEL IoSetCancelRoutine(PIRP Irp, PDRIVER_CANCEL CancelRoutine) {
  PDRIVER_CANCEL old = Irp->CancelRoutine;
  Irp->CancelRoutine = CancelRoutine;
  return old;
}

// ------------------------------------------------------------ devices
NTSTATUS IoCreateDevice(PDRIVER_OBJECT DriverObject, ULONG DeviceExtensionSize, PUNICODE_STRING DeviceName,
                        DEVICE_TYPE DeviceType, ULONG DeviceCharacteristics, BOOLEAN Exclusive,
                        PDEVICE_OBJECT* DeviceObject) {
  Kernel& k = Kernel::Get();
  *DeviceObject = nullptr;
  if (k.failCreateDevice) {
    --k.failCreateDevice;
    return STATUS_INSUFFICIENT_RESOURCES;
  }
  std::wstring name = DeviceName ? vk::FromUnicode(DeviceName) : std::wstring();
  if (!name.empty() && (k.namedDevices.count(name) || k.symbolicLinks.count(name)))
    return STATUS_OBJECT_NAME_COLLISION;
  size_t head = (sizeof(DEVICE_OBJECT) + 15) & ~size_t(15);
  auto* device = static_cast<PDEVICE_OBJECT>(std::calloc(1, head + DeviceExtensionSize));
  device->Type = kIoTypeDevice;
  device->Size = USHORT(sizeof(DEVICE_OBJECT));
  device->DriverObject = DriverObject;
  device->DeviceType = DeviceType;
  device->Characteristics = DeviceCharacteristics;
  device->Flags = DO_DEVICE_INITIALIZING | (Exclusive ? DO_EXCLUSIVE : 0);
  device->StackSize = 1;
  device->DeviceExtension = DeviceExtensionSize ? reinterpret_cast<unsigned char*>(device) + head : nullptr;
  device->NextDevice = DriverObject->DeviceObject;
  DriverObject->DeviceObject = device;
  vk::DeviceInfo& info = k.devices[device];
  info.name = name;
  if (!name.empty()) k.namedDevices[name] = device;
  *DeviceObject = device;
  return STATUS_SUCCESS;
}

VOID IoDeleteDevice(PDEVICE_OBJECT DeviceObject) {
  Kernel& k = Kernel::Get();
  auto it = k.devices.find(DeviceObject);
  if (it == k.devices.end() || it->second.deleted) return;
  if (it->second.lower)
    k.Report(Rule::DeviceDeletedWhileAttached, "a device was deleted while still attached to the device below it");
  if (!it->second.name.empty()) k.namedDevices.erase(it->second.name);
  PDRIVER_OBJECT driver = DeviceObject->DriverObject;
  for (PDEVICE_OBJECT* link = &driver->DeviceObject; *link; link = &(*link)->NextDevice) {
    if (*link == DeviceObject) {
      *link = DeviceObject->NextDevice;
      break;
    }
  }
  it->second.deleted = true;
  if (DeviceObject->ReferenceCount <= 0) k.FreeDevice(DeviceObject);
}

PDEVICE_OBJECT IoAttachDeviceToDeviceStack(PDEVICE_OBJECT SourceDevice, PDEVICE_OBJECT TargetDevice) {
  Kernel& k = Kernel::Get();
  if (k.failAttach) {
    --k.failAttach;
    return nullptr;
  }
  PDEVICE_OBJECT top = TargetDevice;
  while (top->AttachedDevice) top = top->AttachedDevice;
  top->AttachedDevice = SourceDevice;
  SourceDevice->StackSize = CCHAR(top->StackSize + 1);
  k.devices[SourceDevice].lower = top;
  return top;
}

VOID IoDetachDevice(PDEVICE_OBJECT TargetDevice) {
  Kernel& k = Kernel::Get();
  PDEVICE_OBJECT above = TargetDevice->AttachedDevice;
  if (above) {
    auto it = k.devices.find(above);
    if (it != k.devices.end()) it->second.lower = nullptr;
  }
  TargetDevice->AttachedDevice = nullptr;
}

NTSTATUS IoCreateSymbolicLink(PUNICODE_STRING SymbolicLinkName, PUNICODE_STRING DeviceName) {
  Kernel& k = Kernel::Get();
  std::wstring link = vk::FromUnicode(SymbolicLinkName);
  if (k.symbolicLinks.count(link) || k.namedDevices.count(link)) return STATUS_OBJECT_NAME_COLLISION;
  k.symbolicLinks[link] = vk::FromUnicode(DeviceName);
  return STATUS_SUCCESS;
}

NTSTATUS IoDeleteSymbolicLink(PUNICODE_STRING SymbolicLinkName) {
  Kernel& k = Kernel::Get();
  return k.symbolicLinks.erase(vk::FromUnicode(SymbolicLinkName)) ? STATUS_SUCCESS : STATUS_OBJECT_NAME_NOT_FOUND;
}

NTSTATUS IoGetDeviceObjectPointer(PUNICODE_STRING ObjectName, ACCESS_MASK DesiredAccess, PFILE_OBJECT* FileObject,
                                  PDEVICE_OBJECT* DeviceObject) {
  Kernel& k = Kernel::Get();
  *FileObject = nullptr;
  *DeviceObject = nullptr;
  PDEVICE_OBJECT base = k.Resolve(vk::FromUnicode(ObjectName));
  if (!base) return STATUS_OBJECT_NAME_NOT_FOUND;
  PFILE_OBJECT file = nullptr;
  NTSTATUS status = k.system.Open(base, &file);
  if (!NT_SUCCESS(status)) return status;
  *FileObject = file;
  *DeviceObject = file->DeviceObject;
  return STATUS_SUCCESS;
}

VOID ObfReferenceObject(PVOID Object) {
  auto* type = static_cast<CSHORT*>(Object);
  if (*type == kIoTypeDevice) static_cast<PDEVICE_OBJECT>(Object)->ReferenceCount++;
}

VOID ObfDereferenceObject(PVOID Object) {
  Kernel& k = Kernel::Get();
  auto* file = static_cast<PFILE_OBJECT>(Object);
  if (k.files.count(file)) {
    k.ReleaseFile(file);
    return;
  }
  auto* device = static_cast<PDEVICE_OBJECT>(Object);
  auto it = k.devices.find(device);
  if (it == k.devices.end()) return;
  if (--device->ReferenceCount <= 0 && it->second.deleted) k.FreeDevice(device);
}

// ------------------------------------------------------------ interfaces
NTSTATUS IoRegisterDeviceInterface(PDEVICE_OBJECT PhysicalDeviceObject, const GUID* InterfaceClassGuid,
                                   PUNICODE_STRING ReferenceString, PUNICODE_STRING SymbolicLinkName) {
  Kernel& k = Kernel::Get();
  auto it = k.devices.find(PhysicalDeviceObject);
  if (it == k.devices.end()) return STATUS_INVALID_DEVICE_REQUEST;
  std::wstring base = it->second.name;
  for (auto& c : base)
    if (c == L'\\') c = L'#';
  std::wstring link = L"\\??\\VK" + base + L"#" + GuidText(InterfaceClassGuid);
  if (ReferenceString && ReferenceString->Length) link += L"\\" + vk::FromUnicode(ReferenceString);
  size_t bytes = (link.size() + 1) * sizeof(WCHAR);
  auto* buffer = static_cast<PWSTR>(k.Allocate(PagedPool, bytes, vk::PoolTag("IoIf")));
  if (!buffer) return STATUS_INSUFFICIENT_RESOURCES;
  std::memcpy(buffer, link.c_str(), bytes);
  SymbolicLinkName->Buffer = buffer;
  SymbolicLinkName->Length = USHORT(link.size() * sizeof(WCHAR));
  SymbolicLinkName->MaximumLength = USHORT(bytes);
  if (!k.interfaces.count(link)) k.interfaces[link] = vk::InterfaceEntry{*InterfaceClassGuid, PhysicalDeviceObject, false};
  // The interface's name is a link to the physical device, as a symbolic
  // link in the object namespace.
  if (!it->second.name.empty()) k.symbolicLinks[link] = it->second.name;
  return STATUS_SUCCESS;
}

NTSTATUS IoSetDeviceInterfaceState(PUNICODE_STRING SymbolicLinkName, BOOLEAN Enable) {
  Kernel& k = Kernel::Get();
  if (!SymbolicLinkName || !SymbolicLinkName->Buffer) return STATUS_INVALID_PARAMETER;
  auto it = k.interfaces.find(vk::FromUnicode(SymbolicLinkName));
  if (it == k.interfaces.end()) return STATUS_OBJECT_NAME_NOT_FOUND;
  it->second.enabled = Enable != FALSE;
  return STATUS_SUCCESS;
}

// ------------------------------------------------------------ work items
PIO_WORKITEM IoAllocateWorkItem(PDEVICE_OBJECT DeviceObject) {
  Kernel& k = Kernel::Get();
  auto* handle = static_cast<PIO_WORKITEM>(k.Allocate(NonPagedPool, 16, vk::PoolTag("IoWk")));
  if (!handle) return nullptr;
  auto* item = new vk::WorkItem{DeviceObject};
  k.workItems[handle] = item;
  return handle;
}

VOID IoFreeWorkItem(PIO_WORKITEM IoWorkItem) {
  Kernel& k = Kernel::Get();
  auto it = k.workItems.find(IoWorkItem);
  if (it == k.workItems.end()) {
    k.Report(Rule::PoolDoubleFree, "IoFreeWorkItem on a work item that is not allocated");
    return;
  }
  if (it->second->queued) {
    k.Report(Rule::WorkItemFreedWhileQueued, "a work item was freed while queued");
    return;
  }
  delete it->second;
  k.workItems.erase(it);
  k.Free(IoWorkItem, false, 0);
}

VOID IoQueueWorkItem(PIO_WORKITEM IoWorkItem, PIO_WORKITEM_ROUTINE WorkerRoutine, WORK_QUEUE_TYPE QueueType,
                     PVOID Context) {
  Kernel& k = Kernel::Get();
  auto it = k.workItems.find(IoWorkItem);
  if (it == k.workItems.end()) return;
  vk::WorkItem* item = it->second;
  if (item->queued) return;
  item->queued = true;
  item->routine = WorkerRoutine;
  item->context = Context;
  ObfReferenceObject(item->device);
  k.workQueue.push_back(IoWorkItem);
  KeSetEvent(&k.workEvent, IO_NO_INCREMENT, FALSE);
}

// ------------------------------------------------------------ power
NTSTATUS PoCallDriver(PDEVICE_OBJECT DeviceObject, PIRP Irp) { return IofCallDriver(DeviceObject, Irp); }

VOID PoStartNextPowerIrp(PIRP Irp) {
  Kernel& k = Kernel::Get();
  vk::IrpInfo* info = k.Info(Irp);
  if (!info) return;
  PDEVICE_OBJECT device =
      Irp->CurrentLocation <= Irp->StackCount ? Irp->Tail.Overlay.CurrentStackLocation->DeviceObject : nullptr;
  info->startNextCount[device]++;
}

POWER_STATE PoSetPowerState(PDEVICE_OBJECT DeviceObject, POWER_STATE_TYPE Type, POWER_STATE State) {
  Kernel& k = Kernel::Get();
  vk::DeviceInfo& info = k.devices[DeviceObject];
  POWER_STATE old;
  if (Type == DevicePowerState) {
    old.DeviceState = info.devicePower;
    info.devicePower = State.DeviceState;
  } else {
    old.SystemState = info.systemPower;
    info.systemPower = State.SystemState;
  }
  return old;
}

NTSTATUS PoRequestPowerIrp(PDEVICE_OBJECT DeviceObject, UCHAR MinorFunction, POWER_STATE PowerState,
                           PREQUEST_POWER_COMPLETE CompletionFunction, PVOID Context, PIRP* Irp) {
  Kernel& k = Kernel::Get();
  if (Irp) *Irp = nullptr;
  if (k.failPowerRequest) {
    --k.failPowerRequest;
    return k.failPowerRequestStatus;
  }
  PDEVICE_OBJECT top = DeviceObject;
  while (top->AttachedDevice) top = top->AttachedDevice;
  PIRP irp = k.NewIrp(top->StackSize);
  vk::IrpInfo& info = k.irps[irp];
  info.origin = "PoRequestPowerIrp";
  info.onFinal = [DeviceObject, MinorFunction, PowerState, CompletionFunction, Context](PIRP done) {
    IO_STATUS_BLOCK iosb = done->IoStatus;
    if (CompletionFunction) CompletionFunction(DeviceObject, MinorFunction, PowerState, Context, &iosb);
  };
  auto* stack = IoGetNextIrpStackLocation(irp);
  stack->MajorFunction = IRP_MJ_POWER;
  stack->MinorFunction = MinorFunction;
  stack->Parameters.Power.Type = DevicePowerState;
  stack->Parameters.Power.State = PowerState;
  irp->IoStatus.Status = STATUS_NOT_SUPPORTED;
  if (Irp) *Irp = irp;
  // The power manager sends its requests from a system thread of its own.
  k.CreateFiber("power manager", [top, irp] { PoCallDriver(top, irp); });
  return STATUS_PENDING;
}

}  // extern "C"
