// The command protocol of notavero-serve without a socket: a client's
// message and what the service knows of that client go in, the replies come
// out.  WebSocket clients and POST /v1/command share it.
#pragma once

#include <cstdint>
#include <functional>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "service/security.h"

namespace notavero::service {

class Journal;

// A validator as the commands see it (Validator is one).
class Device {
 public:
  enum class Decision { kTaken, kNoBill, kNotJournaled, kPending };
  // How a decision that was taken ends: kTaken once it is journaled,
  // kNotJournaled (why says why) when it could not be.  Called on the
  // service's own thread.
  using DecisionDone = std::function<void(Decision outcome, const std::string& why)>;

  [[nodiscard]] virtual const std::string& Name() const = 0;
  [[nodiscard]] virtual std::string StatusJson() const = 0;
  virtual void SetEnabled(bool enabled) = 0;
  // A client's decision for the escrow event escrow_id: kNoBill when no
  // such bill waits here; otherwise kPending, and done says how it ended
  // once the driver's thread has journaled it (never waited for here).
  virtual Decision Decide(int64_t escrow_id, bool stack, DecisionDone done) = 0;

 protected:
  ~Device() = default;
};

// What the service knows of the client that sent a message.
struct ClientState {
  bool websocket = false;   // false: POST /v1/command
  bool authorized = false;  // gave the token (Authorization, or an earlier hello)
  bool replaying = false;   // a hello's replay is under way
};

// A hello that passed the protocol's checks; the server admits the client
// and replays the journal from since (-1: no replay).
struct HelloGrant {
  bool authorized = false;
  int64_t since = -1;
  std::string ref;
  std::string journal;  // the journal the client's since belongs to, when it said
};

// Sends a reply that comes after the command's own (on the service's thread).
using LaterReply = std::function<void(std::string reply)>;

struct CommandResult {
  std::vector<std::string> replies;  // for the client, in order
  bool deferred = false;             // one more reply comes later, through the LaterReply
  std::optional<HelloGrant> hello;
  bool refused = false;  // counted among the refused requests
};

class CommandHandler {
 public:
  CommandHandler(Journal& journal, const AccessPolicy& policy) : journal_(journal), policy_(policy) {}

  // The devices that commands go to; set before the first message.
  void SetDevices(std::vector<Device*> devices) { devices_ = std::move(devices); }

  // Runs one message.  Never throws: a command that fails (the journal,
  // memory) gets an error reply.  A decision on a bill is answered through
  // later once the journal holds it (result.deferred): nothing here waits.
  CommandResult Handle(std::string_view text, const ClientState& client, const LaterReply& later);

 private:
  void Run(std::string_view text, const ClientState& client, const LaterReply& later, CommandResult& result);
  // The devices a command names; false (and an error reply) for none.
  bool Choose(const std::string& device, const std::string& ref, std::vector<Device*>& chosen,
              CommandResult& result) const;

  Journal& journal_;
  const AccessPolicy& policy_;
  std::vector<Device*> devices_;
};

}  // namespace notavero::service
