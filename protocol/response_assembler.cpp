#include "protocol/response_assembler.h"

#include "protocol/frame.h"

namespace notavero {

TResponseAssembler::Result TResponseAssembler::Feed(uint8_t byte) {
  if (RxState == 0) {
    if (byte == kFrameSync) {
      RxBuffer[0] = byte;
      RxLength = 1;
      RxState = 1;
    }
    return Result::kIncomplete;
  }
  // A frame is at most 255 bytes, so the buffer cannot fill up while the
  // length byte is honoured; the test keeps a corrupted length from ever
  // storing past it.
  if (RxLength < 1 || RxLength >= static_cast<int32_t>(kBufferSize)) {
    RxState = 0;
    RxLength = 0;
    return Result::kIncomplete;
  }
  RxBuffer[RxLength++] = byte;
  switch (RxState) {
    case 1:  // address: stored, not examined
      RxState = 2;
      return Result::kIncomplete;
    case 2:  // length of the whole frame
      if (byte < kMinFrameLength) {
        // No frame is this short: drop what was gathered and seek the next
        // sync byte instead of waiting for a CRC that never comes.
        RxState = 0;
        RxLength = 0;
        return Result::kIncomplete;
      }
      RxRemaining = byte - 4;
      RxState = 3;
      return Result::kIncomplete;
    case 3:
      if (--RxRemaining == 0) {
        RxState = 4;
      }
      return Result::kIncomplete;
    default:  // 4: the CRC high byte completes the frame
      RxState = 0;
      return FrameCrcGood(RxBuffer.data(), static_cast<std::size_t>(RxLength)) ? Result::kGood
                                                                               : Result::kBadCrc;
  }
}

uint32_t TResponseAssembler::BytesToResult() const {
  switch (RxState) {
    case 0:
      return static_cast<uint32_t>(kMinFrameLength);
    case 1:  // the address is next
      return static_cast<uint32_t>(kMinFrameLength - 1);
    case 2:  // the length is next
      return static_cast<uint32_t>(kMinFrameLength - 2);
    case 3:
      return static_cast<uint32_t>(RxRemaining) + 1;
    default:
      return 1;
  }
}

}  // namespace notavero
