#include "protocol/frame.h"

#include <algorithm>
#include <stdexcept>

namespace notavero {

std::size_t BuildFrame(TxFrame& frame, const uint8_t* payload, std::size_t n) {
  if (n < 1 || n > kMaxPayload) {
    throw std::out_of_range("frame payload must be 1 to 250 bytes");
  }
  const std::size_t length = n + kFrameOverhead;
  frame[0] = kFrameSync;
  frame[1] = kFrameAddress;
  frame[2] = static_cast<uint8_t>(length);
  std::copy_n(payload, n, frame.begin() + 3);
  const uint16_t crc = Crc16(frame.data(), n + 3);
  frame[3 + n] = static_cast<uint8_t>(crc & 0xFF);
  frame[4 + n] = static_cast<uint8_t>(crc >> 8);
  return length;
}

bool FrameCrcGood(const uint8_t* frame, std::size_t length) {
  if (length < kMinFrameLength) {
    return false;
  }
  const uint16_t expected = static_cast<uint16_t>(frame[length - 2] | (frame[length - 1] << 8));
  return Crc16(frame, length - 2) == expected;
}

}  // namespace notavero
