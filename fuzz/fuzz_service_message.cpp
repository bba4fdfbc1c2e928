// notavero-serve's reading of client messages: any bytes give either a
// command within the size limits or an error text, never both; a command
// written back as JSON reads back the same; and any text, valid UTF-8 or
// not, becomes a JSON string that parses back (to the text itself when it
// is valid UTF-8).

#include <cstddef>
#include <cstdint>
#include <nlohmann/json.hpp>
#include <string>
#include <string_view>

#include "fuzz/fuzz_check.h"
#include "service/messages.h"

using namespace notavero::service;

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, std::size_t size) {
  const std::string_view text(reinterpret_cast<const char*>(data), size);
  const ParsedCommand parsed = ParseCommand(text);
  FUZZ_CHECK(parsed.command.has_value() != !parsed.error.empty());
  FUZZ_CHECK(parsed.ref.size() <= kMaxNameBytes);
  if (parsed.command) {
    const Command& command = *parsed.command;
    FUZZ_CHECK(size <= kMaxMessageBytes);
    FUZZ_CHECK(command.device.size() <= kMaxNameBytes && command.token.size() <= kMaxTokenBytes);
    FUZZ_CHECK(command.id >= 0 && command.since >= -1);

    nlohmann::json again = {{"cmd", std::string(CommandName(command.kind))}};
    if (!command.device.empty()) again["device"] = command.device;
    if (command.id != 0) again["id"] = command.id;
    if (command.since >= 0) again["since"] = command.since;
    if (!command.token.empty()) again["token"] = command.token;
    if (!command.ref.empty()) again["ref"] = command.ref;
    const ParsedCommand reread = ParseCommand(again.dump());
    FUZZ_CHECK(reread.command.has_value());
    FUZZ_CHECK(reread.command->kind == command.kind && reread.command->device == command.device &&
               reread.command->id == command.id && reread.command->since == command.since &&
               reread.command->token == command.token && reread.command->ref == command.ref);
  }

  const std::string quoted = JsonString(text);
  const auto value = nlohmann::json::parse(quoted, nullptr, false);
  FUZZ_CHECK(value.is_string());
  const bool valid_utf8 = quoted.find("\xEF\xBF\xBD") == std::string::npos;
  FUZZ_CHECK(!valid_utf8 || value.get<std::string>() == text);
  return 0;
}
