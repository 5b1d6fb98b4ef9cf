// Serial port control of the reader driver on an emulated port.
#include "reader_fixture.h"

namespace {

using vk::kMicrosecond;
using vk::kMillisecond;
using vk::kSecond;
using vk::Nanos;

class SerialLine : public vkt::ReaderOnPort {
 protected:
  std::vector<vk::SerialRequestRecord> Requests(UCHAR major) {
    std::vector<vk::SerialRequestRecord> out;
    for (auto& r : port->Requests())
      if (r.major == major) out.push_back(r);
    return out;
  }
  std::vector<ULONG> ControlCodes() {
    std::vector<ULONG> out;
    for (auto& r : port->Requests())
      if (r.major == IRP_MJ_DEVICE_CONTROL) out.push_back(r.ioControlCode);
    return out;
  }
  void SetRate(ULONG rate) {
    ULONG value = rate;
    EXPECT_EQ(Request(IOCTL_SERIAL_SET_BAUD_RATE, &value, 4), STATUS_SUCCESS);
    port->SetRate(rate);
  }
};

TEST_F(SerialLine, WritesGoOutWholeOrByteByByteUnderAGuardTime) {
  struct Case {
    ULONG gt;
    size_t writes;
    ULONG length;
  };
  for (Case c : {Case{0, 1, 8}, Case{1200, 8, 1}}) {
    SCOPED_TRACE(c.gt);
    ASSERT_TRUE(sys().Run([&] {
      ASSERT_EQ(OpenPort(), STATUS_SUCCESS);
      SetRate(19200);
      port->ClearRequests();
      peer->received.clear();
      sc->CardCapabilities.GT = c.gt;
      const std::uint8_t frame[8] = {0x10, 0x02, 0x60, 0x00, 0x00, 0x60, 0x10, 0x03};
      EXPECT_EQ(Request(SERIAL_PSEUDO_WRITE, frame, 8), STATUS_SUCCESS);
      auto writes = Requests(IRP_MJ_WRITE);
      ASSERT_EQ(writes.size(), c.writes);
      for (auto& w : writes) EXPECT_EQ(w.length, c.length);
      ASSERT_EQ(peer->Bytes(), std::vector<std::uint8_t>(frame, frame + 8));
      Nanos character = vk::CharacterTime(19200);
      for (size_t i = 1; i < 8; ++i)
        EXPECT_EQ(peer->received[i].time - peer->received[i - 1].time, character + Nanos(c.gt) * kMicrosecond);
      Vxr_CloseSerialPort(device, nullptr);
    }));
  }
}

TEST_F(SerialLine, LengthsBeyondTheBuffersAreRefusedBeforeAnythingIsSent) {
  ASSERT_TRUE(sys().Run([&] {
    ASSERT_EQ(OpenPort(), STATUS_SUCCESS);
    SetRate(38400);
    port->ClearRequests();
    std::vector<std::uint8_t> data(1049, 0x55);
    EXPECT_EQ(Request(SERIAL_PSEUDO_WRITE, data.data(), 1049), STATUS_BUFFER_TOO_SMALL);
    std::vector<std::uint8_t> out(1049);
    EXPECT_EQ(Request(SERIAL_PSEUDO_READ, nullptr, 0, out.data(), 1049), STATUS_BUFFER_TOO_SMALL);
    EXPECT_TRUE(port->Requests().empty());
    EXPECT_EQ(Request(SERIAL_PSEUDO_WRITE, data.data(), 1048), STATUS_SUCCESS);
    ASSERT_EQ(Requests(IRP_MJ_WRITE).size(), 1u);
    EXPECT_EQ(Requests(IRP_MJ_WRITE)[0].length, 1048u);
    EXPECT_EQ(peer->received.size(), 1048u);
    Vxr_CloseSerialPort(device, nullptr);
  }));
}

TEST_F(SerialLine, PseudoReadIsAPlainReadOfTheWaitingBytes) {
  ASSERT_TRUE(sys().Run([&] {
    ASSERT_EQ(OpenPort(), STATUS_SUCCESS);
    SetRate(19200);
    peer->Send(vkt::Bytes({0x10, 0x02, 0x62, 0x10, 0x03}));
    LARGE_INTEGER wait;
    wait.QuadPart = -10 * 10000;
    KeDelayExecutionThread(KernelMode, FALSE, &wait);
    port->ClearRequests();
    std::uint8_t out[5] = {};
    EXPECT_EQ(Request(SERIAL_PSEUDO_READ, nullptr, 0, out, 5), STATUS_SUCCESS);
    auto reads = Requests(IRP_MJ_READ);
    ASSERT_EQ(reads.size(), 1u);
    EXPECT_EQ(reads[0].length, 5u);
    EXPECT_EQ(std::vector<std::uint8_t>(out, out + 5), vkt::Bytes({0x10, 0x02, 0x62, 0x10, 0x03}));
    Vxr_CloseSerialPort(device, nullptr);
  }));
}

TEST_F(SerialLine, ConfigurationSetsTheLineUpAndWaitsThreeSeconds) {
  ASSERT_TRUE(sys().Run([&] {
    ASSERT_EQ(OpenPort(), STATUS_SUCCESS);
    port->ClearRequests();
    Nanos start = sys().Now();
    EXPECT_EQ(Vxr_ConfigureSerialPort(sc), STATUS_SUCCESS);
    EXPECT_EQ(sys().Now() - start, 3 * kSecond);
    EXPECT_EQ(ControlCodes(),
              (std::vector<ULONG>{IOCTL_SERIAL_SET_BAUD_RATE, IOCTL_SERIAL_SET_LINE_CONTROL, IOCTL_SERIAL_SET_CHARS,
                                  IOCTL_SERIAL_SET_TIMEOUTS, IOCTL_SERIAL_SET_HANDFLOW, IOCTL_SERIAL_SET_BREAK_OFF,
                                  IOCTL_SERIAL_SET_DTR, IOCTL_SERIAL_SET_RTS}));
    auto lengths = port->Requests();
    EXPECT_EQ(lengths[0].length, 4u);
    EXPECT_EQ(lengths[1].length, 3u);
    EXPECT_EQ(lengths[2].length, 6u);
    EXPECT_EQ(lengths[3].length, 20u);
    EXPECT_EQ(lengths[4].length, 16u);
    EXPECT_EQ(port->PortRate(), 19200u);
    EXPECT_EQ(port->LineControl().WordLength, 8);
    EXPECT_EQ(port->Timeouts().ReadTotalTimeoutConstant, 3000u);
    EXPECT_EQ(port->Chars().BreakChar, 0xFF);
    EXPECT_EQ(port->HandFlow().FlowReplace, 0x80000000u);
    EXPECT_TRUE(port->Dtr());
    EXPECT_TRUE(port->Rts());
    Vxr_CloseSerialPort(device, nullptr);
  }));
}

TEST_F(SerialLine, ConfigurationStopsAtTheFirstFailingStep) {
  ASSERT_TRUE(sys().Run([&] {
    ASSERT_EQ(OpenPort(), STATUS_SUCCESS);
    port->ClearRequests();
    port->AddFault({vk::SerialFault::Kind::Fail, IRP_MJ_DEVICE_CONTROL, IOCTL_SERIAL_SET_TIMEOUTS, 1,
                    STATUS_INVALID_PARAMETER});
    Nanos start = sys().Now();
    EXPECT_EQ(Vxr_ConfigureSerialPort(sc), STATUS_INVALID_PARAMETER);
    EXPECT_LT(sys().Now() - start, kMillisecond);
    EXPECT_EQ(ControlCodes(), (std::vector<ULONG>{IOCTL_SERIAL_SET_BAUD_RATE, IOCTL_SERIAL_SET_LINE_CONTROL,
                                                  IOCTL_SERIAL_SET_CHARS, IOCTL_SERIAL_SET_TIMEOUTS}));
    EXPECT_FALSE(port->Dtr());
    EXPECT_FALSE(port->Rts());
    Vxr_CloseSerialPort(device, nullptr);
  }));
}

TEST_F(SerialLine, RateChangeTogglesDtrAndSettles) {
  ASSERT_TRUE(sys().Run([&] {
    ASSERT_EQ(OpenPort(), STATUS_SUCCESS);
    ASSERT_EQ(Vxr_ConfigureSerialPort(sc), STATUS_SUCCESS);
    size_t before = port->DtrHistory().size();
    Nanos start = sys().Now();
    EXPECT_EQ(Vxr_SetPortBaudRate(9600, sc), STATUS_SUCCESS);
    EXPECT_EQ(sys().Now() - start, 1500 * kMillisecond);
    EXPECT_EQ(port->PortRate(), 9600u);
    EXPECT_TRUE(port->Dtr());
    auto history = port->DtrHistory();
    ASSERT_EQ(history.size(), before + 2);
    EXPECT_FALSE(history[before].second);
    EXPECT_TRUE(history[before + 1].second);
    EXPECT_EQ(re->SerialBaudRate, 19200u);  // the caller stores the rate, not this routine

    // A refused rate stops before DTR is touched.
    port->AddFault({vk::SerialFault::Kind::Fail, IRP_MJ_DEVICE_CONTROL, IOCTL_SERIAL_SET_BAUD_RATE, 1,
                    STATUS_INVALID_PARAMETER});
    EXPECT_EQ(Vxr_SetPortBaudRate(4800, sc), STATUS_INVALID_PARAMETER);
    EXPECT_EQ(port->DtrHistory().size(), before + 2);
    Vxr_CloseSerialPort(device, nullptr);
  }));
}

// Stands in for card tracking's wait: a wait-on-mask whose completion, on
// a zero mask, has the port closed on the delayed work queue.
NTSTATUS TrackingStandIn(PDEVICE_OBJECT, PIRP irp, PVOID context) {
  auto* device = static_cast<PDEVICE_OBJECT>(context);
  auto* de = static_cast<PDEVICE_EXTENSION>(device->DeviceExtension);
  if (de->SmartcardExtension.ReaderExtension->SerialWaitMask == 0)
    IoQueueWorkItem(de->CloseWorkItem, Vxr_CloseSerialPort, DelayedWorkQueue, nullptr);
  IoFreeIrp(irp);
  return STATUS_MORE_PROCESSING_REQUIRED;
}

TEST_F(SerialLine, StopDeviceOnAClosedPortAPortWithoutTrackingAndAPortWithTracking) {
  ASSERT_TRUE(sys().Run([&] {
    // Closed: nothing is sent.
    VxrStopDevice(device);
    EXPECT_TRUE(port->Requests().empty());

    // Open, tracking not armed: closed at once.
    ASSERT_EQ(OpenPort(), STATUS_SUCCESS);
    sys().ClearLog();
    VxrStopDevice(device);
    EXPECT_FALSE(port->IsOpen());
    EXPECT_TRUE(KeReadStateEvent(&de->SerialClosedEvent));
    EXPECT_EQ(sys().FindLog("[VxrStopDevice] Close serial port"), 0);
    EXPECT_GE(sys().FindLog("444444444444444444444444\n"), 1);

    // Open with a tracking wait pending: the zero mask ends it, and the stop
    // returns only once the work item has closed the port.
    ASSERT_EQ(OpenPort(), STATUS_SUCCESS);
    re->SerialWaitMask = 0x18;
    ULONG mask = 0x18;
    ASSERT_EQ(Request(IOCTL_SERIAL_SET_WAIT_MASK, &mask, 4), STATUS_SUCCESS);
    PIRP wait = IoAllocateIrp(CCHAR(device->StackSize + 1), FALSE);
    auto* next = IoGetNextIrpStackLocation(wait);
    next->MajorFunction = IRP_MJ_DEVICE_CONTROL;
    next->Parameters.DeviceIoControl.IoControlCode = IOCTL_SERIAL_WAIT_ON_MASK;
    next->Parameters.DeviceIoControl.OutputBufferLength = 4;
    wait->AssociatedIrp.SystemBuffer = &re->SerialWaitMask;
    IoSetCompletionRoutine(wait, TrackingStandIn, device, TRUE, TRUE, TRUE);
    EXPECT_EQ(IofCallDriver(re->AttachedDeviceObject, wait), STATUS_PENDING);
    sys().ClearLog();
    port->ClearRequests();
    VxrStopDevice(device);
    EXPECT_EQ(sys().FindLog("[VxrStopDevice] Close serial port"), -1);
    ASSERT_GE(port->Requests().size(), 2u);
    EXPECT_EQ(port->Requests()[0].ioControlCode, ULONG(IOCTL_SERIAL_SET_WAIT_MASK));
    EXPECT_EQ(port->Requests()[0].data, vkt::Bytes({0, 0, 0, 0}));
    EXPECT_EQ(port->Requests().back().major, IRP_MJ_CLOSE);
    EXPECT_FALSE(port->IsOpen());
  }));
}

TEST_F(SerialLine, CallLowerAndWaitReturnsCancelledForACancelledRequest) {
  ASSERT_TRUE(sys().Run([&] {
    ASSERT_EQ(OpenPort(), STATUS_SUCCESS);
    auto send = [&](NTSTATUS* result, PIRP* sent) {
      PIRP irp = IoAllocateIrp(CCHAR(device->StackSize + 1), FALSE);
      IoSetNextIrpStackLocation(irp);
      auto* stack = IoGetCurrentIrpStackLocation(irp);
      stack->MajorFunction = IRP_MJ_DEVICE_CONTROL;
      stack->Parameters.DeviceIoControl.IoControlCode = IOCTL_SERIAL_SET_RTS;
      *sent = irp;
      *result = Vxr_CallLowerAndWait(re->AttachedDeviceObject, irp);
      IoFreeIrp(irp);
    };
    NTSTATUS result = STATUS_PENDING;
    PIRP sent = nullptr;
    port->AddFault({vk::SerialFault::Kind::Hold, IRP_MJ_DEVICE_CONTROL, IOCTL_SERIAL_SET_RTS});
    sys().CreateThread("forwarder", [&] { send(&result, &sent); });
    LARGE_INTEGER wait;
    wait.QuadPart = -10000;
    KeDelayExecutionThread(KernelMode, FALSE, &wait);
    EXPECT_EQ(result, STATUS_PENDING);
    IoCancelIrp(sent);
    KeDelayExecutionThread(KernelMode, FALSE, &wait);
    EXPECT_EQ(result, STATUS_CANCELLED);

    port->AddFault({vk::SerialFault::Kind::Fail, IRP_MJ_DEVICE_CONTROL, IOCTL_SERIAL_SET_RTS, 1, STATUS_IO_TIMEOUT});
    send(&result, &sent);
    EXPECT_EQ(result, STATUS_IO_TIMEOUT);
    send(&result, &sent);
    EXPECT_EQ(result, STATUS_SUCCESS);
    Vxr_CloseSerialPort(device, nullptr);
  }));
}

}  // namespace
