#include "driver/bill_table.h"

#include <algorithm>
#include <limits>

namespace notavero {

namespace {

// multiplier x 10^exponent x kCurrencyScale, or 0 when it overflows.
CurrencyAmount EntryValue(uint8_t multiplier, uint8_t exponent) {
  constexpr CurrencyAmount kMax = std::numeric_limits<CurrencyAmount>::max();
  CurrencyAmount value = CurrencyAmount{multiplier} * kCurrencyScale;
  for (unsigned i = 0; i < exponent && value != 0; ++i) {
    if (value > kMax / 10) {
      return 0;
    }
    value *= 10;
  }
  return value;
}

constexpr std::array<CurrencyAmount, 6> kEnabledValues = {
    10 * kCurrencyScale,  50 * kCurrencyScale,   100 * kCurrencyScale,
    500 * kCurrencyScale, 1000 * kCurrencyScale, 5000 * kCurrencyScale,
};

}  // namespace

BillValueTable TableValues(const BillTable& table) {
  constexpr std::array<char, 3> kRouble = {'R', 'U', 'S'};
  BillValueTable values{};
  for (std::size_t i = 0; i < kBillTypeCount; ++i) {
    if (table[i].country == kRouble) {
      values[i] = EntryValue(table[i].multiplier, table[i].exponent);
    }
  }
  return values;
}

uint32_t EnableMask(const BillValueTable& values) {
  uint32_t mask = 0;
  for (std::size_t i = 0; i < kBillTypeCount; ++i) {
    if (std::find(kEnabledValues.begin(), kEnabledValues.end(), values[i]) != kEnabledValues.end()) {
      mask |= 1U << i;
    }
  }
  return mask;
}

}  // namespace notavero
