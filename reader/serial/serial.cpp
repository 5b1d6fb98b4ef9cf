// Serial port control: every request the driver sends to the serial port
// driver below it outside card tracking.
#include "reader/frame/vx7rd.h"

#define VXR_CONFIGURE_SETTLE_TIME (-30000000LL)  // 3 s after the port is configured
#define VXR_RATE_SETTLE_TIME (-15000000LL)       // 1.5 s after a rate change

// Completion of a request sent by Vxr_SerialIo: notes that the serial driver
// is done with it and hands it back, so that Vxr_SerialIo decides when the
// I/O manager may finish and free it.
static NTSTATUS Vxr_SerialIoComplete(PDEVICE_OBJECT DeviceObject, PIRP Irp, PVOID Context) {
  READER_EXTENSION* readerExtension = (READER_EXTENSION*)Context;
  UNREFERENCED_PARAMETER(DeviceObject);
  UNREFERENCED_PARAMETER(Irp);
  readerExtension->SerialIoDone = TRUE;
  KeSetEvent(&readerExtension->SerialIoEvent, IO_NO_INCREMENT, FALSE);
  return STATUS_MORE_PROCESSING_REQUIRED;
}

NTSTATUS Vxr_SerialIo(PSMARTCARD_EXTENSION SmartcardExtension, PUCHAR InputBuffer, ULONG InputLength,
                      PUCHAR OutputBuffer, ULONG OutputLength) {
  READER_EXTENSION* readerExtension = SmartcardExtension->ReaderExtension;
  ULONG code = readerExtension->SerialIoControlCode;
  ULONG guardTime = SmartcardExtension->CardCapabilities.GT;
  ULONG index = 0;
  NTSTATUS status = STATUS_SUCCESS;

  if (InputLength > VXR_BUFFER_SIZE || OutputLength > VXR_BUFFER_SIZE) return STATUS_BUFFER_TOO_SMALL;

  for (;;) {
    PVOID input;
    ULONG inputLength;
    PVOID output;
    ULONG outputLength;
    BOOLEAN timedOut = FALSE;
    PIRP irp;

    KeInitializeEvent(&readerExtension->SerialIoEvent, NotificationEvent, FALSE);

    if (code == SERIAL_PSEUDO_WRITE) {
      // Under a guard time the frame goes out one byte per request.
      input = InputBuffer + index;
      if (guardTime != 0)
        inputLength = InputLength > index ? 1 : 0;
      else
        inputLength = InputLength;
      index += 1;
      output = NULL;
      outputLength = 0;
    } else {
      input = InputLength ? InputBuffer : NULL;
      inputLength = InputLength;
      output = OutputBuffer;
      outputLength = OutputLength;
    }

    irp = IoBuildDeviceIoControlRequest(code, readerExtension->AttachedDeviceObject, input, inputLength, output,
                                        outputLength, FALSE, &readerExtension->SerialIoEvent,
                                        &readerExtension->SerialIoStatus);
    if (irp == NULL) return STATUS_INSUFFICIENT_RESOURCES;

    if (code == SERIAL_PSEUDO_READ || code == SERIAL_PSEUDO_WRITE) {
      PIO_STACK_LOCATION next = IoGetNextIrpStackLocation(irp);
      if (code == SERIAL_PSEUDO_READ) {
        next->MajorFunction = IRP_MJ_READ;
        next->Parameters.Read.Length = outputLength;
        next->Parameters.Read.ByteOffset.QuadPart = 0;
      } else {
        next->MajorFunction = IRP_MJ_WRITE;
        next->Parameters.Write.Length = inputLength;
        next->Parameters.Write.ByteOffset.QuadPart = 0;
      }
    }

    readerExtension->SerialIoIrp = irp;
    readerExtension->SerialIoDone = FALSE;
    IoSetCompletionRoutine(irp, Vxr_SerialIoComplete, readerExtension, TRUE, TRUE, TRUE);

    status = IofCallDriver(readerExtension->AttachedDeviceObject, irp);
    if (status == STATUS_PENDING) {
      KeWaitForSingleObject(&readerExtension->SerialIoEvent, Suspended, KernelMode, FALSE, NULL);
      if (!readerExtension->SerialIoDone) {
        // A time-out DPC ended the wait while the request is still at the
        // serial driver: cancel it and wait until it has come back, so that
        // its completion cannot reach a later request.
        timedOut = TRUE;
        IoCancelIrp(irp);
        while (!readerExtension->SerialIoDone) {
          KeClearEvent(&readerExtension->SerialIoEvent);
          if (!readerExtension->SerialIoDone)
            KeWaitForSingleObject(&readerExtension->SerialIoEvent, Suspended, KernelMode, FALSE, NULL);
        }
        // The caller learns of the time-out from its own flag.
        status = STATUS_SUCCESS;
      } else {
        status = irp->IoStatus.Status;
      }
    }

    // Let the I/O manager finish the request: it copies read data to the
    // output buffer, fills the status block and frees the request.
    readerExtension->SerialIoIrp = NULL;
    IofCompleteRequest(irp, IO_NO_INCREMENT);

    if (code == SERIAL_PSEUDO_WRITE && guardTime != 0 && index < InputLength) {
      if (timedOut) break;
      KeStallExecutionProcessor(guardTime);
      continue;
    }
    break;
  }
  return status;
}

