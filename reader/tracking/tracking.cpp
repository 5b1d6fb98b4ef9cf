// Card presence tracking: one request cycling on the serial port between a
// wait for CTS or DSR and a modem-status read. CTS tells a card in the user
// slot, DSR that the reader is there.
#include "reader/frame/vx7rd.h"

// A start that could not arm the mask: a cycle still waiting at the serial
// driver goes on as it was; with none, the mask says that no cycle runs, so
// that a stop closes the port itself instead of waiting for a cycle.
static VOID KeepEarlierCycle(READER_EXTENSION* re) {
  if (re->TrackingStaleIrp != NULL) {
    re->TrackingStaleIrp = NULL;
    re->SerialWaitMask = CARD_TRACKING_WAIT_MASK;
  } else {
    re->SerialWaitMask = 0;
  }
}

NTSTATUS Vxr_StartSerialEventTracking(PSMARTCARD_EXTENSION SmartcardExtension) {
  READER_EXTENSION* re = SmartcardExtension->ReaderExtension;
  KEVENT event;
  IO_STATUS_BLOCK ioStatus;
  NTSTATUS status;
  PIRP irp;

  DbgPrint("[Vxr_StartSerialEventTracking] Enter :\n");

  // A step of an earlier cycle still waiting at the serial driver is ended
  // by the arm request below; it is freed quietly when it comes back, so
  // that exactly one cycle runs afterwards.
  if (re->TrackingStepPending) re->TrackingStaleIrp = re->SerialStatusIrp;

  re->SerialWaitMask = CARD_TRACKING_WAIT_MASK;
  KeInitializeEvent(&event, NotificationEvent, FALSE);
  irp = IoBuildDeviceIoControlRequest(IOCTL_SERIAL_SET_WAIT_MASK, re->AttachedDeviceObject, &re->SerialWaitMask,
                                      sizeof(ULONG), NULL, 0, FALSE, &event, &ioStatus);
  if (irp == NULL) {
    DbgPrint("[Vxr_StartSerialEventTracking] SerialStatusIrp == NULL\n");
    KeepEarlierCycle(re);
    return STATUS_INSUFFICIENT_RESOURCES;
  }
  status = IofCallDriver(re->AttachedDeviceObject, irp);
  if (status == STATUS_PENDING) {
    KeWaitForSingleObject(&event, Executive, KernelMode, FALSE, NULL);
    status = ioStatus.Status;
  }
  if (status != STATUS_SUCCESS) {
    DbgPrint("[Vxr_StartSerialEventTracking] return %X \n", status);
    KeepEarlierCycle(re);
    return status;
  }
  // The ended wait wrote its zero event mask into SerialWaitMask.
  re->SerialWaitMask = CARD_TRACKING_WAIT_MASK;

  irp = IoAllocateIrp((CCHAR)(SmartcardExtension->OsData->DeviceObject->StackSize + 1), FALSE);
  if (irp == NULL) {
    re->SerialWaitMask = 0;
    return STATUS_INSUFFICIENT_RESOURCES;
  }
  re->SerialStatusIrp = irp;
  re->TrackingFailures = 0;
  // Every cycle begins with a fresh modem-status read.
  re->ModemStatusPhase = FALSE;
  Vxr_SerialEvent(SmartcardExtension->OsData->DeviceObject, irp, SmartcardExtension);

  DbgPrint("[Vxr_StartSerialEventTracking] return %X \n", 0);
  return STATUS_SUCCESS;
}

