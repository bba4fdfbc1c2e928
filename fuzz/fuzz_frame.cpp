// The frame check and the frame builder: FrameCrcGood agrees with the CRC
// computed here, and every frame BuildFrame makes passes the check, carries
// its payload and fails the check once any one bit of it is flipped.

#include <cstddef>
#include <cstdint>
#include <stdexcept>

#include "fuzz/fuzz_check.h"
#include "protocol/frame.h"

using namespace notavero;

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, std::size_t size) {
  const bool expected =
      size >= kMinFrameLength &&
      Crc16(data, size - 2) == static_cast<uint16_t>(data[size - 2] | (data[size - 1] << 8));
  FUZZ_CHECK(FrameCrcGood(data, size) == expected);

  if (size < 2) {
    return 0;
  }
  // First byte: which bit to flip; the rest: the payload.
  const uint8_t flip = data[0];
  const uint8_t* payload = data + 1;
  const std::size_t n = size - 1;
  TxFrame frame{};
  if (n > kMaxPayload) {
    bool thrown = false;
    try {
      BuildFrame(frame, payload, n);
    } catch (const std::out_of_range&) {
      thrown = true;
    }
    FUZZ_CHECK(thrown);
    return 0;
  }
  const std::size_t length = BuildFrame(frame, payload, n);
  FUZZ_CHECK(length == n + kFrameOverhead);
  FUZZ_CHECK(frame[0] == kFrameSync && frame[1] == kFrameAddress && frame[2] == length);
  for (std::size_t k = 0; k < n; ++k) {
    FUZZ_CHECK(frame[3 + k] == payload[k]);
  }
  FUZZ_CHECK(FrameCrcGood(frame.data(), length));
  // The CRC finds every single-bit error.
  const std::size_t bit = flip % (length * 8);
  frame[bit / 8] ^= static_cast<uint8_t>(1U << (bit % 8));
  FUZZ_CHECK(!FrameCrcGood(frame.data(), length));
  return 0;
}
