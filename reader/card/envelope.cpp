// The envelope around every reader callback that talks to the reader.
#include "reader/frame/vx7rd.h"

VOID Vxr_EnterCallback(PSMARTCARD_EXTENSION SmartcardExtension) {
  PSMARTCARD_EXTENSION card = Vxr_CardSlot(SmartcardExtension);
  PDEVICE_EXTENSION de = (PDEVICE_EXTENSION)SmartcardExtension->OsData->DeviceObject->DeviceExtension;
  // The two slots share one serial line and one ReaderBusy: a callback of
  // the other slot waits here until this one has left.
  Vxr_AcquireReader(de);
  card->ReaderExtension->ReaderBusy = TRUE;
}

VOID Vxr_LeaveCallback(PSMARTCARD_EXTENSION SmartcardExtension) {
  PSMARTCARD_EXTENSION card = Vxr_CardSlot(SmartcardExtension);
  PDEVICE_EXTENSION de = (PDEVICE_EXTENSION)SmartcardExtension->OsData->DeviceObject->DeviceExtension;
  Vxr_StartSerialEventTracking(card);
  card->ReaderExtension->ReaderBusy = FALSE;
  Vxr_ReleaseReader(de);
}
