// One command/response exchange with the reader: purge, write the frame
// under a 10 s backstop, collect the reply chunks under the reply time-out,
// verify, and up to three tries.
#include "reader/frame/vx7rd.h"

#define VXR_WRITE_BACKSTOP (-100000000LL)       // 10 s
#define VXR_NEXT_CHUNK_TIMEOUT (-20000000LL)    // 2 s once a reply has started
#define VXR_FIRST_BYTE_TIMEOUT (-3000000000LL)  // 300 s before a protocol is selected, T=0 and raw
#define VXR_T1_MINIMUM_MS 60000ULL              // T=1 first-byte floor: 60 s
#define VXR_TRIES 3

static READER_EXTENSION* SlotRecord(PVOID DeviceObject, BOOLEAN Sam) {
  PDEVICE_EXTENSION de = (PDEVICE_EXTENSION)((PDEVICE_OBJECT)DeviceObject)->DeviceExtension;
  return Sam ? de->SamExtension.ReaderExtension : de->SmartcardExtension.ReaderExtension;
}

VOID Vxr_WriteTimeoutDpc(PKDPC Dpc, PVOID DeferredContext, PVOID SystemArgument1, PVOID SystemArgument2) {
  READER_EXTENSION* re = SlotRecord(DeferredContext, FALSE);
  re->WriteTimeoutFired = TRUE;
  KeSetEvent(&re->SerialIoEvent, IO_NO_INCREMENT, FALSE);
}

VOID Vxr_ReadTimeoutDpc(PKDPC Dpc, PVOID DeferredContext, PVOID SystemArgument1, PVOID SystemArgument2) {
  READER_EXTENSION* re = SlotRecord(DeferredContext, FALSE);
  re->ReadTimeoutFired = TRUE;
  KeSetEvent(&re->SerialIoEvent, IO_NO_INCREMENT, FALSE);
}

VOID Vxr_SamWriteTimeoutDpc(PKDPC Dpc, PVOID DeferredContext, PVOID SystemArgument1, PVOID SystemArgument2) {
  READER_EXTENSION* re = SlotRecord(DeferredContext, TRUE);
  re->WriteTimeoutFired = TRUE;
  KeSetEvent(&re->SerialIoEvent, IO_NO_INCREMENT, FALSE);
}

VOID Vxr_SamReadTimeoutDpc(PKDPC Dpc, PVOID DeferredContext, PVOID SystemArgument1, PVOID SystemArgument2) {
  READER_EXTENSION* re = SlotRecord(DeferredContext, TRUE);
  re->ReadTimeoutFired = TRUE;
  KeSetEvent(&re->SerialIoEvent, IO_NO_INCREMENT, FALSE);
}

// Due time of the reply timer for the next wait, in 100-ns units, relative.
LONGLONG Vxr_ReplyDueTime(PSMARTCARD_EXTENSION SmartcardExtension) {
  READER_EXTENSION* re = SmartcardExtension->ReaderExtension;
  ULONGLONG t;

  if (re->ReplyStarted) return VXR_NEXT_CHUNK_TIMEOUT;
  re->ReadTimeoutFired = FALSE;
  if (SmartcardExtension->CardCapabilities.Protocol.Selected != SCARD_PROTOCOL_T1) return VXR_FIRST_BYTE_TIMEOUT;
  t = SmartcardExtension->CardCapabilities.T1.BWT / 1000;
  if (SmartcardExtension->T1.Wtx != 0) t = t * SmartcardExtension->T1.Wtx;
  if (t < VXR_T1_MINIMUM_MS) t = VXR_T1_MINIMUM_MS;
  return -(LONGLONG)(t * 10000);
}

