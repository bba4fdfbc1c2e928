// Subcommands of the `notavero` tool.  Each takes its own arguments (without
// the subcommand's name) and returns the process exit status: 0 success,
// 1 a negative answer (a bad frame), 2 bad input.
#pragma once

#include <string>
#include <vector>

namespace notavero::tool {

using Args = std::vector<std::string>;

inline constexpr int kExitOk = 0;
inline constexpr int kExitNegative = 1;
inline constexpr int kExitUsage = 2;

int FrameCommand(const Args& args);
int StateCommand(const Args& args);
int DecodeCommand(const Args& args);
int RunCommand(const Args& args);
int DemoCommand(const Args& args);

// Prints "notavero: <message>" on stderr and returns kExitUsage.
int UsageError(const std::string& message);

// True when the arguments ask for help.
bool WantsHelp(const Args& args);

}  // namespace notavero::tool
