// notavero-serve's WebSocket clients without a socket: who is admitted
// (the slots, the room kept for clients with the token), each client's
// state, and a hello's answer with the journal's replay, a page at a time.
// server.cpp keeps one connection per client and does what comes out:
// queue the messages, close the connections named.  Everything here runs
// on the server's thread, but Deciders().
#pragma once

#include <atomic>
#include <chrono>
#include <cstddef>
#include <cstdint>
#include <map>
#include <optional>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "service/commands.h"
#include "service/routes.h"

namespace notavero::service {

class Journal;

class Clients {
 public:
  // A connection's number: which came first.
  using Id = uint64_t;

  // A WebSocket client says hello this soon after its handshake or is closed.
  static constexpr std::chrono::seconds kHelloTimeout{5};
  // A hello replays at most this many events; its ok says "more" then.
  static constexpr int64_t kReplayLimit = 10000;
  // A replay is read from the journal a page at a time, as the client
  // reads: the next page once less than kReplayLowWater bytes wait for it.
  static constexpr int64_t kReplayPage = 100;
  static constexpr std::size_t kReplayLowWater = 16384;

  // max_clients: the slots; client_queue: the messages one client may have
  // waiting (a page of a replay is a quarter of it at most).
  Clients(Journal& journal, CommandHandler& commands, std::size_t max_clients, std::size_t client_queue);

  // Whose status a hello's answer carries.
  void SetDevices(std::vector<Device*> devices) { devices_ = std::move(devices); }

  // What the connections are to do after a call, in this order: the
  // messages go to the client asked about, then each connection named in
  // shed is closed with its reason.
  struct Outcome {
    std::vector<std::string> messages;
    std::vector<std::pair<Id, std::string>> shed;
    bool refused = false;  // counted among the refused requests
  };

  // A new WebSocket connection, before it is counted: as many may wait for
  // their hello as there are slots; when they all wait, the one that waited
  // longest goes (in shed), so that idle connections keep no client out.
  Outcome MakeRoomForNewcomer();
  // The connection id, with the token when its handshake had it.
  void Add(Id id, bool bearer);
  // Its handshake is done: one with the token is a client now (or is
  // refused, in shed).
  Outcome Handshaken(Id id);
  // kHelloTimeout after the handshake: why the connection goes, when it
  // has not said hello.
  std::optional<std::string> HelloLate(Id id);
  // A message of the client: the command handler's replies, and for a
  // hello the client's admission and replay.  later: a reply that comes
  // after (a decision, once journaled).
  Outcome Message(Id id, std::string_view text, const LaterReply& later);
  // The client's connection wrote a message: queued messages and bytes still
  // waiting.  The next page of its replay, when one is under way and most
  // of what waited is read.
  Outcome Written(Id id, std::size_t queued, std::size_t queued_bytes);
  // The connection is no longer counted (closed, or closing); dropped: for
  // not reading.  False when it was not counted.
  bool Remove(Id id, bool dropped);
  // The connection is gone.
  void Forget(Id id) { clients_.erase(id); }

  // The clients a message is for: those that said hello; a bill event
  // (journal_id above 0) not to one whose replay sends it or sent it.
  [[nodiscard]] std::vector<Id> Recipients(int64_t journal_id) const;
  // Gave the token, or is being answered as a client with it: may have more
  // bytes waiting.
  [[nodiscard]] bool Token(Id id) const;

  // Connections counted (clients and those waiting for their hello).
  [[nodiscard]] std::size_t Count() const;
  [[nodiscard]] uint64_t Dropped() const { return dropped_; }
  // Clients that can decide on a bill now (said hello with the token); any thread.
  [[nodiscard]] int Deciders() const { return deciders_.load(); }
  // Read-only clients may hold all slots but these: the rest are for
  // clients with the token.
  [[nodiscard]] std::size_t ReadOnlyLimit() const;
  // Events in one page of a replay: a quarter of a client's queue at most,
  // so that a page and the hello's ok fit in it.
  [[nodiscard]] std::size_t ReplayPageSize() const;

 private:
  // A hello's replay under way: where it is, and what its ok will say.
  struct Replay {
    int64_t since = 0;
    int64_t after = 0;  // the last id sent
    int64_t count = 0;
    int64_t last = 0;  // live events above this id are sent from the ok on
    bool authorized = false;
    bool was_decider = false;
    std::string ref;
    std::string restarted;  // why the replay starts at this journal's first row, when it does
  };
  struct Client {
    bool counted = true;      // false once removed: the connection is closing
    bool admitted = false;    // counted among the clients: its hello found room
    bool authorized = false;  // gave the token
    bool said_hello = false;
    int64_t replayed_up_to = 0;
    std::optional<Replay> replay;
    ReadBudget reads;
  };

  Client* Find(Id id);
  [[nodiscard]] const Client* Find(Id id) const;
  bool Admit(Client& client, bool authorized, std::string& why, Outcome& out);
  void Hello(Id id, Client& client, const HelloGrant& hello, Outcome& out);
  void ReplayPage(Client& client, Outcome& out);
  void FinishHello(Client& client, const Replay& replay, bool more, Outcome& out);

  Journal& journal_;
  CommandHandler& commands_;
  std::size_t max_clients_;
  std::size_t client_queue_;
  std::vector<Device*> devices_;
  std::map<Id, Client> clients_;
  std::atomic<int> deciders_{0};
  uint64_t dropped_ = 0;
};

}  // namespace notavero::service
