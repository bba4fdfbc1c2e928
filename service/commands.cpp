#include "service/commands.h"

#include <exception>

#include "service/journal.h"
#include "service/messages.h"

namespace notavero::service {

CommandResult CommandHandler::Handle(std::string_view text, const ClientState& client,
                                     const LaterReply& later) {
  CommandResult result;
  try {
    Run(text, client, later, result);
  } catch (const std::exception& error) {
    // A failure of one command (the journal, memory) is that command's.
    result.hello.reset();
    result.replies.push_back(ErrorReply(std::string("failed: ") + error.what()));
  }
  return result;
}

bool CommandHandler::Choose(const std::string& device, const std::string& ref, std::vector<Device*>& chosen,
                            CommandResult& result) const {
  for (Device* candidate : devices_) {
    if (device.empty() || device == candidate->Name()) {
      chosen.push_back(candidate);
    }
  }
  if (chosen.empty()) {
    result.replies.push_back(ErrorReply("unknown device", ref));
    return false;
  }
  return true;
}

void CommandHandler::Run(std::string_view text, const ClientState& client, const LaterReply& later,
                         CommandResult& result) {
  auto& replies = result.replies;
  ParsedCommand parsed = ParseCommand(text);
  if (!parsed.command) {
    replies.push_back(ErrorReply(parsed.error, parsed.ref));
    return;
  }
  const Command& command = *parsed.command;
  std::vector<Device*> chosen;
  switch (command.kind) {
    case CommandKind::kHello: {
      if (!client.websocket) {
        replies.push_back(ErrorReply("hello is for WebSocket clients", command.ref));
        return;
      }
      bool authorized = client.authorized;
      if (!command.token.empty()) {
        if (!TokenEquals(policy_.token, command.token)) {
          result.refused = true;
          replies.push_back(ErrorReply("unauthorized: wrong token", command.ref));
          return;
        }
        authorized = true;
      }
      if (client.replaying) {
        replies.push_back(
            ErrorReply("refused: a replay is under way; send hello again after its ok", command.ref));
        return;
      }
      result.hello = HelloGrant{authorized, command.since, command.ref, command.journal};
      return;
    }
    case CommandKind::kStatus:
      if (Choose(command.device, command.ref, chosen, result)) {
        for (const Device* device : chosen) {
          replies.push_back(device->StatusJson());
        }
        replies.push_back(OkReply(command.kind, command.ref));
      }
      return;
    default:
      break;
  }
  if (!client.authorized) {
    result.refused = true;
    replies.push_back(ErrorReply("unauthorized: give the token", command.ref));
    return;
  }
  switch (command.kind) {
    case CommandKind::kEnable:
    case CommandKind::kDisable:
      if (Choose(command.device, command.ref, chosen, result)) {
        for (Device* device : chosen) {
          device->SetEnabled(command.kind == CommandKind::kEnable);
        }
        replies.push_back(OkReply(command.kind, command.ref));
      }
      break;
    case CommandKind::kStack:
    case CommandKind::kReturn: {
      // The reply comes when the journal holds the decision: a bill whose
      // decision cannot be journaled is returned, whatever the client asked.
      const auto done = [later, kind = command.kind, ref = command.ref, id = command.id](
                            Device::Decision outcome, const std::string& why) {
        later(outcome == Device::Decision::kTaken ? OkReply(kind, ref, "id", id) : ErrorReply(why, ref));
      };
      auto decision = Device::Decision::kNoBill;
      for (Device* device : devices_) {
        if (decision == Device::Decision::kNoBill) {
          decision = device->Decide(command.id, command.kind == CommandKind::kStack, done);
        }
      }
      if (decision == Device::Decision::kNoBill) {
        replies.push_back(ErrorReply("no bill waits for a decision under this id", command.ref));
      } else {
        result.deferred = true;
      }
      break;
    }
    case CommandKind::kAck:
      try {
        const auto acked = journal_.Ack(command.id);
        replies.push_back(acked == Journal::AckResult::kNotStacked
                              ? ErrorReply("no stacked event has this id", command.ref)
                              : OkReply(command.kind, command.ref, "id", command.id));
      } catch (const JournalError& error) {
        replies.push_back(ErrorReply(std::string("not acknowledged: ") + error.what(), command.ref));
      }
      break;
    default:
      break;
  }
}

}  // namespace notavero::service