NTSTATUS Vxr_ReadWrite(PSMARTCARD_EXTENSION SmartcardExtension) {
  READER_EXTENSION* re = SmartcardExtension->ReaderExtension;
  UCHAR chunk[VXR_CHUNK_SIZE];
  ULONG frameLength = 0;
  ULONG mask;
  ULONG events;
  SERIAL_STATUS commStatus;
  LARGE_INTEGER due;
  BOOLEAN moreWaiting = FALSE;
  NTSTATUS status;
  LONG result;

  DbgPrint("[Vxr_ReadWrite] Enter :\n");

  status = Vxr_BuildFrame(re->TransmitBuffer, VXR_BUFFER_SIZE, SmartcardExtension->SmartcardRequest.Buffer,
                          SmartcardExtension->SmartcardRequest.BufferLength, &frameLength);
  if (status != STATUS_SUCCESS || frameLength == 0) return STATUS_DEVICE_DATA_ERROR;
  Vxr_DumpBuffer("uTransmitBuffer : \n", re->TransmitBuffer, frameLength);

  mask = SERIAL_PURGE_TXCLEAR | SERIAL_PURGE_RXCLEAR;
  re->SerialIoControlCode = IOCTL_SERIAL_PURGE;
  status = Vxr_SerialIo(SmartcardExtension, (PUCHAR)&mask, sizeof(mask), NULL, 0);
  if (status != STATUS_SUCCESS) {
    DbgPrint("[Vxr_ReadWrite]Purge CommPort fail ! \n");
    return status;
  }

  mask = SERIAL_EV_TXEMPTY;
  re->SerialIoControlCode = IOCTL_SERIAL_SET_WAIT_MASK;
  Vxr_SerialIo(SmartcardExtension, (PUCHAR)&mask, sizeof(mask), NULL, 0);

  re->WriteTimeoutFired = FALSE;
  due.QuadPart = VXR_WRITE_BACKSTOP;
  KeSetTimer(&re->WriteTimer, due, &re->WriteTimerDpc);

  re->SerialIoControlCode = SERIAL_PSEUDO_WRITE;
  status = Vxr_SerialIo(SmartcardExtension, re->TransmitBuffer, frameLength, NULL, 0);
  if (status != STATUS_SUCCESS) {
    KeCancelTimer(&re->WriteTimer);
    DbgPrint("[Vxr_ReadWrite]Write data fail ! \n");
    return status;
  }
  if (re->WriteTimeoutFired) {
    KeCancelTimer(&re->WriteTimer);
    DbgPrint("[Vxr_ReadWrite]Write data Timeout! \n");
    return STATUS_IO_TIMEOUT;
  }

  re->SerialIoControlCode = IOCTL_SERIAL_WAIT_ON_MASK;
  Vxr_SerialIo(SmartcardExtension, NULL, 0, (PUCHAR)&events, sizeof(events));
  KeCancelTimer(&re->WriteTimer);

  re->ReceivedLength = 0;
  re->FrameComplete = FALSE;
  re->DlePending = FALSE;
  re->InFrame = FALSE;
  re->ReplyStarted = FALSE;
  re->ReadTimeoutFired = FALSE;
  re->ReceiveOverflow = FALSE;
  mask = SERIAL_EV_RXCHAR;
  re->SerialIoControlCode = IOCTL_SERIAL_SET_WAIT_MASK;
  status = Vxr_SerialIo(SmartcardExtension, (PUCHAR)&mask, sizeof(mask), NULL, 0);
  if (status != STATUS_SUCCESS) {
    DbgPrint("[Vxr_ReadWrite]Set wait mask fail ! \n");
    return status;
  }

  while (!re->FrameComplete) {
    ULONG waiting;

    due.QuadPart = Vxr_ReplyDueTime(SmartcardExtension);
    KeSetTimer(&re->ReadTimer, due, &re->ReadTimerDpc);

    // Bytes left over from a read that the chunk could not hold are fetched
    // at once: no character event may come for them.
    if (!moreWaiting) {
      re->SerialIoControlCode = IOCTL_SERIAL_WAIT_ON_MASK;
      status = Vxr_SerialIo(SmartcardExtension, NULL, 0, (PUCHAR)&events, sizeof(events));
      if (status != STATUS_SUCCESS) {
        KeCancelTimer(&re->ReadTimer);
        DbgPrint("[Vxr_ReadWrite]Wait on mask fail ! \n");
        return status;
      }
      if (re->ReadTimeoutFired) {
        DbgPrint("[Vxr_ReadWrite]Wait on mask TIMEOUT ! \n");
        KeCancelTimer(&re->ReadTimer);
        return STATUS_IO_TIMEOUT;
      }
    }

    re->SerialIoControlCode = IOCTL_SERIAL_GET_COMMSTATUS;
    status = Vxr_SerialIo(SmartcardExtension, NULL, 0, (PUCHAR)&commStatus, sizeof(commStatus));
    if (status != STATUS_SUCCESS) {
      DbgPrint("[Vxr_ReadWrite]Get COMM Status fail ! \n");
      KeCancelTimer(&re->ReadTimer);
      return status;
    }

    waiting = commStatus.AmountInInQueue;
    moreWaiting = waiting > VXR_CHUNK_SIZE;
    if (waiting > VXR_CHUNK_SIZE) waiting = VXR_CHUNK_SIZE;
    if (waiting > 0) {
      re->SerialIoControlCode = SERIAL_PSEUDO_READ;
      status = Vxr_SerialIo(SmartcardExtension, NULL, 0, chunk, waiting);
      KeCancelTimer(&re->ReadTimer);
      if (status != STATUS_SUCCESS) {
        DbgPrint("[Vxr_ReadWrite]Get received data fail ! \n");
        return status;
      }
      if (re->ReadTimeoutFired) {
        DbgPrint("[Vxr_ReadWrite]Read the first byte timeout! \n");
        return STATUS_IO_TIMEOUT;
      }
      Vxr_CollectReply(SmartcardExtension, chunk, waiting);
      if (re->ReceiveOverflow) {
        DbgPrint("[Vxr_ReadWrite] Reply longer than the receive buffer!\n");
        return STATUS_BUFFER_OVERFLOW;
      }
    }
  }
  KeCancelTimer(&re->ReadTimer);

  Vxr_DumpBuffer("After receive all data\n", re->ReceiveBuffer, re->ReceivedLength);
  result = Vxr_VerifyFrame(re->ReceiveBuffer, &re->ReceivedLength);
  Vxr_DumpBuffer("after verified\n", re->ReceiveBuffer, re->ReceivedLength);

  switch (result) {
    case RDD_FRAME_OK:
      RtlCopyMemory(SmartcardExtension->SmartcardReply.Buffer, re->ReceiveBuffer, re->ReceivedLength);
      SmartcardExtension->SmartcardReply.BufferLength = re->ReceivedLength;
      DbgPrint("[Vxr_ReadWrite] OK Exit!\n");
      return STATUS_SUCCESS;
    case RDDERR_NAK:
      DbgPrint("[Vxr_ReadWrite] RDDERR_NAK!\n");
      return RDDERR_NAK;
    case RDDERR_DUE:
      DbgPrint("[Vxr_ReadWrite] RDDERR_DUE!\n");
      return RDDERR_DUE;
    default:
      DbgPrint("[Vxr_ReadWrite] Invalid datablock received!\n");
      return result;
  }
}

NTSTATUS Vxr_ReaderExchange(PSMARTCARD_EXTENSION SmartcardExtension) {
  NTSTATUS status = STATUS_UNSUCCESSFUL;
  int i;
  for (i = 0; i < VXR_TRIES; i++) {
    status = Vxr_ReadWrite(SmartcardExtension);
    if (status == STATUS_SUCCESS) break;
  }
  return status;
}

VOID Vxr_AcquireReader(PDEVICE_EXTENSION DeviceExtension) {
  KeWaitForSingleObject(&DeviceExtension->ReaderLock, Executive, KernelMode, FALSE, NULL);
}

VOID Vxr_ReleaseReader(PDEVICE_EXTENSION DeviceExtension) {
  KeSetEvent(&DeviceExtension->ReaderLock, IO_NO_INCREMENT, FALSE);
}
