// The serial port driver and its line, driven by plain requests.
#include <cstring>

#include "support/testing.h"

namespace {

using vk::kMillisecond;
using vk::kSecond;

class SerialPortTest : public vkt::SystemTest {
 protected:
  void SetUp() override {
    SystemTest::SetUp();
    port = &sys().AddSerialPort(1);
    peer = std::make_unique<vkt::ScriptedPeer>(*port);
  }
  void TearDown() override {
    peer.reset();
    SystemTest::TearDown();
  }
  PDEVICE_OBJECT dev() { return port->Device(); }

  NTSTATUS Control(ULONG code, ULONG value) { return vkt::SendIoControl(dev(), code, &value, 4, nullptr, 0); }
  NTSTATUS Control(ULONG code) { return vkt::SendIoControl(dev(), code, nullptr, 0, nullptr, 0); }

  void Open(ULONG rate = 9600) {
    PIRP irp = IoAllocateIrp(dev()->StackSize, FALSE);
    IoGetNextIrpStackLocation(irp)->MajorFunction = IRP_MJ_CREATE;
    EXPECT_EQ(IofCallDriver(dev(), irp), STATUS_SUCCESS);
    EXPECT_EQ(Control(IOCTL_SERIAL_SET_BAUD_RATE, rate), STATUS_SUCCESS);
  }
  void Close() {
    PIRP irp = IoAllocateIrp(dev()->StackSize, FALSE);
    IoGetNextIrpStackLocation(irp)->MajorFunction = IRP_MJ_CLOSE;
    IofCallDriver(dev(), irp);
  }

  // A read or write as the reader driver sends it: a buffered request
  // relabelled as IRP_MJ_READ or IRP_MJ_WRITE.
  NTSTATUS Transfer(UCHAR major, std::uint8_t* buffer, ULONG length, ULONG_PTR* information = nullptr) {
    KEVENT event;
    IO_STATUS_BLOCK iosb{};
    KeInitializeEvent(&event, NotificationEvent, FALSE);
    bool read = major == IRP_MJ_READ;
    PIRP irp = IoBuildDeviceIoControlRequest(SCARD_CTL_CODE_TEST, dev(), read ? nullptr : buffer, read ? 0 : length,
                                             read ? buffer : nullptr, read ? length : 0, FALSE, &event, &iosb);
    auto* next = IoGetNextIrpStackLocation(irp);
    next->MajorFunction = major;
    next->Parameters.Read.Length = length;
    next->Parameters.Read.ByteOffset.QuadPart = 0;
    NTSTATUS status = IofCallDriver(dev(), irp);
    if (status == STATUS_PENDING) {
      KeWaitForSingleObject(&event, Executive, KernelMode, FALSE, nullptr);
      status = iosb.Status;
    }
    if (information) *information = iosb.Information;
    return status;
  }
  static constexpr ULONG SCARD_CTL_CODE_TEST = CTL_CODE(0x31, 1000, METHOD_BUFFERED, 0);

  ULONG CommStatusInQueue() {
    SERIAL_STATUS status{};
    vkt::SendIoControl(dev(), IOCTL_SERIAL_GET_COMMSTATUS, nullptr, 0, &status, sizeof status);
    return status.AmountInInQueue;
  }

