#include "service/messages.h"

#include <array>
#include <charconv>
#include <nlohmann/json.hpp>
#include <utility>

namespace notavero::service {

namespace {

using Json = nlohmann::json;

struct CommandSpelling {
  std::string_view name;
  CommandKind kind;
};

constexpr std::array<CommandSpelling, 7> kCommands = {{
    {"hello", CommandKind::kHello},
    {"enable", CommandKind::kEnable},
    {"disable", CommandKind::kDisable},
    {"stack", CommandKind::kStack},
    {"return", CommandKind::kReturn},
    {"ack", CommandKind::kAck},
    {"status", CommandKind::kStatus},
}};

bool TakesDevice(CommandKind kind) {
  return kind == CommandKind::kEnable || kind == CommandKind::kDisable || kind == CommandKind::kStatus;
}

bool TakesId(CommandKind kind) {
  return kind == CommandKind::kStack || kind == CommandKind::kReturn || kind == CommandKind::kAck;
}

// A string field no longer than limit, or an error.
std::optional<std::string> ShortString(const Json& value, std::size_t limit, std::string& error,
                                       std::string_view key) {
  if (!value.is_string()) {
    error = std::string(key) + " must be a string";
    return std::nullopt;
  }
  const auto& text = value.get_ref<const std::string&>();
  if (text.size() > limit) {
    error = std::string(key) + " is too long";
    return std::nullopt;
  }
  return text;
}

std::optional<int64_t> Integer(const Json& value, int64_t minimum, std::string& error, std::string_view key) {
  if (!value.is_number_integer() || (value.is_number_unsigned() && value.get<uint64_t>() > INT64_MAX)) {
    error = std::string(key) + " must be an integer";
    return std::nullopt;
  }
  const auto number = value.get<int64_t>();
  if (number < minimum) {
    error = std::string(key) + " is out of range";
    return std::nullopt;
  }
  return number;
}

}  // namespace

std::string_view CommandName(CommandKind kind) {
  for (const auto& spelling : kCommands) {
    if (spelling.kind == kind) {
      return spelling.name;
    }
  }
  return "?";
}

ParsedCommand ParseCommand(std::string_view text) {
  ParsedCommand result;
  if (text.size() > kMaxMessageBytes) {
    result.error = "message too large";
    return result;
  }
  const Json message = Json::parse(text, nullptr, false);
  if (message.is_discarded()) {
    result.error = "not JSON";
    return result;
  }
  if (!message.is_object()) {
    result.error = "not a JSON object";
    return result;
  }
  std::string& error = result.error;
  Command command;
  if (const auto ref = message.find("ref"); ref != message.end()) {
    const auto value = ShortString(*ref, kMaxNameBytes, error, "ref");
    if (!value) {
      return result;
    }
    command.ref = result.ref = *value;
  }
  const auto cmd = message.find("cmd");
  if (cmd == message.end() || !cmd->is_string()) {
    error = "cmd missing";
    return result;
  }
  const auto& name = cmd->get_ref<const std::string&>();
  bool known = false;
  for (const auto& spelling : kCommands) {
    if (spelling.name == name) {
      command.kind = spelling.kind;
      known = true;
    }
  }
  if (!known) {
    error = "unknown cmd";
    return result;
  }
  for (const auto& [key, value] : message.items()) {
    if (key == "cmd" || key == "ref") {
      continue;
    }
    if (key == "device" && TakesDevice(command.kind)) {
      const auto device = ShortString(value, kMaxNameBytes, error, key);
      if (!device) {
        return result;
      }
      command.device = *device;
    } else if (key == "id" && TakesId(command.kind)) {
      const auto id = Integer(value, 1, error, key);
      if (!id) {
        return result;
      }
      command.id = *id;
    } else if (key == "since" && command.kind == CommandKind::kHello) {
      const auto since = Integer(value, 0, error, key);
      if (!since) {
        return result;
      }
      command.since = *since;
    } else if (key == "journal" && command.kind == CommandKind::kHello) {
      const auto journal = ShortString(value, kMaxNameBytes, error, key);
      if (!journal) {
        return result;
      }
      command.journal = *journal;
    } else if (key == "token" && command.kind == CommandKind::kHello) {
      const auto token = ShortString(value, kMaxTokenBytes, error, key);
      if (!token) {
        return result;
      }
      command.token = *token;
    } else {
      error = "unexpected field " + JsonString(key.substr(0, kMaxNameBytes));
      return result;
    }
  }
  if (TakesId(command.kind) && command.id == 0) {
    error = "id missing";
    return result;
  }
  result.command = std::move(command);
  return result;
}

std::string JsonString(std::string_view text) {
  return Json(text).dump(-1, ' ', false, Json::error_handler_t::replace);
}

void JsonObject::Key(std::string_view key) {
  if (text_.size() > 1) {
    text_ += ',';
  }
  text_ += JsonString(key);
  text_ += ':';
}

JsonObject& JsonObject::Add(std::string_view key, std::string_view value) {
  Key(key);
  text_ += JsonString(value);
  return *this;
}

JsonObject& JsonObject::Add(std::string_view key, int64_t value) {
  Key(key);
  text_ += std::to_string(value);
  return *this;
}

JsonObject& JsonObject::Add(std::string_view key, bool value) {
  Key(key);
  text_ += value ? "true" : "false";
  return *this;
}

JsonObject& JsonObject::AddRaw(std::string_view key, std::string_view json) {
  Key(key);
  text_ += json;
  return *this;
}

std::string OkReply(CommandKind kind, const std::string& ref, std::string_view key, int64_t value) {
  JsonObject reply;
  reply.Add("type", "ok").Add("cmd", CommandName(kind));
  if (!key.empty()) {
    reply.Add(key, value);
  }
  if (!ref.empty()) {
    reply.Add("ref", ref);
  }
  return reply.Text();
}

std::string ErrorReply(std::string_view error, const std::string& ref) {
  JsonObject reply;
  reply.Add("type", "error").Add("error", error);
  if (!ref.empty()) {
    reply.Add("ref", ref);
  }
  return reply.Text();
}

int64_t ResolvedId(const BillEvent& event) {
  constexpr std::string_view kPrefix = "resolves #";
  if ((event.kind != RowKind::kStacked && event.kind != RowKind::kReturned) ||
      event.detail.rfind(kPrefix, 0) != 0) {
    return 0;
  }
  int64_t id = 0;
  const char* first = event.detail.data() + kPrefix.size();
  const char* last = event.detail.data() + event.detail.size();
  const auto [end, error] = std::from_chars(first, last, id);
  return error == std::errc() && end == last ? id : 0;
}

std::string BillEventJson(const BillEvent& event, std::string_view journal) {
  JsonObject json;
  json.Add("type", event.kind.Text())
      .Add("id", event.id)
      .Add("device", event.device)
      .Add("time", event.time_ms);
  if (!journal.empty()) {
    json.Add("journal", journal);
  }
  const std::optional<RowKind> kind = event.kind.Known();
  const bool outcome = kind == RowKind::kStacked || kind == RowKind::kReturned;
  if (kind == RowKind::kEscrow || outcome || kind == RowKind::kRepeat || kind == RowKind::kUnconfirmed) {
    json.Add("amount", event.amount).Add("bill_type", event.code);
  }
  if (kind == RowKind::kEscrow && event.decision != BillDecision::kNone) {
    json.Add("decision", event.decision.Text()).Add("by", event.detail);
  } else if (kind == RowKind::kRejected) {
    json.Add("reason", event.detail).Add("code", event.code);
  } else if (kind == RowKind::kRepeat) {
    json.Add("outcome", event.detail);
  } else if (kind == RowKind::kUnconfirmed && !event.detail.empty()) {
    json.Add("detail", event.detail);
  } else if (kind == RowKind::kCollection) {
    json.Add("bills", event.code).Add("amount", event.amount).AddRaw("cassette", event.detail);
  }
  if (outcome && event.detail == "foreign") {
    json.Add("foreign", true);
  }
  if (const int64_t resolved = ResolvedId(event)) {
    json.Add("foreign", true).Add("resolves", resolved);
  }
  if (kind == RowKind::kStacked) {
    json.Add("acked", event.acked);
  }
  return json.Text();
}

}  // namespace notavero::service
