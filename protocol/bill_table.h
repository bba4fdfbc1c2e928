// The bill table as it travels on the line: 24 entries of multiplier,
// country code and decimal exponent, five bytes each, in the payload of the
// table reply.  The one encoder (the simulator) and decoder (the driver, the
// log reader, the tool's frame decoding) of that payload.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <string>

#include "protocol/codes.h"

namespace notavero {

struct BillTableEntry {
  uint8_t multiplier = 0;
  std::array<char, 3> country{};  // three ASCII letters; all zero for an empty entry
  uint8_t exponent = 0;

  bool operator==(const BillTableEntry&) const = default;
  [[nodiscard]] bool Empty() const { return multiplier == 0; }
  // multiplier x 10^exponent in currency units; 0 for an empty entry and for
  // a value that does not fit 64 bits.
  [[nodiscard]] uint64_t Value() const;
  // "100 RUS", or "-" for an empty entry.
  [[nodiscard]] std::string Describe() const;
};

using BillTable = std::array<BillTableEntry, kBillTypeCount>;

inline constexpr std::size_t kBillTablePayloadSize = kBillTypeCount * kBillTableEntrySize;
static_assert(kBillTableFrameLength == 3 + kBillTablePayloadSize + 2);

// The payload of the table reply: five bytes an entry, entry 0 first.
std::array<uint8_t, kBillTablePayloadSize> EncodeBillTable(const BillTable& table);

// The entries of a table reply frame of kBillTableFrameLength bytes (sync
// first).
BillTable DecodeBillTable(const uint8_t* frame);

}  // namespace notavero
