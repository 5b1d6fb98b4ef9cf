// T=0 and raw request builders and reply functions.
#include <gtest/gtest.h>

#include <cstring>
#include <vector>

#include "platform/smclib.h"

namespace {

using Bytes = std::vector<std::uint8_t>;

// A record with its own buffers, set up as the reader driver calls the
// builders: request length 5, the caller's command behind an SCARD_IO_REQUEST.
struct Record {
  SMARTCARD_EXTENSION ext{};
  Bytes request = Bytes(1048), reply = Bytes(1048), input, output;
  ULONG information = 0;

  explicit Record(const Bytes& command, ULONG protocol = SCARD_PROTOCOL_T0, size_t outCapacity = 300) {
    ext.SmartcardRequest = {request.data(), 1048, 5};
    ext.SmartcardReply = {reply.data(), 1048, 0};
    SCARD_IO_REQUEST pci = {protocol, 8};
    input.resize(8);
    std::memcpy(input.data(), &pci, 8);
    input.insert(input.end(), command.begin(), command.end());
    output.assign(8 + outCapacity, 0xEE);
    ext.IoRequest = {&information, input.data(), ULONG(input.size()), output.data(), ULONG(output.size())};
  }
  Bytes Built() const { return Bytes(request.begin() + 5, request.begin() + ext.SmartcardRequest.BufferLength); }
  void Answer(const Bytes& card) {
    if (!card.empty()) std::memcpy(reply.data(), card.data(), card.size());
    ext.SmartcardReply.BufferLength = ULONG(card.size());
  }
  Bytes Delivered() const { return Bytes(output.begin() + 8, output.begin() + information); }
};

struct T0Case {
  const char* name;
  Bytes apdu;
  NTSTATUS status;
  Bytes sent;  // what goes to the reader behind the 5 bytes
};

class T0Request : public ::testing::TestWithParam<T0Case> {};

TEST_P(T0Request, BuildsTheTpdu) {
  const T0Case& c = GetParam();
  Record r(c.apdu);
  EXPECT_EQ(SmartcardT0Request(&r.ext), c.status);
  if (c.status == STATUS_SUCCESS) EXPECT_EQ(r.Built(), c.sent);
  else EXPECT_EQ(r.ext.SmartcardRequest.BufferLength, 5u);
}

INSTANTIATE_TEST_SUITE_P(
    Cases, T0Request,
    ::testing::Values(
        T0Case{"Case1", {0x00, 0x70, 0x00, 0x00}, STATUS_SUCCESS, {0x00, 0x70, 0x00, 0x00, 0x00}},
        T0Case{"Case2", {0x00, 0xB0, 0x00, 0x00, 0xFF}, STATUS_SUCCESS, {0x00, 0xB0, 0x00, 0x00, 0xFF}},
        T0Case{"Case3", {0x00, 0xA4, 0x00, 0x0C, 0x02, 0x3F, 0x00}, STATUS_SUCCESS,
               {0x00, 0xA4, 0x00, 0x0C, 0x02, 0x3F, 0x00}},
        T0Case{"Case4DropsLe", {0x00, 0xA4, 0x00, 0x00, 0x02, 0x3F, 0x00, 0x00}, STATUS_SUCCESS,
               {0x00, 0xA4, 0x00, 0x00, 0x02, 0x3F, 0x00}},
        T0Case{"TooShort", {0x00, 0xA4, 0x00}, STATUS_INVALID_PARAMETER, {}},
        T0Case{"LcBeyondData", {0x00, 0xD6, 0x00, 0x00, 0x05, 0x01, 0x02}, STATUS_INVALID_PARAMETER, {}},
        T0Case{"LcZero", {0x00, 0xD6, 0x00, 0x00, 0x00, 0x01}, STATUS_INVALID_PARAMETER, {}},
        T0Case{"TwoBytesTooMany", {0x00, 0xD6, 0x00, 0x00, 0x01, 0x01, 0x02, 0x03}, STATUS_INVALID_PARAMETER, {}}),
    [](const auto& info) { return std::string(info.param.name); });

TEST(T0Reply, CopiesDataAndStatusBehindTheHeader) {
  Record r({0x00, 0xB0, 0x00, 0x00, 0x04});
  ASSERT_EQ(SmartcardT0Request(&r.ext), STATUS_SUCCESS);
  r.Answer({1, 2, 3, 4, 0x90, 0x00});
  ASSERT_EQ(SmartcardT0Reply(&r.ext), STATUS_SUCCESS);
  EXPECT_EQ(r.information, 14u);
  EXPECT_EQ(r.Delivered(), (Bytes{1, 2, 3, 4, 0x90, 0x00}));
  SCARD_IO_REQUEST pci;
  std::memcpy(&pci, r.output.data(), 8);
  EXPECT_EQ(pci.dwProtocol, ULONG(SCARD_PROTOCOL_T0));
  EXPECT_EQ(pci.cbPciLength, 8u);
}

TEST(T0Reply, RefusesAnswersThatCannotBeRight) {
  struct Case {
    const char* name;
    Bytes answer;
    size_t capacity;
    NTSTATUS status;
  } cases[] = {
      {"OnlySw1", {0x90}, 300, STATUS_DEVICE_PROTOCOL_ERROR},
      {"MoreDataThanLe", {1, 2, 3, 4, 5, 0x90, 0x00}, 300, STATUS_DEVICE_PROTOCOL_ERROR},
      {"CallerBufferShort", {1, 2, 3, 4, 0x90, 0x00}, 5, STATUS_BUFFER_TOO_SMALL},
      {"FewerBytesAndStatus", {0x6C, 0x02}, 300, STATUS_SUCCESS},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    Record r({0x00, 0xB0, 0x00, 0x00, 0x04}, SCARD_PROTOCOL_T0, c.capacity);
    ASSERT_EQ(SmartcardT0Request(&r.ext), STATUS_SUCCESS);
    r.Answer(c.answer);
    EXPECT_EQ(SmartcardT0Reply(&r.ext), c.status);
    if (c.status != STATUS_SUCCESS) EXPECT_EQ(r.information, 0u);
  }
  // A stated length beyond the reply buffer is not read.
  Record r({0x00, 0xB0, 0x00, 0x00, 0x00});
  ASSERT_EQ(SmartcardT0Request(&r.ext), STATUS_SUCCESS);
  r.ext.SmartcardReply.BufferLength = 2000;
  EXPECT_EQ(SmartcardT0Reply(&r.ext), STATUS_DEVICE_PROTOCOL_ERROR);
}

TEST(T0Reply, Le256TakesAFullAnswer) {
  Record r({0x00, 0xB0, 0x00, 0x00, 0x00});
  ASSERT_EQ(SmartcardT0Request(&r.ext), STATUS_SUCCESS);
  Bytes answer(256, 0x5A);
  answer.push_back(0x90);
  answer.push_back(0x00);
  r.Answer(answer);
  ASSERT_EQ(SmartcardT0Reply(&r.ext), STATUS_SUCCESS);
  EXPECT_EQ(r.Delivered(), answer);
}

TEST(Requests, MalformedCallerHeaderIsRefused) {
  Record r({0x00, 0xB0, 0x00, 0x00, 0x04});
  SCARD_IO_REQUEST pci = {SCARD_PROTOCOL_T0, 4000};  // longer than the input
  std::memcpy(r.input.data(), &pci, 8);
  EXPECT_EQ(SmartcardT0Request(&r.ext), STATUS_INVALID_PARAMETER);
  EXPECT_EQ(SmartcardRawRequest(&r.ext), STATUS_INVALID_PARAMETER);
  EXPECT_EQ(SmartcardT1Request(&r.ext), STATUS_INVALID_PARAMETER);
  r.ext.IoRequest.RequestBufferLength = 7;
  EXPECT_EQ(SmartcardT0Request(&r.ext), STATUS_INVALID_PARAMETER);
}

TEST(Raw, PassesBytesBothWays) {
  Record r({0xAA, 0xBB, 0xCC}, SCARD_PROTOCOL_RAW);
  ASSERT_EQ(SmartcardRawRequest(&r.ext), STATUS_SUCCESS);
  EXPECT_EQ(r.Built(), (Bytes{0xAA, 0xBB, 0xCC}));
  r.Answer({0x01, 0x02});
  ASSERT_EQ(SmartcardRawReply(&r.ext), STATUS_SUCCESS);
  EXPECT_EQ(r.Delivered(), (Bytes{0x01, 0x02}));
  // A raw command that does not fit behind the 5 bytes of the request buffer.
  Record big(Bytes(1044, 0x11), SCARD_PROTOCOL_RAW);
  EXPECT_EQ(SmartcardRawRequest(&big.ext), STATUS_BUFFER_TOO_SMALL);
  Record fits(Bytes(1043, 0x11), SCARD_PROTOCOL_RAW);
  EXPECT_EQ(SmartcardRawRequest(&fits.ext), STATUS_SUCCESS);
  EXPECT_EQ(fits.ext.SmartcardRequest.BufferLength, 1048u);
}

}  // namespace
