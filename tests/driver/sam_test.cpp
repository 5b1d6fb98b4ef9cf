// The SAM access driver in front of the readers.
#include "stack_fixture.h"

namespace {

using vk::kMillisecond;
using vkt::ByteVec;

class Sam : public vkt::Stack {
 protected:
  PFILE_OBJECT OpenSam() {
    PFILE_OBJECT file = nullptr;
    EXPECT_EQ(sys().Open(L"\\DosDevices\\VX7SAM", &file), STATUS_SUCCESS);
    return file;
  }
};

TEST_F(Sam, NoReaderNoLoad) {
  EXPECT_NE(sys().LoadDriver(VX7SAM_PATH, L"\\Driver\\vx7sam", &sam), STATUS_SUCCESS);
  EXPECT_GE(sys().FindLog("[DriverEntry] STATUS FAILED before QuelmDeleteDevice\n"), 0);
  EXPECT_EQ(sys().FindDevice(L"\\Device\\VX7SAM"), nullptr);
}

TEST_F(Sam, IndexesCountTheReadersFoundAndRequestsReachTheSamSlot) {
  // Readers at units 1 and 3 only: units 0 and 2 are taken and then freed.
  for (int i = 0; i < 4; ++i) Plug();
  sys().RemoveDevice(readers[0].port->Device());
  sys().RemoveDevice(readers[2].port->Device());
  ASSERT_EQ(sys().LoadDriver(VX7SAM_PATH, L"\\Driver\\vx7sam", &sam), STATUS_SUCCESS);
  EXPECT_GE(sys().FindLog("[VxCreateClose] 1 get deviceObject return 0\n"), 0);
  EXPECT_GE(sys().FindLog("[VxCreateClose] 0 get deviceObject return C0000034\n"), 0);
  ASSERT_TRUE(sys().Run([&] {
    PFILE_OBJECT file = OpenSam();
    PFILE_OBJECT second = nullptr;
    EXPECT_EQ(sys().Open(L"\\Device\\VX7SAM", &second), STATUS_ACCESS_DENIED);
    for (int index : {0, 1}) {
      ByteVec in = {UCHAR(index)};
      ByteVec tag = Ulong(SCARD_ATTR_DEVICE_UNIT);
      in.insert(in.end(), tag.begin(), tag.end());
      auto unit = Control(file, IOCTL_SMARTCARD_GET_ATTRIBUTE, in, 4);
      EXPECT_EQ(unit.status, STATUS_SUCCESS);
      EXPECT_EQ(unit.data, Ulong(index == 0 ? 1 : 3));
    }
    for (int index : {2, 3, 4, 255}) {
      auto refused = Control(file, IOCTL_SMARTCARD_GET_ATTRIBUTE, {UCHAR(index), 0, 1, 1, 0}, 32);
      EXPECT_EQ(refused.status, STATUS_UNSUCCESSFUL) << index;
    }
    EXPECT_EQ(Control(file, IOCTL_SMARTCARD_GET_ATTRIBUTE, {}, 32).status, STATUS_INVALID_PARAMETER);

    // The SAM answers a cold reset through the SAM device.
    auto atr = Control(file, IOCTL_SMARTCARD_POWER, {0, 1, 0, 0, 0}, 64);
    EXPECT_EQ(atr.status, STATUS_SUCCESS);
    EXPECT_EQ(atr.data, std::static_pointer_cast<sim::ProcessorCard>(readers[1].sim->CardIn(1))->Atr());

    // IS_ABSENT on the SAM slot pends until cancelled; cleanup leaves it.
    auto absent = sys().StartIoControl(file, IOCTL_SMARTCARD_IS_ABSENT, ByteVec{0}.data(), 1, 0);
    Wait(100 * kMillisecond);
    EXPECT_FALSE(absent->done);
    sys().CancelRequest(absent);
    sys().Wait(absent);
    EXPECT_EQ(absent->status, STATUS_CANCELLED);
    sys().Close(file);
  }));
}

TEST_F(Sam, AReaderRemovedWhileLoadedIsRefusedNotReached) {
  auto& r = Plug();
  ASSERT_EQ(sys().LoadDriver(VX7SAM_PATH, L"\\Driver\\vx7sam", &sam), STATUS_SUCCESS);
  sys().RemoveDevice(r.port->Device());
  ASSERT_TRUE(sys().Run([&] {
    PFILE_OBJECT file = OpenSam();
    auto refused = Control(file, IOCTL_SMARTCARD_GET_ATTRIBUTE, {0, 0, 1, 1, 0}, 32);
    EXPECT_EQ(refused.status, STATUS_DEVICE_REMOVED);
    sys().Close(file);
  }));
}

}  // namespace
