// notavero log: the driver's log files read for people and for tools.
#pragma once

#include "tools/notavero/commands.h"

namespace notavero::tool {

int LogCommand(const Args& args);

}  // namespace notavero::tool
