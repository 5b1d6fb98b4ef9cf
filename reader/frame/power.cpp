// Power: the driver is its device's power policy owner.
#include "reader/frame/vx7rd.h"

// After a sleep the card may have lost power or been reset with the reader:
// a card that was powered is left for the application to reset, rather
// than carrying on a session it may no longer have.
static VOID ForgetPoweredCard(PSMARTCARD_EXTENSION sc) {
  KIRQL irql;
  if (sc->OsData == NULL) return;
  KeAcquireSpinLock(&sc->OsData->SpinLock, &irql);
  if (sc->ReaderCapabilities.CurrentState > SCARD_SWALLOWED) {
    sc->ReaderCapabilities.CurrentState = SCARD_SWALLOWED;
    sc->CardCapabilities.Protocol.Selected = SCARD_PROTOCOL_UNDEFINED;
  }
  KeReleaseSpinLock(&sc->OsData->SpinLock, irql);
}

NTSTATUS Vxr_DevicePowerCompletion(PDEVICE_OBJECT DeviceObject, PIRP Irp, PVOID Context) {
  PSMARTCARD_EXTENSION sc = (PSMARTCARD_EXTENSION)Context;
  PDEVICE_EXTENSION de = (PDEVICE_EXTENSION)DeviceObject->DeviceExtension;
  READER_EXTENSION* re = sc->ReaderExtension;
  POWER_STATE state;

  re->PowerRequest = FALSE;
  ForgetPoweredCard(&de->SmartcardExtension);
  ForgetPoweredCard(&de->SamExtension);
  if (re->CardPresent || sc->ReaderCapabilities.CurrentState > SCARD_ABSENT) Vxr_CompleteCardTracking(sc);
  re->ReaderPowerState = ReaderPowerWorking;
  SmartcardReleaseRemoveLock(sc);
  state.DeviceState = PowerDeviceD0;
  PoSetPowerState(DeviceObject, DevicePowerState, state);
  PoStartNextPowerIrp(Irp);
  de->GateClosedForSleep = FALSE;
  KeSetEvent(&de->ReadyEvent, IO_NO_INCREMENT, FALSE);
  return STATUS_SUCCESS;
}

VOID Vxr_SystemPowerCompletion(PDEVICE_OBJECT DeviceObject, UCHAR MinorFunction, POWER_STATE PowerState,
                               PVOID Context, PIO_STATUS_BLOCK IoStatus) {
  PIRP systemIrp = (PIRP)Context;
  PDEVICE_EXTENSION de = (PDEVICE_EXTENSION)DeviceObject->DeviceExtension;
  UNREFERENCED_PARAMETER(MinorFunction);

  systemIrp->IoStatus.Information = 0;
  systemIrp->IoStatus.Status = IoStatus->Status;
  SmartcardReleaseRemoveLock(&de->SmartcardExtension);
  if (PowerState.DeviceState == PowerDeviceD0) {
    POWER_STATE working;
    working.SystemState = PowerSystemWorking;
    PoSetPowerState(DeviceObject, SystemPowerState, working);
  }
  PoStartNextPowerIrp(systemIrp);
  IoCompleteRequest(systemIrp, IO_NO_INCREMENT);
}

