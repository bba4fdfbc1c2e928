// Bill values: what the driver makes of the device's bill table (decoded by
// protocol/bill_table.h), and the mask of bill types to enable.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>

#include "protocol/bill_table.h"
#include "protocol/codes.h"

namespace notavero {

// Money as a signed 64-bit fixed-point count of 1/10000 currency units:
// 10 currency units are 100000.
using CurrencyAmount = int64_t;
inline constexpr CurrencyAmount kCurrencyScale = 10000;

// Value of each bill type 0..23; 0 where the type is not in use.
using BillValueTable = std::array<CurrencyAmount, kBillTypeCount>;

// The values of a bill table.  An entry counts only when its country code
// is exactly "RUS"; its value is multiplier x 10^exponent currency units.  An
// entry whose value does not fit a CurrencyAmount is treated as not in use
// (0).
BillValueTable TableValues(const BillTable& table);

// Mask of the bill types whose value is one of 10, 50, 100, 500, 1000 or
// 5000 currency units: the only ones the driver ever enables.
uint32_t EnableMask(const BillValueTable& values);

}  // namespace notavero
