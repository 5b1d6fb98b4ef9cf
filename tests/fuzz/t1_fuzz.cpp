// libFuzzer target: the T=1 reply handling. The input is a few setup bytes
// and then the card's answers, each as a length byte and that many bytes
// (length 0: the reader got nothing). The host side runs two commands against
// them; once the answers run out the card stays silent, and the library must
// then give up within a few blocks.
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <vector>

#include "platform/smclib.h"

namespace {

struct Input {
  const std::uint8_t* data;
  std::size_t size;
  std::size_t pos = 0;
  bool More() const { return pos < size; }
  std::uint8_t Byte() { return pos < size ? data[pos++] : 0; }
};

// Runs one command; returns the number of passes made after the input ran out.
unsigned RunCommand(SMARTCARD_EXTENSION& ext, Input& in, std::vector<std::uint8_t>& replyBuffer,
                    ULONG commandLength, ULONG replyCapacity) {
  std::vector<std::uint8_t> request(8 + commandLength);
  SCARD_IO_REQUEST pci = {SCARD_PROTOCOL_T1, 8};
  std::memcpy(request.data(), &pci, 8);
  for (ULONG i = 0; i < commandLength; ++i) request[8 + i] = static_cast<std::uint8_t>(i);
  std::vector<std::uint8_t> out(8 + replyCapacity);
  ULONG information = 0;
  ext.IoRequest = {&information, request.data(), ULONG(request.size()), out.data(), ULONG(out.size())};

  unsigned silentPasses = 0;
  NTSTATUS status;
  do {
    ext.SmartcardRequest.BufferLength = 5;
    status = SmartcardT1Request(&ext);
    if (status != STATUS_SUCCESS) break;
    if (ext.SmartcardRequest.BufferLength > ext.SmartcardRequest.BufferSize) std::abort();
    // The card's answer, in a buffer exactly as long as the bytes given.
    std::size_t n = 0;
    if (in.More()) {
      n = in.Byte();
      if (n > in.size - in.pos) n = in.size - in.pos;
    } else if (++silentPasses > 64) {
      std::abort();  // the library keeps asking a silent card
    }
    std::memcpy(replyBuffer.data(), in.data + in.pos, n);
    in.pos += n;
    ext.SmartcardReply.BufferLength = ULONG(n);
    if (n == 0) ext.T1.OriginalState = ULONG(STATUS_IO_TIMEOUT);
    status = SmartcardT1Reply(&ext);
    if (information > out.size()) std::abort();
  } while (status == STATUS_MORE_PROCESSING_REQUIRED);
  if (status == STATUS_SUCCESS && information < 8) std::abort();
  return silentPasses;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  Input in{data, size};
  const std::uint8_t flags = in.Byte();
  SMARTCARD_EXTENSION ext;
  std::memset(&ext, 0, sizeof ext);
  std::vector<std::uint8_t> request(1048), reply(1048);
  ext.SmartcardRequest = {request.data(), 1048, 0};
  ext.SmartcardReply = {reply.data(), 1048, 0};
  ext.CardCapabilities.T1.EDC = flags & 0x01;
  ext.CardCapabilities.T1.IFSC = in.Byte();
  ext.ReaderCapabilities.MaxIFSD = in.Byte();
  ext.T1.State = T1_INIT;
  ext.T1.IFSC = ext.CardCapabilities.T1.IFSC;
  ext.T1.IFSD = 32;
  const ULONG commandLength = 1 + ((ULONG(in.Byte()) << 2) | (flags >> 6));
  const ULONG replyCapacity = (flags & 0x02) ? 300 : 16;
  RunCommand(ext, in, reply, commandLength, replyCapacity);
  RunCommand(ext, in, reply, 5, 300);
  return 0;
}
