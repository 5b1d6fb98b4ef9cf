// Device creation and removal, Plug and Play, power and the I/O gate.
#include "stack_fixture.h"

namespace {

using vk::kMillisecond;
using vk::kSecond;
using vkt::ByteVec;

class Frame : public vkt::Stack {};

TEST_F(Frame, UnitNumbersAreClaimedLowestFirstAndAFifthReaderIsRefused) {
  for (int i = 0; i < 4; ++i) Plug(DefaultConfig(), 0, false);
  for (int i = 0; i < 4; ++i) EXPECT_EQ(readers[size_t(i)].de()->DeviceIndex, ULONG(i));
  vk::SerialPort& fifth = sys().AddSerialPort(9);
  EXPECT_EQ(sys().AddDevice(driver, fifth.Device()), STATUS_INSUFFICIENT_RESOURCES);
  EXPECT_EQ(fifth.Device()->AttachedDevice, nullptr);

  // Unit 1 goes; the next reader gets it, in both slots once started.
  sys().RemoveDevice(readers[1].port->Device());
  EXPECT_EQ(sys().AddDevice(driver, fifth.Device()), STATUS_SUCCESS);
  auto* de = static_cast<PDEVICE_EXTENSION>(fifth.Device()->AttachedDevice->DeviceExtension);
  EXPECT_EQ(de->DeviceIndex, 1u);
  sim::Reader simulated(fifth, DefaultConfig());
  ASSERT_EQ(sys().StartDevice(fifth.Device()), STATUS_SUCCESS);
  EXPECT_EQ(de->SmartcardExtension.VendorAttr.UnitNo, 1u);
  EXPECT_EQ(de->SamExtension.VendorAttr.UnitNo, 1u);
  sys().RemoveDevice(fifth.Device());
}

TEST_F(Frame, AFailedAttachLeavesNothingBehind) {
  vk::SerialPort& port = sys().AddSerialPort(1);
  auto before = sys().Pool();
  sys().FailNextAttach();
  EXPECT_EQ(sys().AddDevice(driver, port.Device()), STATUS_UNSUCCESSFUL);
  EXPECT_EQ(port.Device()->AttachedDevice, nullptr);
  EXPECT_EQ(sys().Pool().liveBlocksByTag, before.liveBlocksByTag);
  auto& r = Plug();  // unit 0 is free again
  EXPECT_EQ(r.de()->DeviceIndex, 0u);
}

TEST_F(Frame, AReaderThatAnswersNothingStillStarts) {
  auto& r = Plug(DefaultConfig(), 0, false);
  r.sim->Unplug();  // DSR low: nobody answers
  EXPECT_EQ(sys().StartDevice(r.port->Device()), STATUS_SUCCESS);
  EXPECT_EQ(r.de()->SmartcardExtension.ReaderCapabilities.CurrentState, ULONG(SCARD_UNKNOWN));
  EXPECT_EQ(r.de()->SmartcardExtension.ReaderCapabilities.DataRatesSupported.Entries, 3);
  EXPECT_EQ(r.de()->SamExtension.ReaderCapabilities.DataRatesSupported.Entries, 3);
}

TEST_F(Frame, ADeviceControlBeforeTheFirstStartWaitsAndIsThenServed) {
  auto& r = Plug(DefaultConfig(), 0, false);
  ASSERT_TRUE(sys().Run([&] {
    // The stack is not started: the application opens the device itself.
    ASSERT_EQ(sys().Open(r.port->Device(), &r.file), STATUS_SUCCESS);
    ULONG tag = SCARD_ATTR_VENDOR_NAME;
    auto early = sys().StartIoControl(r.file, IOCTL_SMARTCARD_GET_ATTRIBUTE, &tag, 4, 32);
    Wait(kSecond);
    EXPECT_FALSE(early->done);
    sys().CreateThread("pnp", [&] { sys().StartDevice(r.port->Device()); });
    sys().Wait(early);
    EXPECT_EQ(early->status, STATUS_SUCCESS);
  }));
}

TEST_F(Frame, QueryStopIsRefusedWhileARequestIsInsideAndHoldsLaterOnesUntilCancelStop) {
  auto& r = Plug();
  ASSERT_TRUE(sys().Run([&] {
    PFILE_OBJECT file = Open(r);
    // A slow reader keeps a power request inside the library.
    sim::Fault slow;
    slow.kind = sim::FaultKind::kDelay;
    slow.time = 2 * kSecond;
    r.sim->QueueFault(slow);
    ULONG action = SCARD_COLD_RESET;
    auto inside = sys().StartIoControl(file, IOCTL_SMARTCARD_POWER, &action, 4, 64);
    Wait(100 * kMillisecond);
    r.port->ClearRequests();
    size_t before = sys().Log().size();
    EXPECT_EQ(sys().Pnp(r.port->Device(), IRP_MN_QUERY_STOP_DEVICE), STATUS_DEVICE_BUSY);
    for (auto& q : r.port->Requests()) EXPECT_NE(q.major, IRP_MJ_PNP);  // not passed down
    EXPECT_GE(sys().FindLog("[Vxr_PnP] IRP_MN_QUERY_STOP_DEVICE \n", before), 0);
    sys().Wait(inside);
    EXPECT_EQ(inside->status, STATUS_SUCCESS);

    EXPECT_EQ(sys().Pnp(r.port->Device(), IRP_MN_QUERY_STOP_DEVICE), STATUS_SUCCESS);
    ULONG tag = SCARD_ATTR_VENDOR_NAME;
    auto held = sys().StartIoControl(file, IOCTL_SMARTCARD_GET_ATTRIBUTE, &tag, 4, 32);
    Wait(kSecond);
    EXPECT_FALSE(held->done);
    EXPECT_EQ(sys().Pnp(r.port->Device(), IRP_MN_CANCEL_STOP_DEVICE), STATUS_SUCCESS);
    sys().Wait(held);
    EXPECT_EQ(held->status, STATUS_SUCCESS);
  }));
}

TEST_F(Frame, StopThenStartQueriesTheReaderAgainAndRebuildsTheSamSlotOnce) {
  auto& r = Plug();
  PREADER_EXTENSION firstSam = r.de()->SamExtension.ReaderExtension;
  ASSERT_NE(firstSam, nullptr);
  EXPECT_EQ(sys().Pnp(r.port->Device(), IRP_MN_QUERY_STOP_DEVICE), STATUS_SUCCESS);
  EXPECT_EQ(sys().Pnp(r.port->Device(), IRP_MN_STOP_DEVICE), STATUS_SUCCESS);
  EXPECT_FALSE(r.port->IsOpen());
  sys().ClearLog();
  auto pool = sys().Pool().liveBlocksByTag[vk::PoolTag("Ddk ")];
  EXPECT_EQ(sys().StartDevice(r.port->Device()), STATUS_SUCCESS);
  EXPECT_GE(sys().FindLog("[Vxr_StartDevice] get reader type success\n"), 0);
  EXPECT_TRUE(r.port->IsOpen());
  EXPECT_EQ(sys().Pool().liveBlocksByTag[vk::PoolTag("Ddk ")], pool);  // the old SAM record went
  EXPECT_EQ(r.de()->SamExtension.ReaderExtension->Slot, 1u);
}

TEST_F(Frame, RemovalWithTrackingArmedAndARequestHeldAtTheClosedGate) {
  auto& r = Plug();
  ASSERT_TRUE(sys().Run([&] {
    ASSERT_EQ(sys().Open(r.port->Device(), &r.file), STATUS_SUCCESS);
    EXPECT_TRUE(r.port->WaitPending());
    EXPECT_EQ(sys().Pnp(r.port->Device(), IRP_MN_QUERY_STOP_DEVICE), STATUS_SUCCESS);
    ULONG tag = SCARD_ATTR_VENDOR_NAME;
    auto held = sys().StartIoControl(r.file, IOCTL_SMARTCARD_GET_ATTRIBUTE, &tag, 4, 32);
    Wait(kSecond);
    EXPECT_FALSE(held->done);
    sys().Close(r.file);
    r.file = nullptr;
    sys().ClearLog();
    EXPECT_EQ(sys().SurpriseRemoveDevice(r.port->Device()), STATUS_SUCCESS);
    sys().Wait(held);
    EXPECT_EQ(held->status, STATUS_DEVICE_REMOVED);
    EXPECT_GE(sys().FindLog("[Vxr_SerialEvent] SerialWaitMask is 0 it's time to CloseSerialPort\n"), 0);
    EXPECT_FALSE(r.port->IsOpen());
    EXPECT_EQ(r.port->Device()->AttachedDevice, nullptr);
  }));
  EXPECT_EQ(sys().Pool().liveBlocksByTag.count(vk::PoolTag("Ddk ")), 0u);
}

TEST_F(Frame, SleepAndWakeWithACardCompletesTheTrackingRequestAndReopensTheGate) {
  auto& r = Plug();
  ASSERT_TRUE(sys().Run([&] {
    PFILE_OBJECT file = Open(r);
    auto absent = sys().StartIoControl(file, IOCTL_SMARTCARD_IS_ABSENT, nullptr, 0, 0);
    Wait(100 * kMillisecond);
    EXPECT_EQ(sys().SystemPower(r.port->Device(), IRP_MN_QUERY_POWER, PowerSystemSleeping3), STATUS_SUCCESS);
    EXPECT_EQ(sys().SystemPower(r.port->Device(), IRP_MN_SET_POWER, PowerSystemSleeping3), STATUS_SUCCESS);
    Wait(100 * kMillisecond);
    EXPECT_EQ(sys().DevicePower(r.fdo()), PowerDeviceD3);
    EXPECT_TRUE(r.card()->PowerRequest);
    EXPECT_FALSE(absent->done);
    EXPECT_EQ(sys().SystemPower(r.port->Device(), IRP_MN_SET_POWER, PowerSystemWorking), STATUS_SUCCESS);
    Wait(100 * kMillisecond);
    EXPECT_EQ(sys().DevicePower(r.fdo()), PowerDeviceD0);
    EXPECT_TRUE(absent->done);
    EXPECT_EQ(absent->status, STATUS_SUCCESS);
    EXPECT_EQ(KeReadStateEvent(&r.de()->ReadyEvent), 1);
  }));
}

TEST_F(Frame, ACardInsertedDuringSleepIsReportedAtWake) {
  auto config = DefaultConfig();
  config.userCard = nullptr;
  auto& r = Plug(config);
  ASSERT_TRUE(sys().Run([&] {
    PFILE_OBJECT file = Open(r);
    auto present = sys().StartIoControl(file, IOCTL_SMARTCARD_IS_PRESENT, nullptr, 0, 0);
    Wait(100 * kMillisecond);
    EXPECT_EQ(sys().SystemPower(r.port->Device(), IRP_MN_QUERY_POWER, PowerSystemSleeping3), STATUS_SUCCESS);
    EXPECT_EQ(sys().SystemPower(r.port->Device(), IRP_MN_SET_POWER, PowerSystemSleeping3), STATUS_SUCCESS);
    EXPECT_FALSE(r.card()->CardPresent);
    r.sim->InsertCard(sim::MakeT1Card(), 0);
    Wait(100 * kMillisecond);
    // Seen and recorded, but nothing is completed while the device sleeps.
    EXPECT_EQ(r.de()->SmartcardExtension.ReaderCapabilities.CurrentState, ULONG(SCARD_SWALLOWED));
    EXPECT_FALSE(present->done);
    EXPECT_EQ(sys().SystemPower(r.port->Device(), IRP_MN_SET_POWER, PowerSystemWorking), STATUS_SUCCESS);
    Wait(100 * kMillisecond);
    EXPECT_TRUE(present->done);
    EXPECT_EQ(present->status, STATUS_SUCCESS);
  }));
}

TEST_F(Frame, APoweredCardIsLeftForAResetAfterSleep) {
  auto& r = Plug();
  ASSERT_TRUE(sys().Run([&] {
    PFILE_OBJECT file = Open(r);
    ASSERT_EQ(Control(file, IOCTL_SMARTCARD_POWER, Ulong(SCARD_COLD_RESET), 64).status, STATUS_SUCCESS);
    ASSERT_EQ(Control(file, IOCTL_SMARTCARD_SET_PROTOCOL, Ulong(SCARD_PROTOCOL_T1), 4).status, STATUS_SUCCESS);
    EXPECT_EQ(sys().SystemPower(r.port->Device(), IRP_MN_SET_POWER, PowerSystemSleeping3), STATUS_SUCCESS);
    EXPECT_EQ(sys().SystemPower(r.port->Device(), IRP_MN_SET_POWER, PowerSystemWorking), STATUS_SUCCESS);
    Wait(100 * kMillisecond);
    EXPECT_EQ(r.de()->SmartcardExtension.ReaderCapabilities.CurrentState, ULONG(SCARD_SWALLOWED));
    auto apdu = Control(file, IOCTL_SMARTCARD_TRANSMIT, Transmit(SCARD_PROTOCOL_T1, {0x00, 0x84, 0x00, 0x00, 0x08}), 64);
    EXPECT_NE(apdu.status, STATUS_SUCCESS);  // no protocol in force: the card must be reset first
    ASSERT_EQ(Control(file, IOCTL_SMARTCARD_POWER, Ulong(SCARD_COLD_RESET), 64).status, STATUS_SUCCESS);
  }));
}

TEST_F(Frame, ASleepQueryWithoutSleepReopensTheGateAndAFailedDeviceRequestFailsTheSystemOne) {
  auto& r = Plug();
  EXPECT_EQ(sys().SystemPower(r.port->Device(), IRP_MN_QUERY_POWER, PowerSystemSleeping1), STATUS_SUCCESS);
  EXPECT_EQ(KeReadStateEvent(&r.de()->ReadyEvent), 1);
  EXPECT_EQ(sys().SystemPower(r.port->Device(), IRP_MN_QUERY_POWER, PowerSystemHibernate), STATUS_SUCCESS);
  EXPECT_EQ(KeReadStateEvent(&r.de()->ReadyEvent), 0);
  EXPECT_EQ(sys().SystemPower(r.port->Device(), IRP_MN_SET_POWER, PowerSystemWorking), STATUS_SUCCESS);
  EXPECT_EQ(KeReadStateEvent(&r.de()->ReadyEvent), 1);

  sys().FailNextPowerRequest(1, STATUS_INSUFFICIENT_RESOURCES);
  EXPECT_EQ(sys().SystemPower(r.port->Device(), IRP_MN_SET_POWER, PowerSystemHibernate),
            STATUS_INSUFFICIENT_RESOURCES);
  // The remove lock was released: removal does not hang.
}

}  // namespace