NTSTATUS Vxr_Power(PDEVICE_OBJECT DeviceObject, PIRP Irp) {
  PDEVICE_EXTENSION de = (PDEVICE_EXTENSION)DeviceObject->DeviceExtension;
  PSMARTCARD_EXTENSION sc = &de->SmartcardExtension;
  READER_EXTENSION* re = sc->ReaderExtension;
  PIO_STACK_LOCATION stack = IoGetCurrentIrpStackLocation(Irp);
  enum { PassDown, PassDownWithCompletion, Complete, RequestDevicePower } action = PassDown;
  POWER_STATE deviceState;
  NTSTATUS status;
  KIRQL irql;

  status = SmartcardAcquireRemoveLock(sc);
  if (!NT_SUCCESS(status)) {
    PoStartNextPowerIrp(Irp);
    Irp->IoStatus.Status = status;
    IoCompleteRequest(Irp, IO_NO_INCREMENT);
    return status;
  }
  status = STATUS_SUCCESS;
  deviceState.DeviceState = PowerDeviceUnspecified;

  if (stack->Parameters.Power.Type == DevicePowerState) {
    if (stack->MinorFunction == IRP_MN_SET_POWER && stack->Parameters.Power.State.DeviceState == PowerDeviceD0) {
      IoCopyCurrentIrpStackLocationToNext(Irp);
      IoSetCompletionRoutine(Irp, Vxr_DevicePowerCompletion, sc, TRUE, TRUE, TRUE);
      action = PassDownWithCompletion;
    } else if (stack->MinorFunction == IRP_MN_SET_POWER &&
               stack->Parameters.Power.State.DeviceState == PowerDeviceD3) {
      POWER_STATE d3;
      d3.DeviceState = PowerDeviceD3;
      PoSetPowerState(DeviceObject, DevicePowerState, d3);
      re->CardPresent = sc->ReaderCapabilities.CurrentState > SCARD_ABSENT;
      re->PowerRequest = TRUE;
      re->ReaderPowerState = ReaderPowerOff;
    }
  } else if (stack->MinorFunction == IRP_MN_QUERY_POWER) {
    SYSTEM_POWER_STATE target = stack->Parameters.Power.State.SystemState;
    action = Complete;
    if (target == PowerSystemSleeping3 || target == PowerSystemHibernate || target == PowerSystemShutdown) {
      KeAcquireSpinLock(&de->SpinLock, &irql);
      if (de->IoCount == 0) {
        KeClearEvent(&de->ReadyEvent);
        de->GateClosedForSleep = TRUE;
      } else {
        status = STATUS_DEVICE_BUSY;
      }
      KeReleaseSpinLock(&de->SpinLock, irql);
    }
  } else if (stack->MinorFunction == IRP_MN_SET_POWER) {
    SYSTEM_POWER_STATE target = stack->Parameters.Power.State.SystemState;
    if (target == PowerSystemWorking || target == PowerSystemSleeping1 || target == PowerSystemSleeping2 ||
        target == PowerSystemMaximum) {
      if (re->ReaderPowerState == ReaderPowerWorking) {
        action = Complete;
        // A sleep query closed the gate and no sleep followed: open it again.
        if (de->GateClosedForSleep) {
          de->GateClosedForSleep = FALSE;
          KeSetEvent(&de->ReadyEvent, IO_NO_INCREMENT, FALSE);
        }
      } else {
        deviceState.DeviceState = PowerDeviceD0;
        action = RequestDevicePower;
      }
    } else if (target == PowerSystemSleeping3 || target == PowerSystemHibernate || target == PowerSystemShutdown) {
      if (re->ReaderPowerState == ReaderPowerOff) {
        action = Complete;
      } else {
        POWER_STATE sleeping;
        sleeping.SystemState = (SYSTEM_POWER_STATE)4;
        PoSetPowerState(DeviceObject, SystemPowerState, sleeping);
        deviceState.DeviceState = PowerDeviceD3;
        action = RequestDevicePower;
      }
    } else {
      action = Complete;
    }
  }

  switch (action) {
    case PassDown:
      SmartcardReleaseRemoveLock(sc);
      PoStartNextPowerIrp(Irp);
      IoSkipCurrentIrpStackLocation(Irp);
      return PoCallDriver(re->AttachedDeviceObject, Irp);
    case PassDownWithCompletion:
      return PoCallDriver(re->AttachedDeviceObject, Irp);
    case Complete:
      Irp->IoStatus.Information = 0;
      Irp->IoStatus.Status = status;
      SmartcardReleaseRemoveLock(sc);
      PoStartNextPowerIrp(Irp);
      IoCompleteRequest(Irp, IO_NO_INCREMENT);
      return status;
    default:
      IoMarkIrpPending(Irp);
      Irp->IoStatus.Status = STATUS_PENDING;
      status = PoRequestPowerIrp(DeviceObject, IRP_MN_SET_POWER, deviceState, Vxr_SystemPowerCompletion, Irp, NULL);
      if (!NT_SUCCESS(status)) {
        // No device request will come back to finish the system request.
        Irp->IoStatus.Status = status;
        Irp->IoStatus.Information = 0;
        SmartcardReleaseRemoveLock(sc);
        PoStartNextPowerIrp(Irp);
        IoCompleteRequest(Irp, IO_NO_INCREMENT);
      }
      return STATUS_PENDING;
  }
}
