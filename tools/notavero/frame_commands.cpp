// notavero frame / state / decode: the protocol's frames and state texts,
// without a device.

#include <array>
#include <cstdint>
#include <cstdio>
#include <optional>
#include <string>
#include <vector>

#include "common/cp1251.h"
#include "common/hex.h"
#include "protocol/bill_table.h"
#include "protocol/codes.h"
#include "protocol/frame.h"
#include "protocol/state_names.h"
#include "protocol/state_text.h"
#include "tools/notavero/commands.h"

namespace notavero::tool {

namespace {

struct CommandName {
  const char* name;
  TCommand code;
  std::size_t parameters;
};

constexpr CommandName kCommands[] = {
    {"ack", cmdAck, 0},
    {"reset", cmdReset, 0},
    {"get-status", cmdGetStatus, 0},
    {"set-security", cmdSetSecurity, kSecurityParameters.size()},
    {"poll", cmdPoll, 0},
    {"enable", cmdEnableBillTypes, kEnableParameterCount},
    {"stack", cmdStack, 0},
    {"return", cmdReturn, 0},
    {"get-bill-table", cmdGetBillTable, 0},
};

const CommandName* FindCommand(const std::string& name) {
  for (const auto& command : kCommands) {
    if (name == command.name) {
      return &command;
    }
  }
  return nullptr;
}

const CommandName* FindCommand(uint8_t code) {
  for (const auto& command : kCommands) {
    if (code == command.code) {
      return &command;
    }
  }
  return nullptr;
}

std::string CommandList() {
  std::string list;
  for (const auto& command : kCommands) {
    list += list.empty() ? "" : " ";
    list += command.name;
  }
  return list;
}

// A 16-bit word in hexadecimal, with or without 0x; nothing when it is not one.
std::optional<uint16_t> ParseWord(std::string text) {
  if (text.size() > 2 && text[0] == '0' && (text[1] == 'x' || text[1] == 'X')) {
    text.erase(0, 2);
  } else if (text.size() == 5 && text.find_first_not_of("0123456789") == std::string::npos) {
    // Five decimal digits cannot be a hex word: the service's JSON "word".
    const unsigned value = static_cast<unsigned>(std::stoul(text));
    return value <= 0xFFFF ? std::optional<uint16_t>(static_cast<uint16_t>(value)) : std::nullopt;
  }
  if (text.empty() || text.size() > 4) {
    return std::nullopt;
  }
  unsigned value = 0;
  for (const char ch : text) {
    const auto digits = ParseHexBytes(std::string("0") + ch);
    if (!digits) {
      return std::nullopt;
    }
    value = value * 16 + (*digits)[0];
  }
  return static_cast<uint16_t>(value);
}

// A status as the driver's log writes it, "1C-68": the state byte, a dash,
// the sub-code, each one or two hex digits; nothing when it is not one.
std::optional<uint16_t> ParseLogStatus(const std::string& text) {
  const std::size_t dash = text.find('-');
  if (dash == std::string::npos) {
    return std::nullopt;
  }
  const std::string state = text.substr(0, dash);
  const std::string sub_code = text.substr(dash + 1);
  if (state.empty() || state.size() > 2 || sub_code.empty() || sub_code.size() > 2) {
    return std::nullopt;
  }
  const auto state_value = ParseWord(state);
  const auto sub_code_value = ParseWord(sub_code);
  if (!state_value || !sub_code_value) {
    return std::nullopt;
  }
  return MakeStatus(static_cast<uint8_t>(*state_value), static_cast<uint8_t>(*sub_code_value));
}

}  // namespace

int UsageError(const std::string& message) {
  std::fprintf(stderr, "notavero: %s\n", message.c_str());
  return kExitUsage;
}

bool WantsHelp(const Args& args) {
  for (const auto& arg : args) {
    if (arg == "--help" || arg == "-h") {
      return true;
    }
  }
  return false;
}

int FrameCommand(const Args& args) {
  if (WantsHelp(args)) {
    std::printf(
        "usage: notavero frame NAME [HEX...]\n\n"
        "Prints the frame the driver sends for a command, CRC included, as hex bytes.\n"
        "NAME is one of: %s.\n"
        "set-security takes 3 parameter bytes, enable takes 6 (the bill type mask\n"
        "twice); the others take none.  Example: notavero frame enable 00 00 FC 00 00 FC\n",
        CommandList().c_str());
    return kExitOk;
  }
  if (args.empty()) {
    return UsageError("frame: a command name is missing (one of: " + CommandList() + ")");
  }
  const CommandName* command = FindCommand(args[0]);
  if (command == nullptr) {
    return UsageError("frame: unknown command '" + args[0] + "' (one of: " + CommandList() + ")");
  }
  std::vector<uint8_t> payload = {command->code};
  for (std::size_t i = 1; i < args.size(); ++i) {
    const auto bytes = ParseHexBytes(args[i]);
    if (!bytes) {
      return UsageError("frame: '" + args[i] + "' is not hexadecimal bytes");
    }
    payload.insert(payload.end(), bytes->begin(), bytes->end());
  }
  if (payload.size() - 1 != command->parameters) {
    return UsageError("frame: " + std::string(command->name) + " takes " +
                      std::to_string(command->parameters) + " parameter bytes, not " +
                      std::to_string(payload.size() - 1));
  }
  TxFrame frame{};
  const std::size_t length = BuildFrame(frame, payload.data(), payload.size());
  std::printf("%s\n", HexBytes(frame.data(), length).c_str());
  return kExitOk;
}

namespace {

// A status's English name beside the Russian text, for technicians who do not
// read Russian: the state's name, and a rejection's reason with it.
std::string EnglishName(uint16_t status) {
  const auto state = static_cast<uint8_t>(status & 0xFF);
  std::string name = StateName(state);
  if (state == dsBillError) {
    name += std::string(" (") + RejectReasonName(static_cast<uint8_t>(status >> 8)) + ")";
  }
  return name;
}

}  // namespace

int StateCommand(const Args& args) {
  if (WantsHelp(args)) {
    std::puts(
        "usage: notavero state STATUS\n\n"
        "Prints the English name and the state text of a device status, written\n"
        "either way:\n"
        "  1C-68        as the log writes it: the state byte first (1C), then the\n"
        "               sub-code (68), in hex;\n"
        "  681C, 0x681C a 16-bit word in hex: the state is the low byte (1C), the\n"
        "               sub-code the high byte (68).\n"
        "  26652        the same word in decimal, as the service's JSON \"word\"\n"
        "               (five digits; a shorter number is read as hex).\n"
        "All these are the same status, and the answer starts with it as the log\n"
        "writes it (1C-68).  A lone byte (19) is a state without a sub-code.");
    return kExitOk;
  }
  if (args.size() != 1) {
    return UsageError("state: expects exactly one status, such as 1C-68 or 681C");
  }
  const auto status = args[0].find('-') == std::string::npos ? ParseWord(args[0]) : ParseLogStatus(args[0]);
  if (!status) {
    return UsageError("state: '" + args[0] +
                      "' is neither STATE-SUBCODE in hex (1C-68) nor a hex word from 0000 to FFFF");
  }
  std::string code;
  AppendHex2(code, DeviceStateOf(*status));
  code += '-';
  AppendHex2(code, SubCodeOf(*status));
  std::printf("%s %s: %s\n", code.c_str(), EnglishName(*status).c_str(),
              Cp1251ToUtf8(StateToText(*status)).c_str());
  return kExitOk;
}

namespace {

void DescribeSentFrame(const std::vector<uint8_t>& frame) {
  const std::size_t payload = frame.size() - kFrameOverhead;
  const CommandName* command = FindCommand(frame[3]);
  if (command == nullptr || payload != command->parameters + 1) {
    return;
  }
  std::printf("as sent by the driver: %s", command->name);
  if (command->parameters != 0) {
    std::printf(" %s", HexBytes(frame.data() + 4, command->parameters).c_str());
  }
  std::printf("\n");
}

void DescribeReply(const std::vector<uint8_t>& frame) {
  if (frame.size() == 6 || frame.size() == 7) {
    const uint8_t sub_code = frame.size() == 7 ? frame[4] : 0;
    const uint16_t status = MakeStatus(frame[3], sub_code);
    std::string text = "as a poll reply: state ";
    AppendHex2(text, frame[3]);
    text += "-";
    AppendHex2(text, sub_code);
    text += " " + EnglishName(status) + ": " + Cp1251ToUtf8(StateToText(status));
    std::printf("%s\n", text.c_str());
  } else if (frame.size() == kStatusFrameLength) {
    std::printf("as a status reply: enabled types %s, security %s\n", HexBytes(frame.data() + 3, 3).c_str(),
                HexBytes(frame.data() + 6, 3).c_str());
  } else if (frame.size() == kBillTableFrameLength) {
    std::printf("as a bill table reply:\n");
    const BillTable table = DecodeBillTable(frame.data());
    for (std::size_t i = 0; i < table.size(); ++i) {
      const BillTableEntry& entry = table[i];
      if (entry.multiplier == 0 && entry.country == std::array<char, 3>{}) {
        continue;
      }
      std::string country(entry.country.begin(), entry.country.end());
      for (char& ch : country) {
        ch = (ch >= 0x20 && ch < 0x7F) ? ch : '.';
      }
      std::printf("  type %2zu: %u x 10^%u %s\n", i, unsigned{entry.multiplier}, unsigned{entry.exponent},
                  country.c_str());
    }
  }
}

}  // namespace

int DecodeCommand(const Args& args) {
  if (WantsHelp(args)) {
    std::puts(
        "usage: notavero decode HEX...\n\n"
        "Takes one frame as hex bytes (spaces optional), says whether its sync byte,\n"
        "length byte and CRC are good, and what it holds: the command for a frame the\n"
        "driver sends, the state text for a poll reply, the entries of a bill table.\n"
        "Exits 0 for a good frame, 1 for a bad one, 2 for input that is not hex.");
    return kExitOk;
  }
  std::string joined;
  for (const auto& arg : args) {
    joined += arg + " ";
  }
  const auto bytes = ParseHexBytes(joined);
  if (!bytes) {
    return UsageError("decode: the frame must be hexadecimal bytes, such as 02 03 06 33 DA 81");
  }
  const std::vector<uint8_t>& frame = *bytes;
  if (frame.empty()) {
    return UsageError("decode: no frame given");
  }
  if (frame.size() > kMaxFrameLength) {
    return UsageError("decode: " + std::to_string(frame.size()) + " bytes is longer than any frame (255)");
  }

  bool good = true;
  if (frame[0] != kFrameSync) {
    std::printf("sync: bad (%02X, expected 02)\n", frame[0]);
    good = false;
  }
  if (frame.size() < kMinFrameLength) {
    std::printf("length: bad (%zu bytes; a frame has at least 5)\n", frame.size());
    return kExitNegative;
  }
  if (frame[2] == frame.size()) {
    std::printf("length: good (%zu bytes)\n", frame.size());
  } else {
    std::printf("length: bad (length byte says %u, %zu bytes given)\n", unsigned{frame[2]}, frame.size());
    good = false;
  }
  const uint16_t crc = Crc16(frame.data(), frame.size() - 2);
  if (FrameCrcGood(frame.data(), frame.size())) {
    std::printf("crc: good (%02X %02X)\n", crc & 0xFF, crc >> 8);
  } else {
    std::printf("crc: bad (%s given, %02X %02X expected)\n",
                HexBytes(frame.data() + frame.size() - 2, 2).c_str(), crc & 0xFF, crc >> 8);
    good = false;
  }
  DescribeSentFrame(frame);
  DescribeReply(frame);
  return good ? kExitOk : kExitNegative;
}

}  // namespace notavero::tool
