#include "service/clients.h"

#include <algorithm>

#include "service/journal.h"
#include "service/messages.h"

namespace notavero::service {

Clients::Clients(Journal& journal, CommandHandler& commands, std::size_t max_clients,
                 std::size_t client_queue)
    : journal_(journal), commands_(commands), max_clients_(max_clients), client_queue_(client_queue) {}

Clients::Client* Clients::Find(Id id) {
  const auto found = clients_.find(id);
  return found == clients_.end() ? nullptr : &found->second;
}

const Clients::Client* Clients::Find(Id id) const {
  const auto found = clients_.find(id);
  return found == clients_.end() ? nullptr : &found->second;
}

std::size_t Clients::ReadOnlyLimit() const {
  return max_clients_ - std::max<std::size_t>(1, max_clients_ / 4);
}

std::size_t Clients::ReplayPageSize() const {
  return std::clamp<std::size_t>(client_queue_ / 4, 1, static_cast<std::size_t>(kReplayPage));
}

std::size_t Clients::Count() const {
  return static_cast<std::size_t>(std::count_if(clients_.begin(), clients_.end(),
                                                [](const auto& entry) { return entry.second.counted; }));
}

Clients::Outcome Clients::MakeRoomForNewcomer() {
  Outcome out;
  std::size_t waiting = 0;
  std::optional<Id> oldest;
  for (const auto& [id, client] : clients_) {
    if (client.counted && !client.admitted) {
      ++waiting;
      oldest = oldest ? std::min(*oldest, id) : id;
    }
  }
  if (waiting >= max_clients_ && oldest) {
    ++dropped_;
    Remove(*oldest, false);
    out.shed.emplace_back(*oldest, "refused: too many connections without hello; this one waited longest");
  }
  return out;
}

void Clients::Add(Id id, bool bearer) {
  Client client;
  client.authorized = bearer;
  clients_.insert_or_assign(id, std::move(client));
}

Clients::Outcome Clients::Handshaken(Id id) {
  Outcome out;
  Client* client = Find(id);
  if (client == nullptr || !client->counted || !client->authorized) {
    return out;
  }
  // The token came with the handshake (Authorization): a client now, never
  // shed as one that has not said hello.
  std::string why;
  if (!Admit(*client, true, why, out)) {
    Remove(id, false);
    out.shed.emplace_back(id, std::move(why));
  }
  return out;
}

std::optional<std::string> Clients::HelloLate(Id id) {
  const Client* client = Find(id);
  if (client == nullptr || !client->counted || client->admitted) {
    return std::nullopt;
  }
  Remove(id, false);
  return "closed: no hello within " + std::to_string(kHelloTimeout.count()) + " s";
}

bool Clients::Remove(Id id, bool dropped) {
  Client* client = Find(id);
  if (client == nullptr || !client->counted) {
    return false;
  }
  client->counted = false;
  client->replay.reset();
  if (client->said_hello && client->authorized) {
    --deciders_;
  }
  if (dropped) {
    ++dropped_;
  }
  return true;
}

std::vector<Clients::Id> Clients::Recipients(int64_t journal_id) const {
  std::vector<Id> ids;
  for (const auto& [id, client] : clients_) {
    // A replay under way sends journaled events itself, in order.
    if (client.counted && client.said_hello &&
        (journal_id == 0 || (!client.replay && journal_id > client.replayed_up_to))) {
      ids.push_back(id);
    }
  }
  return ids;
}

bool Clients::Token(Id id) const {
  const Client* client = Find(id);
  return client != nullptr && (client->authorized || (client->replay && client->replay->authorized));
}

// A hello: room among the clients, or why not.  A client with the token is
// never refused while a read-only client can be shed for it.
bool Clients::Admit(Client& client, bool authorized, std::string& why, Outcome& out) {
  if (client.admitted) {
    return true;
  }
  std::size_t admitted = 0;
  std::size_t read_only = 0;
  std::optional<Id> newest_read_only;
  for (const auto& [other_id, other] : clients_) {
    if (other.counted && other.admitted) {
      ++admitted;
      if (!other.authorized) {
        ++read_only;
        newest_read_only = other_id;  // the map is in id order
      }
    }
  }
  if (!authorized && (read_only >= ReadOnlyLimit() || admitted >= max_clients_)) {
    why = "refused: no room for another client without the token (" + std::to_string(ReadOnlyLimit()) +
          " of the " + std::to_string(max_clients_) + " slots; the rest are kept for clients with it)";
    return false;
  }
  if (admitted >= max_clients_) {
    if (!newest_read_only) {
      why = "refused: all " + std::to_string(max_clients_) +
            " client slots are taken by clients with the token";
      return false;
    }
    ++dropped_;
    Remove(*newest_read_only, false);
    out.shed.emplace_back(*newest_read_only, "closed: this slot went to a client with the token");
  }
  client.admitted = true;
  return true;
}

Clients::Outcome Clients::Message(Id id, std::string_view text, const LaterReply& later) {
  Outcome out;
  Client* client = Find(id);
  const bool authorized = client != nullptr && client->authorized;
  const bool replaying = client != nullptr && client->replay.has_value();
  CommandResult result = commands_.Handle(text, ClientState{true, authorized, replaying}, later);
  out.refused = result.refused;
  out.messages = std::move(result.replies);
  if (result.hello && client != nullptr && client->counted) {
    Hello(id, *client, *result.hello, out);
  }
  return out;
}

// A hello the command handler granted: room among the clients, then the
// replay it asks for, or live events from now on.
void Clients::Hello(Id id, Client& client, const HelloGrant& hello, Outcome& out) {
  std::string why;
  if (!Admit(client, hello.authorized, why, out)) {
    out.refused = true;
    out.messages.push_back(ErrorReply(why, hello.ref));
    Remove(id, false);
    out.shed.emplace_back(id, std::move(why));
    return;
  }
  Replay replay;
  replay.since = hello.since;
  if (hello.since >= 0) {
    // An id belongs to one journal.  A since of another journal, or past
    // this one's end (the journal was replaced: its ids start again), would
    // make the client take this journal's bills for ones it has credited:
    // it gets every row of this journal instead, and is told why.
    try {
      const int64_t last = journal_.LastId();
      if (!hello.journal.empty() && hello.journal != journal_.Identity()) {
        replay.restarted = "your since belongs to journal " + hello.journal + ", this is journal " +
                           journal_.Identity() + ": every row of this journal is replayed";
      } else if (hello.since > last) {
        replay.restarted = "since " + std::to_string(hello.since) + " lies past this journal's last id " +
                           std::to_string(last) + " (the journal was replaced): every row is replayed";
      }
    } catch (const JournalError& error) {
      out.messages.push_back(ErrorReply(std::string("hello failed: ") + error.what(), hello.ref));
      return;
    }
    if (!replay.restarted.empty()) {
      replay.since = 0;
    }
  }
  replay.last = client.replayed_up_to;
  replay.authorized = hello.authorized;
  replay.was_decider = client.said_hello && client.authorized;
  replay.ref = hello.ref;
  if (hello.since >= 0) {
    if (!client.reads.Take()) {
      out.refused = true;
      out.messages.push_back(ErrorReply(ReadRefusal(), hello.ref));
      return;
    }
    client.replay = std::move(replay);
    ReplayPage(client, out);
    return;
  }
  if (!client.said_hello) {
    // Live events from now on.
    try {
      replay.last = std::max(replay.last, journal_.LastId());
    } catch (const JournalError& error) {
      out.messages.push_back(ErrorReply(std::string("hello failed: ") + error.what(), hello.ref));
      return;
    }
  }
  FinishHello(client, replay, false, out);
}

Clients::Outcome Clients::Written(Id id, std::size_t queued, std::size_t queued_bytes) {
  Outcome out;
  Client* client = Find(id);
  if (client != nullptr && client->counted && client->replay && queued_bytes < kReplayLowWater &&
      queued <= ReplayPageSize()) {
    ReplayPage(*client, out);
  }
  return out;
}

// The next page of a client's replay, and the hello's ok after the last
// one.  Asked for when the hello comes and whenever the client has read
// most of what waits for it, so that a client that does not read holds one
// page at most.
void Clients::ReplayPage(Client& client, Outcome& out) {
  Replay& replay = *client.replay;
  const int want = static_cast<int>(
      std::min<int64_t>(static_cast<int64_t>(ReplayPageSize()), kReplayLimit - replay.count));
  std::vector<BillEvent> events;
  try {
    events = journal_.Page(replay.since, replay.after, want);
  } catch (const JournalError& error) {
    const std::string ref = replay.ref;
    client.replay.reset();
    out.messages.push_back(ErrorReply(std::string("no replay: ") + error.what(), ref));
    return;
  }
  for (const auto& event : events) {
    out.messages.push_back(BillEventJson(event, journal_.Identity()));
    replay.after = event.id;
    replay.last = std::max(replay.last, event.id);
    ++replay.count;
  }
  if (events.size() < static_cast<std::size_t>(want) || replay.count >= kReplayLimit) {
    const Replay done = replay;
    client.replay.reset();
    FinishHello(client, done, done.count >= kReplayLimit, out);
  }
}

void Clients::FinishHello(Client& client, const Replay& replay, bool more, Outcome& out) {
  client.said_hello = true;
  client.authorized = replay.authorized;
  client.replayed_up_to = replay.last;
  if (replay.authorized && !replay.was_decider) {
    ++deciders_;
  }
  for (const Device* device : devices_) {
    out.messages.push_back(device->StatusJson());
  }
  JsonObject ok;
  ok.Add("type", "ok").Add("cmd", "hello").Add("authorized", replay.authorized).Add("replayed", replay.count);
  ok.Add("last_id", replay.last).Add("journal", journal_.Identity());
  if (!replay.restarted.empty()) {
    ok.Add("restarted", replay.restarted);
  }
  if (more) {
    ok.Add("more", true);
  }
  if (!replay.ref.empty()) {
    ok.Add("ref", replay.ref);
  }
  out.messages.push_back(ok.Text());
}

}  // namespace notavero::service
