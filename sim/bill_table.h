// The simulated validator's bill table: 24 entries of multiplier, country
// code and decimal exponent, as the device sends them in its table reply.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>

#include "protocol/codes.h"

namespace notavero::sim {

struct BillTableEntry {
  uint8_t multiplier = 0;
  std::array<char, 3> country{};  // three ASCII letters; all zero for an empty entry
  uint8_t exponent = 0;

  [[nodiscard]] bool Empty() const { return multiplier == 0; }
  // multiplier x 10^exponent in currency units; 0 for an empty entry and for
  // a value that does not fit 64 bits.
  [[nodiscard]] uint64_t Value() const;
  // "100 RUS", or "-" for an empty entry.
  [[nodiscard]] std::string Describe() const;
};

using BillTable = std::array<BillTableEntry, kBillTypeCount>;

// Types 2..7 hold 10, 50, 100, 500, 1000 and 5000 "RUS"; the rest is empty.
BillTable DefaultBillTable();

// The 120 payload bytes of the table reply: five bytes an entry.
std::array<uint8_t, kBillTypeCount * kBillTableEntrySize> BillTablePayload(const BillTable& table);

// Parses a table text.  One line per entry, entry 0 first: "MULTIPLIER
// COUNTRY EXPONENT" (for instance "5 RUS 2" for 500), or "-" for an empty
// entry.  Blank lines and text after '#' are ignored; entries after the last
// line are empty.  Returns an error message naming the line, or "" on success.
std::string ParseBillTable(std::string_view text, BillTable& table);

// Reads and parses a table file; throws std::runtime_error with a message
// that names the file when it cannot be read or parsed.
BillTable LoadBillTableFile(const std::string& path);

}  // namespace notavero::sim