NTSTATUS Vxr_ConfigureSerialPort(PSMARTCARD_EXTENSION SmartcardExtension) {
  READER_EXTENSION* readerExtension = SmartcardExtension->ReaderExtension;
  LARGE_INTEGER delay;
  NTSTATUS status;
  struct {
    ULONG Code;
    PVOID Input;
    ULONG Length;
  } steps[] = {
      {IOCTL_SERIAL_SET_BAUD_RATE, &readerExtension->SerialBaudRate, sizeof(SERIAL_BAUD_RATE)},
      {IOCTL_SERIAL_SET_LINE_CONTROL, &readerExtension->SerialLineControl, sizeof(SERIAL_LINE_CONTROL)},
      {IOCTL_SERIAL_SET_CHARS, &readerExtension->SerialChars, sizeof(SERIAL_CHARS)},
      {IOCTL_SERIAL_SET_TIMEOUTS, &readerExtension->SerialTimeouts, sizeof(SERIAL_TIMEOUTS)},
      {IOCTL_SERIAL_SET_HANDFLOW, &readerExtension->SerialHandFlow, sizeof(SERIAL_HANDFLOW)},
      {IOCTL_SERIAL_SET_BREAK_OFF, NULL, 0},
      {IOCTL_SERIAL_SET_DTR, NULL, 0},
      {IOCTL_SERIAL_SET_RTS, NULL, 0},
  };
  ULONG i;

  for (i = 0; i < sizeof(steps) / sizeof(steps[0]); i++) {
    readerExtension->SerialIoControlCode = steps[i].Code;
    status = Vxr_SerialIo(SmartcardExtension, (PUCHAR)steps[i].Input, steps[i].Length, NULL, 0);
    if (status != STATUS_SUCCESS) return status;
  }

  delay.QuadPart = VXR_CONFIGURE_SETTLE_TIME;
  KeDelayExecutionThread(KernelMode, FALSE, &delay);
  return STATUS_SUCCESS;
}

NTSTATUS Vxr_SetPortBaudRate(ULONG BaudRate, PSMARTCARD_EXTENSION SmartcardExtension) {
  READER_EXTENSION* readerExtension = SmartcardExtension->ReaderExtension;
  SERIAL_BAUD_RATE rate;
  LARGE_INTEGER delay;
  NTSTATUS status;

  rate.BaudRate = BaudRate;
  readerExtension->SerialIoControlCode = IOCTL_SERIAL_SET_BAUD_RATE;
  status = Vxr_SerialIo(SmartcardExtension, (PUCHAR)&rate, sizeof(rate), NULL, 0);
  if (!NT_SUCCESS(status)) return status;

  readerExtension->SerialIoControlCode = IOCTL_SERIAL_CLR_DTR;
  status = Vxr_SerialIo(SmartcardExtension, NULL, 0, NULL, 0);
  if (!NT_SUCCESS(status)) return status;

  readerExtension->SerialIoControlCode = IOCTL_SERIAL_SET_DTR;
  status = Vxr_SerialIo(SmartcardExtension, NULL, 0, NULL, 0);
  if (!NT_SUCCESS(status)) return status;

  delay.QuadPart = VXR_RATE_SETTLE_TIME;
  KeDelayExecutionThread(KernelMode, FALSE, &delay);
  return STATUS_SUCCESS;
}

