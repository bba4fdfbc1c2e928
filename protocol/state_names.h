// English names of device states and rejection reasons, for tools and hosts
// that do not show the Russian state texts.
#pragma once

#include <cstdint>

namespace notavero {

// The state byte's name ("idling", "stacker full"); "unknown" when unlisted.
const char* StateName(uint8_t state);
// The reason of a rejection (sub-code of state 0x1C); "unknown" when unlisted.
const char* RejectReasonName(uint8_t sub_code);

}  // namespace notavero
