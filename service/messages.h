// The service's messages: commands from clients (WebSocket text messages and
// the body of POST /v1/command) and the JSON of the events it pushes.  Every
// message is one flat JSON object; README.md, section notavero-serve, has
// the table.
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

#include "service/terms.h"

namespace notavero::service {

inline constexpr std::size_t kMaxMessageBytes = 4096;
inline constexpr std::size_t kMaxNameBytes = 64;
inline constexpr std::size_t kMaxTokenBytes = 256;

enum class CommandKind { kHello, kEnable, kDisable, kStack, kReturn, kAck, kStatus };

struct Command {
  CommandKind kind = CommandKind::kStatus;
  std::string device;   // enable, disable, status: empty means every device
  int64_t id = 0;       // stack, return: the escrow event's id; ack: the stacked event's id
  int64_t since = -1;   // hello: the last id the client has seen; -1: none given (no replay)
  std::string journal;  // hello: the journal that id belongs to (its identity), when the client knows it
  std::string token;    // hello: the bearer token, when not given at the handshake
  std::string ref;      // any: echoed in the reply, so that a client can match them
};

struct ParsedCommand {
  std::optional<Command> command;
  std::string error;  // why there is no command
  std::string ref;    // the ref, when the message had a readable one
};

// Parses one client message.  Never throws; anything but a well-formed
// command gives an error text for the reply.
ParsedCommand ParseCommand(std::string_view text);

std::string_view CommandName(CommandKind kind);

// {"type":"ok","cmd":...,"ref":...} plus one optional integer field.
std::string OkReply(CommandKind kind, const std::string& ref, std::string_view key = {}, int64_t value = 0);
// {"type":"error","error":...,"ref":...}
std::string ErrorReply(std::string_view error, const std::string& ref = {});

// One bill event of the journal, as the service writes and reads it, and as
// the ledger ships it.
struct BillEvent {
  int64_t id = 0;
  int64_t time_ms = 0;  // Unix time in milliseconds
  std::string device;   // the validator's name
  // escrow, stacked, returned, rejected, unconfirmed; repeat: an outcome the
  // device reported again after a restart, journaled already (never credited);
  // collection, cassette-in: the cassette taken out (amount: its sum, code:
  // its bill count, detail: its content as JSON) and put back.  A row of
  // another program may hold a kind this version does not know: kept as read.
  Term<RowKind> kind;
  int64_t amount = 0;  // 1/10000 currency units (0 for rejected, and for a bill type of unknown value)
  // rejected: the reason's code; the others: the bill type (-1 unknown).  As
  // the row holds it (a bill type is an int32_t; the journal's column and the
  // ledger's reads are wider).
  int64_t code = 0;
  Term<BillDecision> decision;  // escrow: stack, return, or none while it waits
  // escrow: who decided (DecidedBy's text); rejected: the reason's name;
  // stacked, returned: "foreign" for an outcome decided before this run,
  // "resolves #ID" for the outcome of a bill already journaled unconfirmed in
  // row ID; repeat: the outcome repeated (stacked, returned); unconfirmed:
  // why, when the service knows.  Free text.
  std::string detail;
  bool acked = false;  // stacked: acknowledged by a client
  // A row that may also be in the fallback file: that line's key.  Journaled
  // with the row, in one transaction, so that the row is written once
  // whichever of the live path and the file's replay comes first.
  std::string key;
};

// The event as its message; `journal` is the identity of the journal that
// holds it (the id is that journal's: a client credits by the two).
std::string BillEventJson(const BillEvent& event, std::string_view journal = {});
// A stacked or returned row that closes an unconfirmed row of the same bill
// (detail "resolves #ID"): that row's id; 0 for any other row.
int64_t ResolvedId(const BillEvent& event);

// Small helpers for the other pushed messages, so that every message is
// built the same way.
class JsonObject {
 public:
  JsonObject& Add(std::string_view key, std::string_view value);
  JsonObject& Add(std::string_view key, const char* value) { return Add(key, std::string_view(value)); }
  JsonObject& Add(std::string_view key, int64_t value);
  JsonObject& Add(std::string_view key, bool value);
  JsonObject& AddRaw(std::string_view key, std::string_view json);
  [[nodiscard]] std::string Text() const { return text_ + "}"; }

 private:
  void Key(std::string_view key);
  std::string text_ = "{";
};

// A JSON string literal of text (UTF-8; invalid bytes become U+FFFD).
std::string JsonString(std::string_view text);

}  // namespace notavero::service