  vk::SerialPort* port = nullptr;
  std::unique_ptr<vkt::ScriptedPeer> peer;
};

TEST_F(SerialPortTest, CharactersTakeTheirBitTimesAndAreGarbledAtAnotherRate) {
  ASSERT_TRUE(sys().Run([&] {
    Open(9600);
    port->SetRate(9600);
    std::uint8_t frame[3] = {0x10, 0x02, 0x55};
    vk::Nanos start = sys().Now();
    EXPECT_EQ(Transfer(IRP_MJ_WRITE, frame, 3), STATUS_SUCCESS);
    ASSERT_EQ(peer->received.size(), 3u);
    EXPECT_EQ(peer->Bytes(), vkt::Bytes({0x10, 0x02, 0x55}));
    EXPECT_EQ(peer->received[2].time - start, 3 * vk::CharacterTime(9600));  // write completes as the last bit leaves
    EXPECT_FALSE(peer->received[0].garbled);

    port->SetRate(19200);
    EXPECT_EQ(Transfer(IRP_MJ_WRITE, frame, 1), STATUS_SUCCESS);
    EXPECT_TRUE(peer->received.back().garbled);
    EXPECT_NE(peer->received.back().byte, 0x10);

    // Far end to host: queued bytes arrive one character time apart.
    port->SetRate(9600);
    peer->Send(vkt::Bytes({1, 2, 3, 4, 5}));
    LARGE_INTEGER wait;
    wait.QuadPart = -10 * 10000;
    KeDelayExecutionThread(KernelMode, FALSE, &wait);
    EXPECT_EQ(CommStatusInQueue(), 5u);
    std::uint8_t in[5] = {};
    ULONG_PTR got = 0;
    EXPECT_EQ(Transfer(IRP_MJ_READ, in, 5, &got), STATUS_SUCCESS);
    EXPECT_EQ(got, 5u);
    EXPECT_EQ(std::vector<std::uint8_t>(in, in + 5), vkt::Bytes({1, 2, 3, 4, 5}));
    Close();
  }));
}

TEST_F(SerialPortTest, OneWaitMaskOneWaitAndANewMaskEndsThePendingWait) {
  ASSERT_TRUE(sys().Run([&] {
    Open();
    EXPECT_EQ(Control(IOCTL_SERIAL_SET_WAIT_MASK, SERIAL_EV_CTS | SERIAL_EV_DSR), STATUS_SUCCESS);
    ULONG events = 0xFFFF;
    NTSTATUS waitStatus = STATUS_PENDING;
    sys().CreateThread("waiter", [&] {
      waitStatus = vkt::SendIoControl(dev(), IOCTL_SERIAL_WAIT_ON_MASK, nullptr, 0, &events, 4);
    });
    LARGE_INTEGER step;
    step.QuadPart = -10000;
    KeDelayExecutionThread(KernelMode, FALSE, &step);
    EXPECT_TRUE(port->WaitPending());
    ULONG second = 0;
    EXPECT_EQ(vkt::SendIoControl(dev(), IOCTL_SERIAL_WAIT_ON_MASK, nullptr, 0, &second, 4), STATUS_INVALID_PARAMETER);

    port->SetModemLines(true, true);
    KeDelayExecutionThread(KernelMode, FALSE, &step);
    EXPECT_EQ(waitStatus, STATUS_SUCCESS);
    EXPECT_EQ(events, ULONG(SERIAL_EV_CTS | SERIAL_EV_DSR));
    ULONG modem = 0;
    vkt::SendIoControl(dev(), IOCTL_SERIAL_GET_MODEMSTATUS, nullptr, 0, &modem, 4);
    EXPECT_EQ(modem, ULONG(SERIAL_CTS_STATE | SERIAL_DSR_STATE));

    waitStatus = STATUS_PENDING;
    events = 0xFFFF;
    sys().CreateThread("waiter", [&] {
      waitStatus = vkt::SendIoControl(dev(), IOCTL_SERIAL_WAIT_ON_MASK, nullptr, 0, &events, 4);
    });
    KeDelayExecutionThread(KernelMode, FALSE, &step);
    EXPECT_EQ(Control(IOCTL_SERIAL_SET_WAIT_MASK, SERIAL_EV_RXCHAR), STATUS_SUCCESS);
    KeDelayExecutionThread(KernelMode, FALSE, &step);
    EXPECT_EQ(waitStatus, STATUS_SUCCESS);
    EXPECT_EQ(events, 0u);

    // Events since the mask was set are kept: a wait after them returns at once.
    EXPECT_EQ(Control(IOCTL_SERIAL_SET_WAIT_MASK, SERIAL_EV_TXEMPTY), STATUS_SUCCESS);
    std::uint8_t byte = 0x41;
    Transfer(IRP_MJ_WRITE, &byte, 1);
    EXPECT_EQ(vkt::SendIoControl(dev(), IOCTL_SERIAL_WAIT_ON_MASK, nullptr, 0, &events, 4), STATUS_SUCCESS);
    EXPECT_EQ(events, ULONG(SERIAL_EV_TXEMPTY));
    Close();
  }));
}

TEST_F(SerialPortTest, ReadsFollowTheTimeoutRules) {
  ASSERT_TRUE(sys().Run([&] {
    Open();
    port->SetRate(9600);
    SERIAL_TIMEOUTS t{30, 0, 3000, 0, 5000};
    vkt::SendIoControl(dev(), IOCTL_SERIAL_SET_TIMEOUTS, &t, sizeof t, nullptr, 0);
    std::uint8_t in[8] = {};
    ULONG_PTR got = 0;
    // Nothing arrives: the total time-out ends the read after 3 s.
    vk::Nanos start = sys().Now();
    EXPECT_EQ(Transfer(IRP_MJ_READ, in, 8, &got), STATUS_TIMEOUT);
    EXPECT_EQ(got, 0u);
    EXPECT_EQ(sys().Now() - start, 3 * kSecond);
    // Two bytes, then silence: the 30 ms interval time-out ends it.
    peer->Send(vkt::Bytes({7, 8}));
    start = sys().Now();
    EXPECT_EQ(Transfer(IRP_MJ_READ, in, 8, &got), STATUS_TIMEOUT);
    EXPECT_EQ(got, 2u);
    EXPECT_EQ(sys().Now() - start, 2 * vk::CharacterTime(9600) + 30 * kMillisecond);
    // Return-immediately settings hand back what is there, even nothing.
    SERIAL_TIMEOUTS now{0xFFFFFFFF, 0, 0, 0, 0};
    vkt::SendIoControl(dev(), IOCTL_SERIAL_SET_TIMEOUTS, &now, sizeof now, nullptr, 0);
    EXPECT_EQ(Transfer(IRP_MJ_READ, in, 8, &got), STATUS_SUCCESS);
    EXPECT_EQ(got, 0u);
    Close();
  }));
}

TEST_F(SerialPortTest, PurgeDiscardsReceivedBytesAndAbortsWrites) {
  ASSERT_TRUE(sys().Run([&] {
    Open();
    port->SetRate(9600);
    peer->Send(vkt::Bytes({1, 2, 3}));
    LARGE_INTEGER wait;
    wait.QuadPart = -10 * 10000;
    KeDelayExecutionThread(KernelMode, FALSE, &wait);
    EXPECT_EQ(CommStatusInQueue(), 3u);
    EXPECT_EQ(Control(IOCTL_SERIAL_PURGE, SERIAL_PURGE_RXCLEAR | SERIAL_PURGE_TXCLEAR), STATUS_SUCCESS);
    EXPECT_EQ(CommStatusInQueue(), 0u);
    EXPECT_EQ(Control(IOCTL_SERIAL_PURGE, 0x10), STATUS_INVALID_PARAMETER);

    std::vector<std::uint8_t> big(100, 0x33);
    NTSTATUS writeStatus = STATUS_PENDING;
    ULONG_PTR sent = 0;
    sys().CreateThread("writer", [&] { writeStatus = Transfer(IRP_MJ_WRITE, big.data(), 100, &sent); });
    KeDelayExecutionThread(KernelMode, FALSE, &wait);  // 10 ms: about nine characters out
    EXPECT_EQ(Control(IOCTL_SERIAL_PURGE, SERIAL_PURGE_TXABORT), STATUS_SUCCESS);
    KeDelayExecutionThread(KernelMode, FALSE, &wait);
    EXPECT_EQ(writeStatus, STATUS_CANCELLED);
    EXPECT_GT(sent, 0u);
    EXPECT_LT(sent, 100u);
    Close();
  }));
}

TEST_F(SerialPortTest, FaultsFailDelayOrHoldMatchingRequests) {
  ASSERT_TRUE(sys().Run([&] {
    Open();
    port->AddFault({vk::SerialFault::Kind::Fail, IRP_MJ_DEVICE_CONTROL, IOCTL_SERIAL_SET_DTR, 1, STATUS_IO_TIMEOUT});
    EXPECT_EQ(Control(IOCTL_SERIAL_SET_DTR), STATUS_IO_TIMEOUT);
    EXPECT_FALSE(port->Dtr());
    EXPECT_EQ(Control(IOCTL_SERIAL_SET_DTR), STATUS_SUCCESS);  // only the first one
    EXPECT_TRUE(port->Dtr());

    vk::SerialFault late{vk::SerialFault::Kind::Delay, IRP_MJ_DEVICE_CONTROL, IOCTL_SERIAL_CLR_DTR};
    late.delay = 2 * kSecond;
    port->AddFault(late);
    vk::Nanos start = sys().Now();
    EXPECT_EQ(Control(IOCTL_SERIAL_CLR_DTR), STATUS_SUCCESS);
    EXPECT_EQ(sys().Now() - start, 2 * kSecond);
    EXPECT_FALSE(port->Dtr());

    port->AddFault({vk::SerialFault::Kind::Hold, IRP_MJ_DEVICE_CONTROL, IOCTL_SERIAL_SET_RTS});
    KEVENT event;
    IO_STATUS_BLOCK iosb{};
    KeInitializeEvent(&event, NotificationEvent, FALSE);
    PIRP irp = IoBuildDeviceIoControlRequest(IOCTL_SERIAL_SET_RTS, dev(), nullptr, 0, nullptr, 0, FALSE, &event, &iosb);
    EXPECT_EQ(IofCallDriver(dev(), irp), STATUS_PENDING);
    LARGE_INTEGER wait;
    wait.QuadPart = -600LL * 10000000;
    EXPECT_EQ(KeWaitForSingleObject(&event, Executive, KernelMode, FALSE, &wait), STATUS_TIMEOUT);
    EXPECT_TRUE(IoCancelIrp(irp));
    EXPECT_EQ(iosb.Status, STATUS_CANCELLED);
    Close();
  }));
}

}  // namespace
