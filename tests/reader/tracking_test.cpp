// Card presence tracking on the serial port, against the simulated reader.
#include "reader_fixture.h"
#include "sim/reader.h"

namespace {

using vk::kMillisecond;
using vk::kSecond;

class Tracking : public vkt::ReaderOnPort {
 protected:
  void Start(std::shared_ptr<sim::Card> card) {
    sim::ReaderConfig config;
    config.userCard = card;
    config.seed = vkt::Seed();
    reader = std::make_unique<sim::Reader>(*port, config);
    ASSERT_EQ(OpenPort(), STATUS_SUCCESS);
    ASSERT_EQ(Vxr_ConfigureSerialPort(sc), STATUS_SUCCESS);
  }
  void TearDown() override {
    reader.reset();
    ReaderOnPort::TearDown();
  }
  size_t Count(ULONG code) {
    size_t n = 0;
    for (auto& r : port->Requests()) n += r.major == IRP_MJ_DEVICE_CONTROL && r.ioControlCode == code;
    return n;
  }
  void Wait(vk::Nanos d) {
    LARGE_INTEGER t;
    t.QuadPart = -(d / 100);
    KeDelayExecutionThread(KernelMode, FALSE, &t);
  }
  // Parks a request in a slot's record the way the library does.
  PIRP Park(SMARTCARD_OS_DATA& os, KEVENT* event, IO_STATUS_BLOCK* iosb) {
    KeInitializeEvent(event, NotificationEvent, FALSE);
    PIRP irp = IoBuildDeviceIoControlRequest(IOCTL_SMARTCARD_IS_ABSENT, device, nullptr, 0, nullptr, 0, FALSE, event, iosb);
    IoSetNextIrpStackLocation(irp);
    IoGetCurrentIrpStackLocation(irp)->DeviceObject = device;
    os.NotificationIrp = irp;
    return irp;
  }
  std::unique_ptr<sim::Reader> reader;
};

TEST_F(Tracking, InsertionAndRemovalFollowCtsAndARestartLeavesOneCycle) {
  ASSERT_TRUE(sys().Run([&] {
    Start(nullptr);
    sc->ReaderCapabilities.CurrentState = SCARD_ABSENT;
    ASSERT_EQ(Vxr_StartSerialEventTracking(sc), STATUS_SUCCESS);
    EXPECT_TRUE(port->WaitPending());
    EXPECT_EQ(re->TrackedCardState, 0u);  // nothing seen yet: an absent card changes nothing

    // Restart while the wait is pending, twice: still exactly one cycle.
    ASSERT_EQ(Vxr_StartSerialEventTracking(sc), STATUS_SUCCESS);
    ASSERT_EQ(Vxr_StartSerialEventTracking(sc), STATUS_SUCCESS);
    EXPECT_TRUE(port->WaitPending());
    EXPECT_EQ(re->SerialWaitMask, ULONG(CARD_TRACKING_WAIT_MASK));

    port->ClearRequests();
    reader->InsertCard(sim::MakeT1Card(), 0);
    Wait(10 * kMillisecond);
    EXPECT_EQ(Count(IOCTL_SERIAL_GET_MODEMSTATUS), 1u);
    EXPECT_EQ(sc->ReaderCapabilities.CurrentState, ULONG(SCARD_SWALLOWED));
    EXPECT_EQ(re->TrackedCardState, 3u);

    sc->ReaderCapabilities.CurrentState = SCARD_SPECIFIC;
    sc->CardCapabilities.ATR.Length = 11;
    reader->RemoveCard(0);
    Wait(10 * kMillisecond);
    EXPECT_EQ(sc->ReaderCapabilities.CurrentState, ULONG(SCARD_ABSENT));
    EXPECT_EQ(sc->CardCapabilities.ATR.Length, 0);
    EXPECT_TRUE(port->WaitPending());

    // A stop ends the cycle and the port closes through the work item.
    VxrStopDevice(device);
    EXPECT_FALSE(port->IsOpen());
    EXPECT_EQ(re->SerialStatusIrp, nullptr);
  }));
}

TEST_F(Tracking, ReaderLostClosesThePortAndLeavesTheParkedRequest) {
  ASSERT_TRUE(sys().Run([&] {
    Start(sim::MakeT1Card());
    KEVENT event;
    IO_STATUS_BLOCK iosb{};
    PIRP parked = Park(cardOsData, &event, &iosb);
    ASSERT_EQ(Vxr_StartSerialEventTracking(sc), STATUS_SUCCESS);
    // The first status read saw DSR high: the parked request is completed.
    EXPECT_EQ(cardOsData.NotificationIrp, nullptr);
    EXPECT_EQ(iosb.Status, STATUS_SUCCESS);
    (void)parked;

    parked = Park(cardOsData, &event, &iosb);
    sys().ClearLog();
    reader->Unplug();
    Wait(10 * kMillisecond);
    EXPECT_GE(sys().FindLog("[Vxr_SerialEvent] DSR_STATE changed!\n"), 0);
    EXPECT_GE(sys().FindLog("[Vxr_SerialEvent] SerialWaitMask is 0 it's time to CloseSerialPort\n"), 0);
    EXPECT_FALSE(port->IsOpen());
    EXPECT_EQ(cardOsData.NotificationIrp, parked);
    EXPECT_EQ(sc->ReaderCapabilities.CurrentState, ULONG(SCARD_SWALLOWED));  // left alone
    cardOsData.NotificationIrp = nullptr;
    parked->IoStatus.Status = STATUS_CANCELLED;
    IofCompleteRequest(parked, IO_NO_INCREMENT);

    // A later start reads the modem status afresh.
    reader->Replug();
    Wait(10 * kMillisecond);
    ASSERT_EQ(OpenPort(), STATUS_SUCCESS);
    ASSERT_EQ(Vxr_ConfigureSerialPort(sc), STATUS_SUCCESS);
    port->ClearRequests();
    ASSERT_EQ(Vxr_StartSerialEventTracking(sc), STATUS_SUCCESS);
    ASSERT_GE(port->Requests().size(), 2u);
    EXPECT_EQ(port->Requests()[1].ioControlCode, ULONG(IOCTL_SERIAL_GET_MODEMSTATUS));
    EXPECT_TRUE(port->WaitPending());
    VxrStopDevice(device);
  }));
}

TEST_F(Tracking, ASerialDriverThatFailsEveryStepEndsTheCycle) {
  ASSERT_TRUE(sys().Run([&] {
    Start(nullptr);
    vk::SerialFault fail{vk::SerialFault::Kind::Fail, IRP_MJ_DEVICE_CONTROL, IOCTL_SERIAL_GET_MODEMSTATUS, 0,
                         STATUS_DEVICE_NOT_CONNECTED};
    port->AddFault(fail);
    vk::SerialFault refuse{vk::SerialFault::Kind::Fail, IRP_MJ_DEVICE_CONTROL, IOCTL_SERIAL_WAIT_ON_MASK, 0,
                           STATUS_INVALID_PARAMETER};
    port->AddFault(refuse);
    ASSERT_EQ(Vxr_StartSerialEventTracking(sc), STATUS_SUCCESS);
    EXPECT_EQ(re->SerialStatusIrp, nullptr);
    EXPECT_LE(Count(IOCTL_SERIAL_GET_MODEMSTATUS), size_t(VXR_TRACKING_FAILURE_LIMIT));
    port->ClearFaults();
    Wait(10 * kMillisecond);  // the port close queued by the ended cycle
    EXPECT_FALSE(port->IsOpen());
  }));
}

TEST_F(Tracking, AStartWhoseArmFailsLeavesNoCycleOrTheEarlierOne) {
  ASSERT_TRUE(sys().Run([&] {
    Start(nullptr);
    port->AddFault({vk::SerialFault::Kind::Fail, IRP_MJ_DEVICE_CONTROL, IOCTL_SERIAL_SET_WAIT_MASK, 1, STATUS_IO_TIMEOUT});
    EXPECT_EQ(Vxr_StartSerialEventTracking(sc), STATUS_IO_TIMEOUT);
    EXPECT_EQ(re->SerialWaitMask, 0u);
    // With a cycle running, a failed restart leaves that cycle alone.
    ASSERT_EQ(Vxr_StartSerialEventTracking(sc), STATUS_SUCCESS);
    port->AddFault({vk::SerialFault::Kind::Fail, IRP_MJ_DEVICE_CONTROL, IOCTL_SERIAL_SET_WAIT_MASK, 1, STATUS_IO_TIMEOUT});
    EXPECT_EQ(Vxr_StartSerialEventTracking(sc), STATUS_IO_TIMEOUT);
    EXPECT_TRUE(port->WaitPending());
    port->ClearRequests();
    reader->InsertCard(sim::MakeT1Card(), 0);
    Wait(10 * kMillisecond);
    EXPECT_EQ(Count(IOCTL_SERIAL_GET_MODEMSTATUS), 1u);
    EXPECT_EQ(sc->ReaderCapabilities.CurrentState, ULONG(SCARD_SWALLOWED));
    VxrStopDevice(device);  // returns: the cycle ends and the port closes
    EXPECT_FALSE(port->IsOpen());
  }));
}

TEST_F(Tracking, ARequestCancelledBeforeItsCancelRoutineIsSetIsStillCompleted) {
  ASSERT_TRUE(sys().Run([&] {
    InitSamSlot();
    for (auto* os : {&cardOsData, &samOsData}) {
      PSMARTCARD_EXTENSION slot = os == &cardOsData ? sc : sam;
      KEVENT event;
      IO_STATUS_BLOCK iosb{};
      PIRP irp = Park(*os, &event, &iosb);
      EXPECT_FALSE(IoCancelIrp(irp));  // nothing to call yet
      EXPECT_EQ(Vxr_CardTracking(slot), STATUS_PENDING);
      EXPECT_EQ(os->NotificationIrp, nullptr);
      EXPECT_EQ(iosb.Status, STATUS_CANCELLED);
    }
    // Cancelled after parking: the cancel routine completes only its own slot.
    KEVENT cardEvent, samEvent;
    IO_STATUS_BLOCK cardIosb{}, samIosb{};
    PIRP cardIrp = Park(cardOsData, &cardEvent, &cardIosb);
    PIRP samIrp = Park(samOsData, &samEvent, &samIosb);
    Vxr_CardTracking(sc);
    Vxr_CardTracking(sam);
    EXPECT_TRUE(IoCancelIrp(samIrp));
    EXPECT_EQ(samIosb.Status, STATUS_CANCELLED);
    EXPECT_EQ(cardOsData.NotificationIrp, cardIrp);
    EXPECT_TRUE(IoCancelIrp(cardIrp));
    EXPECT_EQ(cardIosb.Status, STATUS_CANCELLED);
  }));
}

}  // namespace
