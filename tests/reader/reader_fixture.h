// A reader device object with its card slot's records, attached above a
// serial port, for tests of single driver layers before the whole driver
// exists. The far end is a scripted peer.
#pragma once

#include <cstring>

#include "reader/frame/vx7rd.h"
#include "support/testing.h"

namespace vkt {

class ReaderOnPort : public SystemTest {
 protected:
  void SetUp() override {
    SystemTest::SetUp();
    port = &sys().AddSerialPort(1);
    peer = std::make_unique<ScriptedPeer>(*port);
    driver = std::make_unique<TestDriver>(sys(), L"\\Driver\\ReaderUnderTest");
    sys().Run([&] {
      device = driver->CreateDevice(sizeof(DEVICE_EXTENSION));
      de = static_cast<PDEVICE_EXTENSION>(device->DeviceExtension);
      KeInitializeSpinLock(&de->SpinLock);
      KeInitializeEvent(&de->ReadyEvent, NotificationEvent, FALSE);
      KeInitializeEvent(&de->SerialClosedEvent, NotificationEvent, TRUE);
      de->CloseWorkItem = IoAllocateWorkItem(device);
      sc = &de->SmartcardExtension;
      re = static_cast<READER_EXTENSION*>(ExAllocatePoolWithTag(NonPagedPool, sizeof(READER_EXTENSION), VXR_POOL_TAG));
      std::memset(re, 0, sizeof *re);
      Vxr_SetCardSlotDefaults(re);
      sc->ReaderExtension = re;
      sc->SmartcardRequest.Buffer = static_cast<PUCHAR>(ExAllocatePoolWithTag(NonPagedPool, 1048, vk::PoolTag("Test")));
      sc->SmartcardRequest.BufferSize = 1048;
      sc->SmartcardReply.Buffer = static_cast<PUCHAR>(ExAllocatePoolWithTag(NonPagedPool, 1048, vk::PoolTag("Test")));
      sc->SmartcardReply.BufferSize = 1048;
      re->AttachedDeviceObject = IoAttachDeviceToDeviceStack(device, port->Device());
      KeInitializeEvent(&de->ReaderLock, SynchronizationEvent, TRUE);
      KeInitializeTimer(&re->WriteTimer);
      KeInitializeTimer(&re->ReadTimer);
      KeInitializeDpc(&re->WriteTimerDpc, Vxr_WriteTimeoutDpc, device);
      KeInitializeDpc(&re->ReadTimerDpc, Vxr_ReadTimeoutDpc, device);
      cardOsData.DeviceObject = device;
      sc->OsData = &cardOsData;
    });
  }

  // Gives the device a SAM slot record on the same port.
  void InitSamSlot() {
    sam = &de->SamExtension;
    samRe = static_cast<READER_EXTENSION*>(ExAllocatePoolWithTag(NonPagedPool, sizeof(READER_EXTENSION), VXR_POOL_TAG));
    std::memset(samRe, 0, sizeof *samRe);
    samRe->Slot = 1;
    samRe->AttachedDeviceObject = re->AttachedDeviceObject;
    KeInitializeTimer(&samRe->WriteTimer);
    KeInitializeTimer(&samRe->ReadTimer);
    KeInitializeDpc(&samRe->WriteTimerDpc, Vxr_SamWriteTimeoutDpc, device);
    KeInitializeDpc(&samRe->ReadTimerDpc, Vxr_SamReadTimeoutDpc, device);
    sam->ReaderExtension = samRe;
    sam->SmartcardRequest.Buffer = static_cast<PUCHAR>(ExAllocatePoolWithTag(NonPagedPool, 1048, vk::PoolTag("Test")));
    sam->SmartcardRequest.BufferSize = 1048;
    sam->SmartcardReply.Buffer = static_cast<PUCHAR>(ExAllocatePoolWithTag(NonPagedPool, 1048, vk::PoolTag("Test")));
    sam->SmartcardReply.BufferSize = 1048;
    samOsData.DeviceObject = device;
    sam->OsData = &samOsData;
  }

  void TearDown() override {
    sys().Run([&] {
      if (!KeReadStateEvent(&de->SerialClosedEvent)) Vxr_CloseSerialPort(device, nullptr);
      IoDetachDevice(re->AttachedDeviceObject);
      if (samRe) {
        ExFreePool(sam->SmartcardRequest.Buffer);
        ExFreePool(sam->SmartcardReply.Buffer);
        ExFreePool(samRe);
      }
      ExFreePool(sc->SmartcardRequest.Buffer);
      ExFreePool(sc->SmartcardReply.Buffer);
      ExFreePool(re);
      IoFreeWorkItem(de->CloseWorkItem);
      IoDeleteDevice(device);
    });
    peer.reset();
    SystemTest::TearDown();
  }

  // Opens the port as the start sequence does: an IRP_MJ_CREATE of our own.
  NTSTATUS OpenPort() {
    PIRP irp = IoAllocateIrp(CCHAR(device->StackSize + 1), FALSE);
    IO_STATUS_BLOCK iosb;
    irp->UserIosb = &iosb;
    IoSetNextIrpStackLocation(irp);
    IoGetCurrentIrpStackLocation(irp)->MajorFunction = IRP_MJ_CREATE;
    NTSTATUS status = Vxr_CallLowerAndWait(re->AttachedDeviceObject, irp);
    IoFreeIrp(irp);
    if (NT_SUCCESS(status)) KeClearEvent(&de->SerialClosedEvent);
    return status;
  }

  NTSTATUS Request(ULONG code, const void* input = nullptr, ULONG inputLength = 0, void* output = nullptr,
                   ULONG outputLength = 0) {
    re->SerialIoControlCode = code;
    return Vxr_SerialIo(sc, static_cast<PUCHAR>(const_cast<void*>(input)), inputLength,
                        static_cast<PUCHAR>(output), outputLength);
  }

  vk::SerialPort* port = nullptr;
  std::unique_ptr<ScriptedPeer> peer;
  std::unique_ptr<TestDriver> driver;
  PDEVICE_OBJECT device = nullptr;
  PDEVICE_EXTENSION de = nullptr;
  PSMARTCARD_EXTENSION sc = nullptr;
  READER_EXTENSION* re = nullptr;
  PSMARTCARD_EXTENSION sam = nullptr;
  READER_EXTENSION* samRe = nullptr;
  SMARTCARD_OS_DATA cardOsData{};
  SMARTCARD_OS_DATA samOsData{};
};

}  // namespace vkt
