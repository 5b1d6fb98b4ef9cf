// The smart card driver library: per-slot record, reader function table and
// the calls a reader driver imports.
//
// The reader driver keeps one SMARTCARD_EXTENSION per slot. The library turns
// the standard smart card I/O controls into calls of the driver's reader
// functions and builds and parses T=0, T=1 and raw protocol data.
#pragma once

#include "platform/nt.h"

#ifdef __cplusplus
extern "C" {
#endif

#define SMCLIB_VERSION 0x150

#define MAXIMUM_ATTR_STRING_LENGTH 32
#define MAXIMUM_ATR_LENGTH 64
#define MAXIMUM_HISTORICAL_LENGTH 16

// ------------------------------------------------------------ I/O controls
#define SCARD_CTL_CODE(code) CTL_CODE(FILE_DEVICE_SMARTCARD, (code), METHOD_BUFFERED, FILE_ANY_ACCESS)

#define IOCTL_SMARTCARD_POWER SCARD_CTL_CODE(1)
#define IOCTL_SMARTCARD_GET_ATTRIBUTE SCARD_CTL_CODE(2)
#define IOCTL_SMARTCARD_SET_ATTRIBUTE SCARD_CTL_CODE(3)
#define IOCTL_SMARTCARD_CONFISCATE SCARD_CTL_CODE(4)
#define IOCTL_SMARTCARD_TRANSMIT SCARD_CTL_CODE(5)
#define IOCTL_SMARTCARD_EJECT SCARD_CTL_CODE(6)
#define IOCTL_SMARTCARD_SWALLOW SCARD_CTL_CODE(7)
#define IOCTL_SMARTCARD_IS_PRESENT SCARD_CTL_CODE(10)
#define IOCTL_SMARTCARD_IS_ABSENT SCARD_CTL_CODE(11)
#define IOCTL_SMARTCARD_SET_PROTOCOL SCARD_CTL_CODE(12)
#define IOCTL_SMARTCARD_GET_STATE SCARD_CTL_CODE(14)
#define IOCTL_SMARTCARD_GET_LAST_ERROR SCARD_CTL_CODE(15)

// ------------------------------------------------------------ card states
#define SCARD_UNKNOWN 0
#define SCARD_ABSENT 1
#define SCARD_PRESENT 2
#define SCARD_SWALLOWED 3
#define SCARD_POWERED 4
#define SCARD_NEGOTIABLE 5
#define SCARD_SPECIFIC 6

// ------------------------------------------------------------ protocols
#define SCARD_PROTOCOL_UNDEFINED 0x00000000
#define SCARD_PROTOCOL_T0 0x00000001
#define SCARD_PROTOCOL_T1 0x00000002
#define SCARD_PROTOCOL_RAW 0x00010000
#define SCARD_PROTOCOL_DEFAULT 0x80000000
#define SCARD_PROTOCOL_OPTIMAL 0x00000000

// ------------------------------------------------------------ power actions
#define SCARD_POWER_DOWN 0
#define SCARD_COLD_RESET 1
#define SCARD_WARM_RESET 2

#define SCARD_READER_TYPE_SERIAL 0x01

// ------------------------------------------------------------ attributes
#define SCARD_CLASS_VENDOR_INFO 1
#define SCARD_CLASS_COMMUNICATIONS 2
#define SCARD_CLASS_PROTOCOL 3
#define SCARD_CLASS_POWER_MGMT 4
#define SCARD_CLASS_SECURITY 5
#define SCARD_CLASS_MECHANICAL 6
#define SCARD_CLASS_VENDOR_DEFINED 7
#define SCARD_CLASS_IFD_PROTOCOL 8
#define SCARD_CLASS_ICC_STATE 9
#define SCARD_CLASS_SYSTEM 0x7fff
#define SCARD_ATTR_VALUE(Class, Tag) ((((ULONG)(Class)) << 16) | ((ULONG)(Tag)))

#define SCARD_ATTR_VENDOR_NAME SCARD_ATTR_VALUE(SCARD_CLASS_VENDOR_INFO, 0x0100)
#define SCARD_ATTR_VENDOR_IFD_TYPE SCARD_ATTR_VALUE(SCARD_CLASS_VENDOR_INFO, 0x0101)
#define SCARD_ATTR_VENDOR_IFD_VERSION SCARD_ATTR_VALUE(SCARD_CLASS_VENDOR_INFO, 0x0102)
#define SCARD_ATTR_VENDOR_IFD_SERIAL_NO SCARD_ATTR_VALUE(SCARD_CLASS_VENDOR_INFO, 0x0103)
#define SCARD_ATTR_CHANNEL_ID SCARD_ATTR_VALUE(SCARD_CLASS_COMMUNICATIONS, 0x0110)
#define SCARD_ATTR_PROTOCOL_TYPES SCARD_ATTR_VALUE(SCARD_CLASS_PROTOCOL, 0x0120)
#define SCARD_ATTR_DEFAULT_CLK SCARD_ATTR_VALUE(SCARD_CLASS_PROTOCOL, 0x0121)
#define SCARD_ATTR_MAX_CLK SCARD_ATTR_VALUE(SCARD_CLASS_PROTOCOL, 0x0122)
#define SCARD_ATTR_DEFAULT_DATA_RATE SCARD_ATTR_VALUE(SCARD_CLASS_PROTOCOL, 0x0123)
#define SCARD_ATTR_MAX_DATA_RATE SCARD_ATTR_VALUE(SCARD_CLASS_PROTOCOL, 0x0124)
#define SCARD_ATTR_MAX_IFSD SCARD_ATTR_VALUE(SCARD_CLASS_PROTOCOL, 0x0125)
#define SCARD_ATTR_POWER_MGMT_SUPPORT SCARD_ATTR_VALUE(SCARD_CLASS_POWER_MGMT, 0x0131)
#define SCARD_ATTR_CHARACTERISTICS SCARD_ATTR_VALUE(SCARD_CLASS_MECHANICAL, 0x0150)
#define SCARD_ATTR_CURRENT_PROTOCOL_TYPE SCARD_ATTR_VALUE(SCARD_CLASS_IFD_PROTOCOL, 0x0201)
#define SCARD_ATTR_CURRENT_CLK SCARD_ATTR_VALUE(SCARD_CLASS_IFD_PROTOCOL, 0x0202)
#define SCARD_ATTR_CURRENT_F SCARD_ATTR_VALUE(SCARD_CLASS_IFD_PROTOCOL, 0x0203)
#define SCARD_ATTR_CURRENT_D SCARD_ATTR_VALUE(SCARD_CLASS_IFD_PROTOCOL, 0x0204)
#define SCARD_ATTR_CURRENT_N SCARD_ATTR_VALUE(SCARD_CLASS_IFD_PROTOCOL, 0x0205)
#define SCARD_ATTR_CURRENT_W SCARD_ATTR_VALUE(SCARD_CLASS_IFD_PROTOCOL, 0x0206)
#define SCARD_ATTR_CURRENT_IFSC SCARD_ATTR_VALUE(SCARD_CLASS_IFD_PROTOCOL, 0x0207)
#define SCARD_ATTR_CURRENT_IFSD SCARD_ATTR_VALUE(SCARD_CLASS_IFD_PROTOCOL, 0x0208)
#define SCARD_ATTR_CURRENT_BWT SCARD_ATTR_VALUE(SCARD_CLASS_IFD_PROTOCOL, 0x0209)
#define SCARD_ATTR_CURRENT_CWT SCARD_ATTR_VALUE(SCARD_CLASS_IFD_PROTOCOL, 0x020a)
#define SCARD_ATTR_CURRENT_EBC_ENCODING SCARD_ATTR_VALUE(SCARD_CLASS_IFD_PROTOCOL, 0x020b)
#define SCARD_ATTR_ICC_PRESENCE SCARD_ATTR_VALUE(SCARD_CLASS_ICC_STATE, 0x0300)
#define SCARD_ATTR_ICC_INTERFACE_STATUS SCARD_ATTR_VALUE(SCARD_CLASS_ICC_STATE, 0x0301)
#define SCARD_ATTR_CURRENT_IO_STATE SCARD_ATTR_VALUE(SCARD_CLASS_ICC_STATE, 0x0302)
#define SCARD_ATTR_ATR_STRING SCARD_ATTR_VALUE(SCARD_CLASS_ICC_STATE, 0x0303)
#define SCARD_ATTR_ICC_TYPE_PER_ATR SCARD_ATTR_VALUE(SCARD_CLASS_ICC_STATE, 0x0304)
#define SCARD_ATTR_DEVICE_UNIT SCARD_ATTR_VALUE(SCARD_CLASS_SYSTEM, 0x0001)
#define SCARD_ATTR_DEVICE_IN_USE SCARD_ATTR_VALUE(SCARD_CLASS_SYSTEM, 0x0002)

// ------------------------------------------------------------ transmission
// Header in front of the command of IOCTL_SMARTCARD_TRANSMIT (and of its reply).
typedef struct _SCARD_IO_REQUEST {
  ULONG dwProtocol;
  ULONG cbPciLength;  // this header plus any protocol information behind it
} SCARD_IO_REQUEST, *PSCARD_IO_REQUEST;

// T=1 protocol states of the library's block engine.
#define T1_INIT 0
#define T1_START 1
#define T1_I_BLOCK 2
#define T1_R_BLOCK 3
#define T1_RESTART 4
#define T1_RESYNCH_REQUEST 0xC0
#define T1_IFS_REQUEST 0xC1
#define T1_IFS_RESPONSE 0xE1
#define T1_ABORT_RESPONSE 0xE2
#define T1_WTX_RESPONSE 0xE3

// ------------------------------------------------------------ reader functions
#define RDF_CARD_POWER 0
#define RDF_TRANSMIT 1
#define RDF_CARD_EJECT 2
#define RDF_READER_SWALLOW 3
#define RDF_CARD_TRACKING 4
#define RDF_SET_PROTOCOL 5
#define RDF_DEBUG_LEVEL 6
#define RDF_CARD_CONFISCATE 7
#define RDF_IOCTL_VENDOR 8
#define RDF_ATR_PARSE 9
#define MAXIMUM_SMARTCARD_READER_FUNCTIONS 10

struct _SMARTCARD_EXTENSION;
struct _READER_EXTENSION;
typedef struct _READER_EXTENSION* PREADER_EXTENSION;
typedef NTSTATUS (*PRDF_ROUTINE)(struct _SMARTCARD_EXTENSION* SmartcardExtension);

typedef struct _SMARTCARD_BUFFER {
  PUCHAR Buffer;
  ULONG BufferSize;    // bytes the buffer holds
  ULONG BufferLength;  // bytes in use
} SMARTCARD_REQUEST, SMARTCARD_REPLY, *PSMARTCARD_REQUEST, *PSMARTCARD_REPLY;

typedef struct _ATTR_STRING {
  USHORT Length;  // without the terminating zero
  UCHAR Buffer[MAXIMUM_ATTR_STRING_LENGTH];
} ATTR_STRING;

typedef struct _VENDOR_ATTR {
  ATTR_STRING VendorName;
  ATTR_STRING IfdType;
  ULONG UnitNo;
  union {
    struct {
      USHORT BuildNumber;
      UCHAR VersionMinor;
      UCHAR VersionMajor;
    } u;
    ULONG Value;
  } IfdVersion;
  ATTR_STRING IfdSerialNo;
  ULONG Reserved[25];
} VENDOR_ATTR, *PVENDOR_ATTR;

typedef struct _SCARD_READER_CAPABILITIES {
  ULONG SupportedProtocols;
  ULONG Reserved;
  ULONG ReaderType;
  ULONG MechProperties;
  ULONG CurrentState;
  ULONG Channel;  // the serial port number of a serial reader
  struct {
    ULONG Default;  // kHz
    ULONG Max;
  } CLKFrequency;
  struct {
    ULONG Default;  // bit/s
    ULONG Max;
  } DataRate;
  ULONG MaxIFSD;
  ULONG PowerMgmtSupport;
  ULONG CardConfiscated;
  struct {
    PULONG List;
    UCHAR Entries;
  } DataRatesSupported;
  struct {
    PULONG List;
    UCHAR Entries;
  } CLKFrequenciesSupported;
  UCHAR Reserved1[16];
} SCARD_READER_CAPABILITIES, *PSCARD_READER_CAPABILITIES;

#define PTS_TYPE_DEFAULT 0x00
#define PTS_TYPE_OPTIMAL 0x01
#define PTS_TYPE_USER 0x02

typedef struct _PTS_DATA {
  UCHAR Type;
  UCHAR Fl;  // clock rate conversion index for the PTS
  UCHAR Dl;  // bit rate adjustment index for the PTS
  ULONG CLKFrequency;  // kHz
  ULONG DataRate;      // bit/s
  UCHAR StopBits;
} PTS_DATA, *PPTS_DATA;

typedef struct _SCARD_CARD_CAPABILITIES {
  BOOLEAN InversConvention;
  ULONG etu;  // elementary time unit in microseconds at the negotiated rate
  struct {
    UCHAR Buffer[MAXIMUM_ATR_LENGTH];
    UCHAR Length;
  } ATR;
  struct {
    UCHAR Buffer[MAXIMUM_HISTORICAL_LENGTH];
    UCHAR Length;
  } HistoricalChars;
  UCHAR Fl;  // FI index in force
  UCHAR Dl;  // DI index in force
  UCHAR II;
  UCHAR P;
  UCHAR N;   // extra guard time integer (0xFF: minimum)
  ULONG GT;  // guard time in microseconds
  struct {
    ULONG Supported;  // SCARD_PROTOCOL_* offered by the card
    ULONG Selected;
  } Protocol;
  struct {
    UCHAR WI;
    ULONG WT;  // microseconds
  } T0;
  struct {
    UCHAR IFSC;
    UCHAR CWI;
    UCHAR BWI;
    UCHAR EDC;  // bit 0: CRC
    ULONG CWT;  // microseconds
    ULONG BWT;  // microseconds
    ULONG BGT;  // microseconds
  } T1;
  PTS_DATA PtsData;
  BOOLEAN SpecificMode;  // TA2 present
  UCHAR SpecificProtocol;
  // What the answer-to-reset offers (TA1 and its maximum clock); Fl and Dl
  // above are the indices in force, PtsData the ones chosen for a PTS.
  UCHAR AtrFi;
  UCHAR AtrDi;
  ULONG AtrFmax;  // kHz
  UCHAR Reserved[56];
} SCARD_CARD_CAPABILITIES, *PSCARD_CARD_CAPABILITIES;

// The library's T=0 data of the exchange in progress.
typedef struct _T0_DATA {
  ULONG Lc;
  ULONG Le;
} T0_DATA, *PT0_DATA;

// The library's T=1 protocol data: the host side of the block protocol.
// State tells what the next SmartcardT1Request builds; between commands it
// rests at T1_INIT (after a reset: the IFS request is still due), T1_START
// or T1_RESTART (the card's sequence numbers are unknown: resynchronise first).
typedef struct _T1_DATA {
  UCHAR IFSC;   // information field size of the card in force
  UCHAR IFSD;   // information field size of the reader in force
  UCHAR NAD;    // node address byte sent (0)
  UCHAR SSN;    // N(S) of the reader's next I-block
  UCHAR RSN;    // N(S) expected in the card's next I-block
  UCHAR State;  // T1_* : the block the next request builds
  UCHAR Wtx;    // multiplier the card asked for in its last S(WTX request), 0 when none
  BOOLEAN MoreData;      // the card is sending a chain
  ULONG OriginalState;   // set to STATUS_IO_TIMEOUT by the reader driver when the card gave no block
  ULONG BytesSent;       // command bytes the card has acknowledged
  ULONG BytesToSend;     // length of the command of the exchange in progress
  ULONG BytesReceived;   // response bytes received so far
  ULONG LastError;       // status of the last failed exchange
  UCHAR Resend;          // consecutive retransmissions without progress
  UCHAR Resynch;         // S(RESYNCH request)s sent in this exchange
  UCHAR PrevState;       // kind of the last block built (for a retransmission)
  UCHAR LastSentPcb;     // PCB of the last block built
  ULONG InfBytesSent;    // INF length of the last I-block built
  UCHAR SInf;            // INF byte of the S-block to build
  UCHAR RCode;           // error code of the R-block to build
  UCHAR SRequests;       // consecutive S-requests of the card without progress
  BOOLEAN IfsPending;    // the S(IFS request) with the reader's IFSD is still due
  BOOLEAN CommandAcked;  // the card has acknowledged the last I-block of the command
  BOOLEAN Overflow;      // the response did not fit the caller's buffer
  BOOLEAN LastWasTimeout;// the last failure was a missing block
  UCHAR IfsTries;        // S(IFS request)s sent for the current negotiation
  ULONG Blocks;          // blocks received in this exchange
  UCHAR Reserved[16];
} T1_DATA, *PT1_DATA;

// Operating-system data of a slot, owned by the library.
typedef struct _SMARTCARD_OS_DATA {
  PDEVICE_OBJECT DeviceObject;
  PIRP CurrentIrp;
  PIRP NotificationIrp;  // the parked IS_PRESENT / IS_ABSENT request
  KSPIN_LOCK SpinLock;   // guards NotificationIrp and the card state
  // Library-private from here on.
  KEVENT CallLock;        // synchronization event: signalled while no request runs on the slot
  KEVENT RemoveEvent;     // notification event: signalled when the last holder released after removal began
  KSPIN_LOCK RemoveLock;  // guards RemoveCount and Removing
  LONG RemoveCount;       // successful acquisitions not yet released
  BOOLEAN Removing;
  ULONG Information;      // the count reader functions report through IoRequest.Information
  PUCHAR Bounce;          // reply buffer handed to power and protocol functions
  ULONG BounceSize;
  LIST_ENTRY Link;        // in the library's list of slots (guarded by the cancel spin lock)
  struct _SMARTCARD_EXTENSION* Extension;
  PUCHAR ReplyStart;      // the reply buffer as allocated: a reply read never goes beyond it,
  ULONG ReplyAllocated;   // even when the driver points SmartcardReply.Buffer into its middle
  LONG Reserved[8];
} SMARTCARD_OS_DATA, *PSMARTCARD_OS_DATA;

typedef struct _SMARTCARD_EXTENSION {
  ULONG Version;
  VENDOR_ATTR VendorAttr;
  PRDF_ROUTINE ReaderFunction[MAXIMUM_SMARTCARD_READER_FUNCTIONS];
  SCARD_CARD_CAPABILITIES CardCapabilities;
  ULONG LastError;
  struct {
    PULONG Information;
    PUCHAR RequestBuffer;
    ULONG RequestBufferLength;
    PUCHAR ReplyBuffer;
    ULONG ReplyBufferLength;
  } IoRequest;
  ULONG MajorIoControlCode;
  ULONG MinorIoControlCode;
  PSMARTCARD_OS_DATA OsData;
  SCARD_READER_CAPABILITIES ReaderCapabilities;
  PREADER_EXTENSION ReaderExtension;
  SMARTCARD_REPLY SmartcardReply;
  SMARTCARD_REQUEST SmartcardRequest;
  T0_DATA T0;
  T1_DATA T1;
  PVOID LibraryPrivate;
  ULONG Reserved[16];
} SMARTCARD_EXTENSION, *PSMARTCARD_EXTENSION;

// ------------------------------------------------------------ calls
NTSTATUS SmartcardInitialize(PSMARTCARD_EXTENSION SmartcardExtension);
VOID SmartcardExit(PSMARTCARD_EXTENSION SmartcardExtension);
NTSTATUS SmartcardDeviceControl(PSMARTCARD_EXTENSION SmartcardExtension, PIRP Irp);

NTSTATUS SmartcardAcquireRemoveLock(PSMARTCARD_EXTENSION SmartcardExtension);
VOID SmartcardReleaseRemoveLock(PSMARTCARD_EXTENSION SmartcardExtension);
VOID SmartcardReleaseRemoveLockAndWait(PSMARTCARD_EXTENSION SmartcardExtension);

NTSTATUS SmartcardUpdateCardCapabilities(PSMARTCARD_EXTENSION SmartcardExtension);

NTSTATUS SmartcardT0Request(PSMARTCARD_EXTENSION SmartcardExtension);
NTSTATUS SmartcardT0Reply(PSMARTCARD_EXTENSION SmartcardExtension);
NTSTATUS SmartcardT1Request(PSMARTCARD_EXTENSION SmartcardExtension);
NTSTATUS SmartcardT1Reply(PSMARTCARD_EXTENSION SmartcardExtension);
NTSTATUS SmartcardRawRequest(PSMARTCARD_EXTENSION SmartcardExtension);
NTSTATUS SmartcardRawReply(PSMARTCARD_EXTENSION SmartcardExtension);

#ifdef __cplusplus
}  // extern "C"
#endif
