// Bill table decoding and the enable mask from arbitrary 125-byte replies:
// each entry is worth multiplier x 10^exponent only with the country "RUS"
// and only while that fits, computed here in 128 bits; the mask has exactly
// the types worth 10, 50, 100, 500, 1000 or 5000.

#include <array>
#include <cstddef>
#include <cstdint>
#include <limits>

#include "driver/bill_table.h"
#include "fuzz/fuzz_check.h"

using namespace notavero;

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, std::size_t size) {
  std::array<uint8_t, kBillTableFrameLength> frame{};
  for (std::size_t i = 0; i < frame.size() && i < size; ++i) {
    frame[i] = data[i];
  }
  const BillValueTable values = TableValues(DecodeBillTable(frame.data()));
  uint32_t mask = 0;
  for (std::size_t i = 0; i < kBillTypeCount; ++i) {
    const uint8_t* entry = frame.data() + 3 + i * kBillTableEntrySize;
    __int128 expected = 0;
    if (entry[1] == 'R' && entry[2] == 'U' && entry[3] == 'S') {
      expected = static_cast<__int128>(entry[0]) * kCurrencyScale;
      for (int e = 0; e < entry[4] && expected != 0; ++e) {
        expected *= 10;
        if (expected > std::numeric_limits<CurrencyAmount>::max()) {
          expected = 0;
          break;
        }
      }
    }
    FUZZ_CHECK(values[i] == static_cast<CurrencyAmount>(expected));
    for (const int units : {10, 50, 100, 500, 1000, 5000}) {
      if (values[i] == units * kCurrencyScale) {
        mask |= 1U << i;
      }
    }
  }
  FUZZ_CHECK(EnableMask(values) == mask);
  FUZZ_CHECK((mask >> kBillTypeCount) == 0);
  return 0;
}
