// Fuzz target: reply collection and frame verification.
//
// Any byte stream, in any chunking, stays inside the receive buffer; and a
// valid frame behind line noise, cut anywhere, decodes to its payload.
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <vector>

#include "reader/frame/vx7rd.h"

namespace {

void Check(bool ok) {
  if (!ok) std::abort();
}

// Feeds `stream` to the collector in chunks whose sizes come from `sizes`.
void Collect(READER_EXTENSION* re, const std::vector<std::uint8_t>& stream, const std::uint8_t* sizes, size_t n) {
  SMARTCARD_EXTENSION sc{};
  sc.ReaderExtension = re;
  size_t at = 0, k = 0;
  std::vector<std::uint8_t> chunk;
  while (at < stream.size() && !re->ReceiveOverflow) {
    size_t len = n ? 1 + sizes[k++ % n] % 64 : stream.size();
    if (len > stream.size() - at) len = stream.size() - at;
    chunk.assign(stream.begin() + long(at), stream.begin() + long(at + len));  // exact-size copy for ASan
    Vxr_CollectReply(&sc, chunk.data(), ULONG(chunk.size()));
    Check(re->ReceivedLength <= VXR_BUFFER_SIZE);
    at += len;
  }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, size_t size) {
  if (size < 2) return 0;
  size_t sizeCount = data[0] % 16;
  if (sizeCount + 1 > size) return 0;
  const std::uint8_t* sizes = data + 1;
  std::vector<std::uint8_t> rest(data + 1 + sizeCount, data + size);

  // Arbitrary bytes.
  static READER_EXTENSION re;
  std::memset(&re, 0, sizeof re);
  Collect(&re, rest, sizes, sizeCount);
  ULONG length = re.ReceivedLength;
  LONG result = Vxr_VerifyFrame(re.ReceiveBuffer, &length);
  Check(length <= re.ReceivedLength);
  Check(result == RDD_FRAME_OK || result == RDDERR_NAK || result == RDDERR_DUE || result == RDDERR_INCOMPLETE);
  if (result != RDD_FRAME_OK) Check(length == 0);

  // Noise (no DLE in it) then a frame of a payload taken from the input.
  size_t split = rest.empty() ? 0 : rest[0] % (rest.size() + 1);
  std::vector<std::uint8_t> stream;
  for (size_t i = 0; i < split; ++i)
    if (rest[i] != 0x10) stream.push_back(rest[i]);
  std::vector<std::uint8_t> payload(rest.begin() + long(split), rest.end());
  if (payload.size() > 500) payload.resize(500);
  if (stream.size() > 400) stream.resize(400);
  payload.reserve(1);
  UCHAR frame[VXR_BUFFER_SIZE];
  ULONG frameLength = 0;
  if (Vxr_BuildFrame(frame, sizeof frame, payload.data(), ULONG(payload.size()), &frameLength) != STATUS_SUCCESS)
    return 0;
  stream.insert(stream.end(), frame, frame + frameLength);
  std::memset(&re, 0, sizeof re);
  Collect(&re, stream, sizes, sizeCount);
  length = re.ReceivedLength;
  result = Vxr_VerifyFrame(re.ReceiveBuffer, &length);
  bool nak = payload.size() == 1 && payload[0] == 0x15;
  Check(result == (nak ? RDDERR_NAK : RDD_FRAME_OK));
  if (!nak) {
    Check(length == payload.size() + 1);
    Check(std::memcmp(re.ReceiveBuffer, payload.data(), payload.size()) == 0);
  }
  return 0;
}