NTSTATUS Vxr_SerialEvent(PDEVICE_OBJECT DeviceObject, PIRP Irp, PVOID Context) {
  PSMARTCARD_EXTENSION sc = (PSMARTCARD_EXTENSION)Context;
  READER_EXTENSION* re = sc->ReaderExtension;
  PDEVICE_EXTENSION de = (PDEVICE_EXTENSION)sc->OsData->DeviceObject->DeviceExtension;
  BOOLEAN cardEvent = FALSE;
  PIO_STACK_LOCATION next;
  KIRQL irql;
  UNREFERENCED_PARAMETER(DeviceObject);

  DbgPrint("[Vxr_SerialEvent] Enter : \n");
  re->TrackingStepPending = FALSE;

  if (Irp == re->TrackingStaleIrp) {
    re->TrackingStaleIrp = NULL;
    IoFreeIrp(Irp);
    DbgPrint("[Vxr_SerialEvent] Freed Irp and returned!\n");
    return STATUS_MORE_PROCESSING_REQUIRED;
  }

  // A serial driver that fails every step at once would otherwise have the
  // cycle run round without end inside this completion.
  if (Irp->IoStatus.Status == STATUS_SUCCESS) {
    re->TrackingFailures = 0;
  } else if (++re->TrackingFailures >= VXR_TRACKING_FAILURE_LIMIT) {
    DbgPrint("[Vxr_SerialEvent] the serial port keeps failing, tracking stops\n");
    re->SerialWaitMask = 0;
  }

  KeAcquireSpinLock(&sc->OsData->SpinLock, &irql);
  if (re->ModemStatusPhase) {
    if (!(re->ModemStatus & SERIAL_DSR_STATE)) {
      DbgPrint("[Vxr_SerialEvent] DSR_STATE changed!\n");
      re->SerialWaitMask = 0;
    } else {
      cardEvent = TRUE;
      if (re->ModemStatus & SERIAL_CTS_STATE) {
        DbgPrint("[Vxr_SerialEvent] CTS_STATE changed to low Card Inserted\n");
        if (re->TrackedCardState <= SCARD_ABSENT) {
          sc->ReaderCapabilities.CurrentState = SCARD_SWALLOWED;
          re->TrackedCardState = SCARD_SWALLOWED;
          sc->CardCapabilities.Protocol.Selected = SCARD_PROTOCOL_UNDEFINED;
        }
      } else {
        DbgPrint("[Vxr_SerialEvent] CTS_STATE changed to high Card Removed\n");
        if (re->TrackedCardState >= SCARD_PRESENT) {
          sc->CardCapabilities.ATR.Length = 0;
          sc->ReaderCapabilities.CurrentState = SCARD_ABSENT;
          re->TrackedCardState = SCARD_ABSENT;
          sc->CardCapabilities.Protocol.Selected = SCARD_PROTOCOL_UNDEFINED;
        }
      }
    }
  }
  KeReleaseSpinLock(&sc->OsData->SpinLock, irql);

  if (!re->PowerRequest && cardEvent && !re->ReaderBusy) {
    DbgPrint("[Vxr_SerialEvent] PowerRequst == FALSE do completeTrackingWork\n");
    Vxr_CompleteCardTracking(sc);
  }

  if (re->SerialWaitMask == 0) {
    if (!re->ReaderBusy) {
      DbgPrint("[Vxr_SerialEvent] SerialWaitMask is 0 it's time to CloseSerialPort\n");
      IoQueueWorkItem(de->CloseWorkItem, Vxr_CloseSerialPort, DelayedWorkQueue, NULL);
    }
    if (re->SerialStatusIrp == Irp) re->SerialStatusIrp = NULL;
    IoFreeIrp(Irp);
    DbgPrint("[Vxr_SerialEvent] Freed Irp and returned!\n");
    return STATUS_MORE_PROCESSING_REQUIRED;
  }

  IoReuseIrp(Irp, STATUS_SUCCESS);
  next = IoGetNextIrpStackLocation(Irp);
  next->MajorFunction = IRP_MJ_DEVICE_CONTROL;
  next->MinorFunction = 0;
  next->Parameters.DeviceIoControl.OutputBufferLength = sizeof(ULONG);
  next->Parameters.DeviceIoControl.InputBufferLength = 0;
  if (!re->ModemStatusPhase) {
    next->Parameters.DeviceIoControl.IoControlCode = IOCTL_SERIAL_GET_MODEMSTATUS;
    Irp->AssociatedIrp.SystemBuffer = &re->ModemStatus;
    re->ModemStatusPhase = TRUE;
  } else {
    next->Parameters.DeviceIoControl.IoControlCode = IOCTL_SERIAL_WAIT_ON_MASK;
    Irp->AssociatedIrp.SystemBuffer = &re->SerialWaitMask;
    re->ModemStatusPhase = FALSE;
  }
  IoSetCompletionRoutine(Irp, Vxr_SerialEvent, sc, TRUE, TRUE, TRUE);
  re->TrackingStepPending = TRUE;
  IofCallDriver(re->AttachedDeviceObject, Irp);
  DbgPrint("[Vxr_SerialEvent] Exit !\n");
  return STATUS_MORE_PROCESSING_REQUIRED;
}

VOID Vxr_CompleteCardTracking(PSMARTCARD_EXTENSION SmartcardExtension) {
  KIRQL cancelIrql;
  KIRQL irql;
  PIRP irp;

  DbgPrint("[Vxr_CompleteCardTracking] Enter !\n");
  IoAcquireCancelSpinLock(&cancelIrql);
  KeAcquireSpinLock(&SmartcardExtension->OsData->SpinLock, &irql);
  irp = SmartcardExtension->OsData->NotificationIrp;
  SmartcardExtension->OsData->NotificationIrp = NULL;
  KeReleaseSpinLock(&SmartcardExtension->OsData->SpinLock, irql);
  if (irp != NULL) IoSetCancelRoutine(irp, NULL);
  IoReleaseCancelSpinLock(cancelIrql);

  if (irp != NULL) {
    irp->IoStatus.Status = irp->Cancel ? STATUS_CANCELLED : STATUS_SUCCESS;
    irp->IoStatus.Information = 0;
    IoCompleteRequest(irp, IO_NO_INCREMENT);
  }
  DbgPrint("[Vxr_CompleteCardTracking] Exit !\n");
}

NTSTATUS Vxr_CardTracking(PSMARTCARD_EXTENSION SmartcardExtension) {
  KIRQL cancelIrql;
  KIRQL irql;
  PIRP irp;
  BOOLEAN cancelled = FALSE;

  IoAcquireCancelSpinLock(&cancelIrql);
  KeAcquireSpinLock(&SmartcardExtension->OsData->SpinLock, &irql);
  irp = SmartcardExtension->OsData->NotificationIrp;
  if (irp != NULL) {
    IoSetCancelRoutine(irp, Vxr_CancelCardTracking);
    // Cancelled before the routine was in place: nobody would call it.
    if (irp->Cancel) cancelled = TRUE;
  }
  KeReleaseSpinLock(&SmartcardExtension->OsData->SpinLock, irql);
  IoReleaseCancelSpinLock(cancelIrql);

  if (cancelled) Vxr_CompleteCardTracking(SmartcardExtension);
  return STATUS_PENDING;
}

VOID Vxr_CancelCardTracking(PDEVICE_OBJECT DeviceObject, PIRP Irp) {
  PDEVICE_EXTENSION de = (PDEVICE_EXTENSION)DeviceObject->DeviceExtension;
  IoReleaseCancelSpinLock(Irp->CancelIrql);
  if (de->SmartcardExtension.OsData && de->SmartcardExtension.OsData->NotificationIrp == Irp)
    Vxr_CompleteCardTracking(&de->SmartcardExtension);
  else if (de->SamExtension.OsData && de->SamExtension.OsData->NotificationIrp == Irp)
    Vxr_CompleteCardTracking(&de->SamExtension);
}
