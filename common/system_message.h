// The Windows system's message for an error code (GetLastError), in the ANSI
// code page, without the trailing line end and full stop; "error N" when the
// system has none.  Built on Windows only, for the platform backends.
#pragma once

#include <cstdint>
#include <string>

namespace notavero {

std::string SystemMessage(uint32_t code);

}  // namespace notavero
