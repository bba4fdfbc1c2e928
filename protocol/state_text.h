// Text of a device status word, as the host and the log show it.
#pragma once

#include <cstdint>
#include <string>

namespace notavero {

// Windows-1251 text for a 16-bit status word (state in the low byte,
// sub-code in the high byte).  Defined for every word; unlisted states and
// sub-codes get a composed text that names the numbers in hexadecimal.
std::string StateToText(uint16_t status);

}  // namespace notavero