NTSTATUS Vxr_CallLowerComplete(PDEVICE_OBJECT DeviceObject, PIRP Irp, PVOID Context) {
  UNREFERENCED_PARAMETER(DeviceObject);
  if (Irp->Cancel) Irp->IoStatus.Status = STATUS_CANCELLED;
  KeSetEvent((PKEVENT)Context, IO_NO_INCREMENT, FALSE);
  return STATUS_MORE_PROCESSING_REQUIRED;
}

NTSTATUS Vxr_CallLowerAndWait(PDEVICE_OBJECT LowerDeviceObject, PIRP Irp) {
  KEVENT event;
  NTSTATUS status;

  IoCopyCurrentIrpStackLocationToNext(Irp);
  KeInitializeEvent(&event, NotificationEvent, FALSE);
  IoSetCompletionRoutine(Irp, Vxr_CallLowerComplete, &event, TRUE, TRUE, TRUE);

  if (IoGetCurrentIrpStackLocation(Irp)->MajorFunction == IRP_MJ_POWER)
    status = PoCallDriver(LowerDeviceObject, Irp);
  else
    status = IofCallDriver(LowerDeviceObject, Irp);

  if (status == STATUS_PENDING) {
    KeWaitForSingleObject(&event, Executive, KernelMode, FALSE, NULL);
    status = Irp->IoStatus.Status;
  }
  return status;
}

VOID Vxr_CloseSerialPort(PDEVICE_OBJECT DeviceObject, PVOID Context) {
  PDEVICE_EXTENSION deviceExtension = (PDEVICE_EXTENSION)DeviceObject->DeviceExtension;
  READER_EXTENSION* readerExtension = deviceExtension->SmartcardExtension.ReaderExtension;
  IO_STATUS_BLOCK ioStatus;
  PIRP irp;
  UNREFERENCED_PARAMETER(Context);

  IoSetDeviceInterfaceState(&deviceExtension->ReaderInterfaceName, FALSE);
  DbgPrint("444444444444444444444444\n");
  IoSetDeviceInterfaceState(&deviceExtension->VendorInterfaceName, FALSE);

  irp = IoAllocateIrp((CCHAR)(DeviceObject->StackSize + 1), FALSE);
  if (irp != NULL) {
    PIO_STACK_LOCATION stack;
    irp->UserIosb = &ioStatus;
    IoSetNextIrpStackLocation(irp);
    stack = IoGetCurrentIrpStackLocation(irp);
    stack->MajorFunction = IRP_MJ_CLOSE;
    Vxr_CallLowerAndWait(readerExtension->AttachedDeviceObject, irp);
    IoFreeIrp(irp);
  }

  KeSetEvent(&deviceExtension->SerialClosedEvent, IO_NO_INCREMENT, FALSE);
}

VOID VxrStopDevice(PDEVICE_OBJECT DeviceObject) {
  PDEVICE_EXTENSION deviceExtension = (PDEVICE_EXTENSION)DeviceObject->DeviceExtension;
  PSMARTCARD_EXTENSION smartcardExtension = &deviceExtension->SmartcardExtension;
  READER_EXTENSION* readerExtension = smartcardExtension->ReaderExtension;

  if (KeReadStateEvent(&deviceExtension->SerialClosedEvent)) return;

  if (readerExtension->SerialWaitMask == 0) {
    DbgPrint("[VxrStopDevice] Close serial port");
    Vxr_CloseSerialPort(DeviceObject, NULL);
    return;
  }

  // Card tracking is armed: a zero wait mask ends its wait, and its
  // completion has the port closed on the delayed work queue.
  readerExtension->SerialWaitMask = 0;
  *(PULONG)smartcardExtension->SmartcardRequest.Buffer = 0;
  smartcardExtension->SmartcardRequest.BufferLength = sizeof(ULONG);
  smartcardExtension->SmartcardReply.BufferLength = 0;
  readerExtension->SerialIoControlCode = IOCTL_SERIAL_SET_WAIT_MASK;
  Vxr_SerialIo(smartcardExtension, smartcardExtension->SmartcardRequest.Buffer, sizeof(ULONG),
               smartcardExtension->SmartcardReply.Buffer, 0);
  KeWaitForSingleObject(&deviceExtension->SerialClosedEvent, Executive, KernelMode, FALSE, NULL);
}
