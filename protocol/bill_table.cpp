#include "protocol/bill_table.h"

#include <limits>

namespace notavero {

uint64_t BillTableEntry::Value() const {
  uint64_t value = multiplier;
  for (unsigned i = 0; i < exponent; ++i) {
    if (value > std::numeric_limits<uint64_t>::max() / 10) {
      return 0;
    }
    value *= 10;
  }
  return value;
}

std::string BillTableEntry::Describe() const {
  if (Empty()) {
    return "-";
  }
  std::string text = std::to_string(Value()) + " ";
  for (const char ch : country) {
    text.push_back(ch >= 0x20 && ch < 0x7F ? ch : '?');
  }
  return text;
}

std::array<uint8_t, kBillTablePayloadSize> EncodeBillTable(const BillTable& table) {
  std::array<uint8_t, kBillTablePayloadSize> payload{};
  for (std::size_t i = 0; i < kBillTypeCount; ++i) {
    uint8_t* entry = payload.data() + i * kBillTableEntrySize;
    entry[0] = table[i].multiplier;
    for (std::size_t c = 0; c < table[i].country.size(); ++c) {
      entry[1 + c] = static_cast<uint8_t>(table[i].country[c]);
    }
    entry[4] = table[i].exponent;
  }
  return payload;
}

BillTable DecodeBillTable(const uint8_t* frame) {
  BillTable table{};
  for (std::size_t i = 0; i < kBillTypeCount; ++i) {
    const uint8_t* entry = frame + 3 + i * kBillTableEntrySize;
    table[i].multiplier = entry[0];
    for (std::size_t c = 0; c < table[i].country.size(); ++c) {
      table[i].country[c] = static_cast<char>(entry[1 + c]);
    }
    table[i].exponent = entry[4];
  }
  return table;
}

}  // namespace notavero
