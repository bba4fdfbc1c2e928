// Boost.Beast over Asio, on one thread: every connection, the accept loop
// and the messages of the validators (posted from their driver threads) run
// there, so that the sessions need no locks.  This is the only file that
// includes Beast.  It reads, queues and writes, and keeps the clients' slots
// and replays; what a request or a command means is decided by the request
// handler (routes.h) and the command handler (commands.h).
#include "service/server.h"

#include <array>
#include <atomic>
#include <boost/asio.hpp>
#include <boost/beast.hpp>
#include <condition_variable>
#include <deque>
#include <iostream>
#include <map>
#include <mutex>
#include <optional>
#include <set>
#include <sstream>
#include <thread>
#include <utility>

#include "protocol/codes.h"
#include "service/commands.h"
#include "service/messages.h"
#include "service/metrics.h"
#include "service/platform.h"
#include "service/routes.h"

namespace notavero::service {

namespace {

namespace asio = boost::asio;
namespace beast = boost::beast;
namespace http = beast::http;
namespace websocket = beast::websocket;
using tcp = asio::ip::tcp;

constexpr std::size_t kMaxHeaderBytes = 8192;
constexpr std::size_t kMaxBodyBytes = 16384;
constexpr int kSendBufferBytes = 65536;
constexpr int kReplayLimit = 10000;  // a hello replays at most this many events; "more" says so
// A replay is read from the journal a page at a time, as the client reads:
// the next page once less than kReplayLowWater bytes wait for it.
constexpr int kReplayPage = 100;
constexpr std::size_t kReplayLowWater = 16384;
// Bytes waiting for one client before it is dropped, whatever it asked for.
constexpr std::size_t kQueueBytesWithToken = 1 << 20;
constexpr std::size_t kQueueBytesReadOnly = 128 << 10;
constexpr auto kHttpTimeout = std::chrono::seconds(30);
// A WebSocket client says hello this soon after its handshake or is closed.
constexpr auto kHelloTimeout = std::chrono::seconds(5);
// HTTP connections at once, whatever the descriptors allow; and the
// descriptors the service keeps for itself (journal, devices, listener).
constexpr std::size_t kMaxHttpConnections = 128;
constexpr int64_t kMinHttpConnections = 8;
constexpr int64_t kOwnDescriptors = 32;
constexpr auto kAcceptPause = std::chrono::milliseconds(100);
constexpr int64_t kAnswerBytes = 16 << 20;
constexpr auto kProbeInterval = std::chrono::seconds(1);  // while the journal fails or a validator is absent

using Request = http::request<http::string_body>;
using Response = http::response<http::string_body>;
using Message = std::shared_ptr<const std::string>;

class ServerImpl;

// One WebSocket client.
class WsSession : public std::enable_shared_from_this<WsSession> {
 public:
  WsSession(ServerImpl& server, tcp::socket socket, bool authorized, uint64_t serial)
      : server_(server),
        ws_(std::move(socket)),
        hello_timer_(ws_.get_executor()),
        authorized_(authorized),
        serial_(serial) {}

  // raw: the handshake request as it came, and whatever came after it.
  void Accept(std::string raw);
  // Queues a message; a client whose queue is full is dropped.
  void Send(const Message& message);
  void Close();
  // Ends the connection with a close frame that says why.
  void Shed(std::string why);

  // Counted among the clients: its hello found room.
  [[nodiscard]] bool admitted() const { return admitted_; }
  void Admit() { admitted_ = true; }
  // Which connection came first.
  [[nodiscard]] uint64_t serial() const { return serial_; }

  [[nodiscard]] bool said_hello() const { return said_hello_; }
  [[nodiscard]] bool authorized() const { return authorized_; }
  [[nodiscard]] int64_t replayed_up_to() const { return replayed_up_to_; }
  [[nodiscard]] bool closed() const { return closed_; }
  void SetHello(bool authorized, int64_t replayed_up_to) {
    said_hello_ = true;
    authorized_ = authorized;
    replayed_up_to_ = replayed_up_to;
  }

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
  [[nodiscard]] bool replaying() const { return replay_.has_value(); }
  ReadBudget& reads() { return reads_; }
  Replay& replay() { return *replay_; }
  void StartReplay(Replay replay) { replay_ = std::move(replay); }
  void EndReplay() { replay_.reset(); }

 private:
  void Read();
  void OnRead(beast::error_code error);
  void Write();
  void Finish();

  ServerImpl& server_;
  websocket::stream<beast::tcp_stream> ws_;
  asio::steady_timer hello_timer_;
  beast::flat_buffer buffer_;
  std::deque<Message> queue_;
  bool writing_ = false;
  bool closed_ = false;
  bool said_hello_ = false;
  bool handshaken_ = false;
  bool shedding_ = false;  // closing on the service's side: what it sends is not read
  bool admitted_ = false;
  bool authorized_;
  uint64_t serial_;
  int64_t replayed_up_to_ = 0;
  std::size_t queued_bytes_ = 0;
  std::optional<Replay> replay_;
  ReadBudget reads_;
};

// One HTTP connection, until it upgrades to a WebSocket or ends.
class HttpSession : public std::enable_shared_from_this<HttpSession> {
 public:
  HttpSession(ServerImpl& server, tcp::socket socket, uint64_t serial);
  ~HttpSession();
  HttpSession(const HttpSession&) = delete;
  HttpSession& operator=(const HttpSession&) = delete;
  void Read();
  // Waiting for (the rest of) a request, not answering one.
  [[nodiscard]] bool idle() const { return idle_; }
  // Closes it to make room for a new connection.
  void Shed();

 private:
  void OnRead(beast::error_code error);
  void Reply(Response response);
  void Handle(Request request);

  ServerImpl& server_;
  beast::tcp_stream stream_;
  uint64_t serial_;
  bool idle_ = false;
  ReadBudget reads_;
  beast::flat_buffer buffer_{kMaxHeaderBytes + kMaxBodyBytes};
  std::optional<http::request_parser<http::string_body>> parser_;
};

class ServerImpl final : public Server, public EventSink, public HttpBackend {
 public:
  ServerImpl(const Config& config, Journal& journal)
      : config_(config), journal_(journal), commands_(journal, policy_), acceptor_(io_) {
    beast::error_code error;
    const auto address = asio::ip::make_address(config.listen, error);
    if (error) {
      throw std::runtime_error("--listen: not an IP address: " + config.listen);
    }
    const tcp::endpoint endpoint(address, static_cast<unsigned short>(config.http_port));
    try {
      acceptor_.open(endpoint.protocol());
      acceptor_.set_option(asio::socket_base::reuse_address(true));
      acceptor_.bind(endpoint);
      acceptor_.listen(asio::socket_base::max_listen_connections);
    } catch (const boost::system::system_error& failure) {
      throw std::runtime_error("cannot listen on " + config.listen + ":" + std::to_string(config.http_port) +
                               ": " + failure.code().message());
    }
    port_ = acceptor_.local_endpoint().port();
    // HTTP connections at once: few enough that they, the WebSocket clients
    // (two per slot: those waiting for their hello too) and the service's
    // own files fit in the descriptors it may open.
    const auto spare = static_cast<int64_t>(OpenFilesLimit()) - kOwnDescriptors -
                       2 * static_cast<int64_t>(config.max_clients);
    http_limit_ =
        static_cast<std::size_t>(std::clamp<int64_t>(spare, kMinHttpConnections, kMaxHttpConnections));
    reserve_fd_ = OpenReserveDescriptor();
    // Acceptance goes off on every validator as soon as a write fails.
    journal_.OnFailing([this] { asio::post(io_, [this] { JournalChanged(); }); });
  }

  ~ServerImpl() override {
    Stop();
    journal_.OnFailing(nullptr);
    CloseReserveDescriptor(reserve_fd_);
  }

  unsigned Port() const override { return port_; }
  void SetPolicy(AccessPolicy policy) override { policy_ = std::move(policy); }
  EventSink& Sink() override { return *this; }
  void SetValidators(std::vector<Validator*> validators) override {
    validators_ = std::move(validators);
    commands_.SetDevices({validators_.begin(), validators_.end()});
  }
  void SetExtras(Extras extras) override { extras_ = std::move(extras); }
  // HttpBackend: a GET path another part owns.
  [[nodiscard]] std::optional<std::string> ExtraGet(std::string_view path) const override {
    return extras_.get ? extras_.get(path) : std::nullopt;
  }

  void Start() override {
    Accept();
    housekeeping_ = std::thread([this] { Housekeeping(); });
    thread_ = std::thread([this] {
      // A handler's exception must not end the service: say it, go on.
      for (;;) {
        try {
          io_.run();
          return;
        } catch (const std::exception& error) {
          std::cerr << "notavero-serve: " << error.what() << std::endl;
        }
      }
    });
  }

  void Stop() override {
    if (!thread_.joinable()) {
      return;
    }
    {
      const std::scoped_lock lock(housekeeping_mutex_);
      housekeeping_stop_ = true;
    }
    housekeeping_wake_.notify_all();
    housekeeping_.join();
    asio::post(io_, [this] {
      beast::error_code ignored;
      acceptor_.close(ignored);
      accept_pause_.cancel();
      for (const auto& session : std::set<std::shared_ptr<WsSession>>(sessions_)) {
        session->Close();
      }
      io_.stop();
    });
    thread_.join();
  }

  // EventSink, from the driver threads.
  void Publish(std::string message, int64_t journal_id) override {
    auto shared = std::make_shared<const std::string>(std::move(message));
    asio::post(io_, [this, shared, journal_id] {
      for (const auto& session : std::set<std::shared_ptr<WsSession>>(sessions_)) {
        // A replay under way sends journaled events itself, in order.
        if (session->said_hello() &&
            (journal_id == 0 || (!session->replaying() && journal_id > session->replayed_up_to()))) {
          session->Send(shared);
        }
      }
    });
  }
  void Post(std::function<void()> work) override { asio::post(io_, std::move(work)); }
  int Deciders() const override { return deciders_.load(); }

  // For the sessions, on the server's thread.
  const AccessPolicy& policy() const { return policy_; }
  const Config& config() const { return config_; }
  void Refused() { ++refused_; }
  // Read-only clients may hold all slots but these: the rest are for
  // clients with the token.
  std::size_t ReadOnlyLimit() const {
    return config_.max_clients - std::max<std::size_t>(1, config_.max_clients / 4);
  }
  uint64_t NextSerial() { return ++serial_; }
  // Events in one page of a replay: a quarter of a client's queue at most,
  // so that a page and the hello's ok fit in it.
  std::size_t ReplayPageSize() const {
    return std::clamp<std::size_t>(config_.client_queue / 4, 1, kReplayPage);
  }

  // A new WebSocket connection, not yet counted as a client: it has
  // kHelloTimeout to say hello.  As many may wait as there are slots; when
  // they are all taken the one that waited longest goes, so that no number
  // of idle connections keeps a client that says hello at once out.
  void MakeRoomForNewcomer() {
    std::vector<std::shared_ptr<WsSession>> waiting;
    for (const auto& session : sessions_) {
      if (!session->admitted()) {
        waiting.push_back(session);
      }
    }
    if (waiting.size() >= config_.max_clients) {
      const auto oldest = std::min_element(waiting.begin(), waiting.end(), [](const auto& a, const auto& b) {
        return a->serial() < b->serial();
      });
      ++dropped_;
      (*oldest)->Shed("refused: too many connections without hello; this one waited longest");
    }
  }

  // A hello: room among the clients, or why not.  A client with the token
  // is never refused while a read-only client can be shed for it.
  bool Admit(WsSession& session, bool authorized, std::string& why) {
    if (session.admitted()) {
      return true;
    }
    std::size_t clients = 0;
    std::size_t read_only = 0;
    std::shared_ptr<WsSession> newest_read_only;
    for (const auto& other : sessions_) {
      if (other->admitted()) {
        ++clients;
        if (!other->authorized()) {
          ++read_only;
          if (!newest_read_only || other->serial() > newest_read_only->serial()) {
            newest_read_only = other;
          }
        }
      }
    }
    if (!authorized && (read_only >= ReadOnlyLimit() || clients >= config_.max_clients)) {
      why = "refused: no room for another client without the token (" + std::to_string(ReadOnlyLimit()) +
            " of the " + std::to_string(config_.max_clients) +
            " slots; the rest are kept for clients with it)";
      return false;
    }
    if (clients >= config_.max_clients) {
      if (!newest_read_only) {
        why = "refused: all " + std::to_string(config_.max_clients) +
              " client slots are taken by clients with the token";
        return false;
      }
      ++dropped_;
      newest_read_only->Shed("closed: this slot went to a client with the token");
    }
    session.Admit();
    return true;
  }
  void Add(const std::shared_ptr<WsSession>& session) { sessions_.insert(session); }
  void Remove(const std::shared_ptr<WsSession>& session, bool dropped) {
    if (sessions_.erase(session) != 0) {
      if (session->said_hello() && session->authorized()) {
        --deciders_;
      }
      if (dropped) {
        ++dropped_;
      }
    }
  }

  // A WebSocket client's message: the command handler answers it; a hello
  // it grants is admitted and replayed here.
  void OnMessage(WsSession& session, std::string_view text) {
    // A decision's reply comes after the driver's thread journaled it, on
    // this thread, to the session if it is still there.
    const auto later = [weak = session.weak_from_this()](std::string reply) {
      if (const auto alive = weak.lock()) {
        alive->Send(std::make_shared<const std::string>(std::move(reply)));
      }
    };
    CommandResult result =
        commands_.Handle(text, ClientState{true, session.authorized(), session.replaying()}, later);
    if (result.refused) {
      Refused();
    }
    for (std::string& reply : result.replies) {
      session.Send(std::make_shared<const std::string>(std::move(reply)));
    }
    if (result.hello) {
      Hello(*result.hello, session);
    }
  }

  // HttpBackend: POST /v1/command (the token was checked).
  std::optional<std::string> Command(std::string_view body,
                                     std::function<void(std::string array)> later) override {
    auto replies = std::make_shared<std::vector<std::string>>();
    const auto joined = [](const std::vector<std::string>& parts) {
      std::string array = "[";
      for (const std::string& reply : parts) {
        array += (array.size() > 1 ? "," : "") + reply;
      }
      return array + "]";
    };
    CommandResult result = commands_.Handle(body, ClientState{false, true, false},
                                            [replies, joined, later = std::move(later)](std::string reply) {
                                              replies->push_back(std::move(reply));
                                              later(joined(*replies));
                                            });
    if (result.refused) {
      Refused();
    }
    if (result.deferred) {
      *replies = std::move(result.replies);  // the deferred reply joins them
      return std::nullopt;
    }
    return joined(result.replies);
  }

 public:
  std::string StatusBody() const override {
    std::string body = "{\"devices\":[";
    for (std::size_t i = 0; i < validators_.size(); ++i) {
      body += (i ? "," : "") + validators_[i]->StatusJson();
    }
    return body + "],\"journal\":" + JournalHealthJson(journal_.Health()) + "}";
  }

  // Empty when the journal is healthy and every validator online and able to
  // take bills, else why not, a line each.
  std::string Trouble() const override {
    std::string trouble;
    const JournalHealth health = journal_.Health();
    if (!health.ok) {
      trouble += "the journal is failing: " + health.error + "\n";
    }
    for (const Validator* validator : validators_) {
      const ValidatorSnapshot snapshot = validator->Snapshot();
      if (snapshot.link != NV_LINK_ONLINE) {
        trouble += "validator " + snapshot.name + " is not online: " + nv_link_name(snapshot.link) + "\n";
      } else if (snapshot.word >= 0 && CannotTakeBills(DeviceStateOf(static_cast<uint16_t>(snapshot.word)))) {
        trouble +=
            "validator " + snapshot.name + " cannot take bills: " + nv_state_name(snapshot.word) + "\n";
      }
    }
    return trouble;
  }

  std::string EventsBody(int64_t since, int limit) override {
    const auto events = journal_.Since(since, limit);
    std::string body = "{\"events\":[";
    for (std::size_t i = 0; i < events.size(); ++i) {
      body += (i ? "," : "") + BillEventJson(events[i], journal_.Identity());
    }
    return body + "],\"last_id\":" + std::to_string(journal_.LastId()) + "}";
  }

  std::string MetricsBody() override {
    std::vector<ValidatorSnapshot> snapshots;
    for (const Validator* validator : validators_) {
      snapshots.push_back(validator->Snapshot());
    }
    ServiceFigures figures;
    figures.clients = sessions_.size();
    figures.clients_dropped = dropped_;
    figures.requests_refused = refused_;
    try {
      figures.journal_last_id = journal_.LastId();
    } catch (const JournalError&) {
      figures.journal_last_id = -1;  // the metrics go on: they show what is wrong
    }
    figures.journal_ok = journal_.Health().ok;
    return RenderMetrics(snapshots, figures) + (extras_.metrics ? extras_.metrics() : std::string());
  }

 private:
  void Accept() {
    acceptor_.async_accept([this](beast::error_code error, tcp::socket socket) {
      if (error == asio::error::operation_aborted || !acceptor_.is_open()) {
        return;
      }
      if (error == asio::error::no_descriptors || error.value() == ENFILE) {
        OutOfDescriptors();
        return;
      }
      if (!error) {
        beast::error_code ignored;
        socket.set_option(asio::socket_base::send_buffer_size(kSendBufferBytes), ignored);
        // Messages are small and each one matters now: a reply after another
        // must not wait for the client's delayed acknowledgement (40 ms).
        socket.set_option(tcp::no_delay(true), ignored);
        MakeRoomForHttp();
        std::make_shared<HttpSession>(*this, std::move(socket), ++serial_)->Read();
      }
      Accept();
    });
  }

  // No descriptor for a new connection: the reserve one lets the service
  // take the connection at the head of the queue and close it at once,
  // rather than leave it waiting; then accepting pauses a moment instead of
  // spinning on the same error.
  void OutOfDescriptors() {
    ++refused_;
    if (reserve_fd_ >= 0) {
      CloseReserveDescriptor(reserve_fd_);
      AcceptAndClose(static_cast<std::uintptr_t>(acceptor_.native_handle()));
      reserve_fd_ = OpenReserveDescriptor();
    }
    if (!out_of_descriptors_said_) {
      out_of_descriptors_said_ = true;
      std::cerr << "notavero-serve: out of file descriptors: a new connection was closed unanswered "
                   "(raise LimitNOFILE, or lower --max-clients)"
                << std::endl;
    }
    accept_pause_.expires_after(kAcceptPause);
    accept_pause_.async_wait([this](beast::error_code error) {
      if (!error) {
        Accept();
      }
    });
  }

  // At the bound of HTTP connections, the one that has waited longest for
  // a request goes: idle connections do not keep a new one (a front end's
  // reconnect, /healthz) out.
  void MakeRoomForHttp() {
    if (http_.size() < http_limit_) {
      return;
    }
    for (const auto& [serial, weak] : http_) {
      const auto session = weak.lock();
      if (session && session->idle()) {
        ++refused_;
        session->Shed();
        return;
      }
    }
  }

 public:
  void AddHttp(uint64_t serial, const std::shared_ptr<HttpSession>& session) { http_[serial] = session; }
  // Bytes of HTTP answers not yet written, all connections together: a
  // journal read is refused while they are over kAnswerBytes, so that
  // clients that ask and do not read hold a bounded amount.
  void AnswerBytes(int64_t change) { answer_bytes_ += change; }
  [[nodiscard]] bool AnswersBusy() const override { return answer_bytes_ > kAnswerBytes; }
  void RemoveHttp(uint64_t serial) { http_.erase(serial); }

 private:
  // Every second, on a thread of its own (both may wait: a lock another
  // program holds on the journal, a port slow to open; the network's thread
  // never does): validators absent at the start are looked for, and while
  // the journal fails, does it take writes again?  The rows that waited are
  // written and published; acceptance comes back where clients want it.
  void Housekeeping() {
    std::unique_lock lock(housekeeping_mutex_);
    while (!housekeeping_wake_.wait_for(lock, kProbeInterval, [this] { return housekeeping_stop_; })) {
      lock.unlock();
      for (Validator* validator : validators_) {
        validator->OpenIfAbsent();
      }
      Journal::ProbeResult result = journal_.Probe();
      for (const BillEvent& event : result.written) {
        Publish(BillEventJson(event, journal_.Identity()), event.id);
      }
      if (result.recovered) {
        std::cerr << "notavero-serve: the journal takes writes again" << std::endl;
        asio::post(io_, [this] { JournalChanged(); });
      }
      lock.lock();
    }
  }

  // The journal failed or recovered: acceptance follows, and clients hear of it.
  void JournalChanged() {
    const bool ok = journal_.Health().ok;
    if (ok != journal_was_ok_ && !ok) {
      std::cerr << "notavero-serve: the journal fails, acceptance is off: " << journal_.Health().error
                << std::endl;
    }
    journal_was_ok_ = ok;
    for (Validator* validator : validators_) {
      validator->ApplyAcceptance();
      Publish(validator->StatusJson(), 0);
    }
  }

  // A hello the command handler granted: room among the clients, then the
  // replay it asks for, or live events from now on.
  void Hello(const HelloGrant& hello, WsSession& session) {
    const auto reply = [&session](std::string text) {
      session.Send(std::make_shared<const std::string>(std::move(text)));
    };
    std::string why;
    if (!Admit(session, hello.authorized, why)) {
      Refused();
      reply(ErrorReply(why, hello.ref));
      session.Shed(why);
      return;
    }
    WsSession::Replay replay;
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
        reply(ErrorReply(std::string("hello failed: ") + error.what(), hello.ref));
        return;
      }
      if (!replay.restarted.empty()) {
        replay.since = 0;
      }
    }
    replay.last = session.replayed_up_to();
    replay.authorized = hello.authorized;
    replay.was_decider = session.said_hello() && session.authorized();
    replay.ref = hello.ref;
    if (hello.since >= 0) {
      if (!session.reads().Take()) {
        Refused();
        reply(ErrorReply(ReadRefusal(), hello.ref));
        return;
      }
      session.StartReplay(std::move(replay));
      ReplayPage(session);
      return;
    }
    if (!session.said_hello()) {
      // Live events from now on.
      try {
        replay.last = std::max(replay.last, journal_.LastId());
      } catch (const JournalError& error) {
        reply(ErrorReply(std::string("hello failed: ") + error.what(), hello.ref));
        return;
      }
    }
    FinishHello(session, replay, false);
  }

 public:
  // Sends the next page of a session's replay, and the hello's ok after the
  // last one.  Called when the hello comes and whenever the client has read
  // most of what waits for it, so that a client that does not read holds
  // one page at most.
  void ReplayPage(WsSession& session) {
    WsSession::Replay& replay = session.replay();
    const int want = static_cast<int>(
        std::min<int64_t>(static_cast<int64_t>(ReplayPageSize()), kReplayLimit - replay.count));
    std::vector<BillEvent> events;
    try {
      events = journal_.Page(replay.since, replay.after, want);
    } catch (const JournalError& error) {
      const std::string ref = replay.ref;
      session.EndReplay();
      session.Send(
          std::make_shared<const std::string>(ErrorReply(std::string("no replay: ") + error.what(), ref)));
      return;
    }
    for (const auto& event : events) {
      session.Send(std::make_shared<const std::string>(BillEventJson(event, journal_.Identity())));
      replay.after = event.id;
      replay.last = std::max(replay.last, event.id);
      ++replay.count;
    }
    if (session.closed()) {
      return;
    }
    if (events.size() < static_cast<std::size_t>(want) || replay.count >= kReplayLimit) {
      const WsSession::Replay done = replay;
      session.EndReplay();
      FinishHello(session, done, done.count >= kReplayLimit);
    }
  }

 private:
  void FinishHello(WsSession& session, const WsSession::Replay& replay, bool more) {
    session.SetHello(replay.authorized, replay.last);
    if (replay.authorized && !replay.was_decider) {
      ++deciders_;
    }
    for (Validator* validator : validators_) {
      session.Send(std::make_shared<const std::string>(validator->StatusJson()));
    }
    JsonObject ok;
    ok.Add("type", "ok")
        .Add("cmd", "hello")
        .Add("authorized", replay.authorized)
        .Add("replayed", replay.count);
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
    session.Send(std::make_shared<const std::string>(ok.Text()));
  }

  const Config& config_;
  Journal& journal_;
  AccessPolicy policy_;
  CommandHandler commands_;  // reads journal_ and policy_
  // Before io_: the sessions its handlers hold remove themselves from it.
  std::map<uint64_t, std::weak_ptr<HttpSession>> http_;
  std::size_t http_limit_ = kMaxHttpConnections;
  int reserve_fd_ = -1;
  int64_t answer_bytes_ = 0;
  bool out_of_descriptors_said_ = false;
  asio::io_context io_{1};
  asio::steady_timer accept_pause_{io_};
  tcp::acceptor acceptor_;
  unsigned port_ = 0;
  std::vector<Validator*> validators_;
  Extras extras_;
  std::set<std::shared_ptr<WsSession>> sessions_;
  std::atomic<int> deciders_{0};
  uint64_t serial_ = 0;
  uint64_t dropped_ = 0;
  uint64_t refused_ = 0;
  std::thread thread_;
  std::thread housekeeping_;
  std::mutex housekeeping_mutex_;
  std::condition_variable housekeeping_wake_;
  bool housekeeping_stop_ = false;
  bool journal_was_ok_ = true;
};

// ---- WebSocket session ----

void WsSession::Accept(std::string raw) {
  beast::get_lowest_layer(ws_).expires_never();
  ws_.set_option(websocket::stream_base::timeout{std::chrono::seconds(30), std::chrono::seconds(60), true});
  ws_.set_option(websocket::stream_base::decorator(
      [](websocket::response_type& response) { response.set(http::field::server, "notavero-serve"); }));
  ws_.read_message_max(kMaxMessageBytes);
  ws_.text(true);
  server_.Add(shared_from_this());
  // The bytes stay alive until the handshake is done; those after the
  // request (a first message in the same packet) are the stream's first.
  auto held = std::make_shared<std::string>(std::move(raw));
  ws_.async_accept(asio::buffer(*held), [self = shared_from_this(), held](beast::error_code error) {
    if (error) {
      self->Finish();
      return;
    }
    self->handshaken_ = true;
    if (self->authorized_) {
      // The token came with the handshake (Authorization): a client now,
      // never shed as one that has not said hello.
      std::string why;
      if (!self->server_.Admit(*self, true, why)) {
        self->Shed(why);
        return;
      }
    }
    self->hello_timer_.expires_after(kHelloTimeout);
    self->hello_timer_.async_wait([weak = std::weak_ptr<WsSession>(self)](beast::error_code waited) {
      const auto session = weak.lock();
      if (!waited && session && !session->admitted_) {
        session->server_.Refused();
        session->Shed("closed: no hello within " + std::to_string(kHelloTimeout.count()) + " s");
      }
    });
    self->Read();
  });
}

void WsSession::Read() {
  ws_.async_read(buffer_,
                 [self = shared_from_this()](beast::error_code error, std::size_t) { self->OnRead(error); });
}

void WsSession::OnRead(beast::error_code error) {
  if (error) {
    if (error == websocket::error::message_too_big) {
      server_.Refused();
    }
    Finish();
    return;
  }
  const std::string text = beast::buffers_to_string(buffer_.data());
  buffer_.consume(buffer_.size());
  if (shedding_) {
    // Read on only for the close handshake.
  } else if (!ws_.got_text()) {
    Send(std::make_shared<const std::string>(ErrorReply("binary messages are not understood")));
  } else {
    server_.OnMessage(*this, text);
  }
  if (!closed_) {
    Read();
  }
}

void WsSession::Send(const Message& message) {
  if (closed_) {
    return;
  }
  const bool token = authorized_ || (replay_ && replay_->authorized);
  if (queue_.size() >= server_.config().client_queue ||
      queued_bytes_ + message->size() > (token ? kQueueBytesWithToken : kQueueBytesReadOnly)) {
    // It does not read: drop it rather than hold anything for it.
    server_.Remove(shared_from_this(), true);
    Close();
    return;
  }
  queue_.push_back(message);
  queued_bytes_ += message->size();
  if (!writing_) {
    Write();
  }
}

void WsSession::Write() {
  writing_ = true;
  // The handler holds the message: Close() may clear the queue meanwhile.
  Message message = queue_.front();
  ws_.async_write(asio::buffer(*message),
                  [self = shared_from_this(), message](beast::error_code error, std::size_t) {
                    self->writing_ = false;
                    if (error || self->closed_) {
                      self->Finish();
                      return;
                    }
                    self->queued_bytes_ -= message->size();
                    self->queue_.pop_front();
                    if (self->replay_ && self->queued_bytes_ < kReplayLowWater &&
                        self->queue_.size() <= self->server_.ReplayPageSize()) {
                      self->server_.ReplayPage(*self);
                    }
                    if (!self->queue_.empty() && !self->writing_) {
                      self->Write();
                    }
                  });
}

void WsSession::Close() {
  if (closed_) {
    return;
  }
  closed_ = true;
  hello_timer_.cancel();
  queue_.clear();
  queued_bytes_ = 0;
  replay_.reset();
  beast::error_code ignored;
  beast::get_lowest_layer(ws_).socket().shutdown(tcp::socket::shutdown_both, ignored);
  beast::get_lowest_layer(ws_).close();
}

void WsSession::Shed(std::string why) {
  if (closed_ || shedding_) {
    return;
  }
  // Out of the count at once; the close frame, then the socket, go after.
  server_.Remove(shared_from_this(), false);
  shedding_ = true;
  replay_.reset();
  hello_timer_.cancel();
  if (!handshaken_) {
    Close();
    return;
  }
  why.resize(std::min<std::size_t>(why.size(), 120));  // a close frame's reason is short
  // The close handshake gets 2 s.  Through the stream's own time-out: the
  // socket's timer may not be touched while a read and a write are pending.
  websocket::stream_base::timeout limits{};
  limits.handshake_timeout = std::chrono::seconds(2);
  limits.idle_timeout = websocket::stream_base::none();
  limits.keep_alive_pings = false;
  ws_.set_option(limits);
  ws_.async_close(websocket::close_reason(websocket::close_code::try_again_later, why),
                  [self = shared_from_this()](beast::error_code) { self->Close(); });
}

void WsSession::Finish() {
  server_.Remove(shared_from_this(), false);
  Close();
}

// ---- HTTP session ----

HttpSession::HttpSession(ServerImpl& server, tcp::socket socket, uint64_t serial)
    : server_(server), stream_(std::move(socket)), serial_(serial) {}

HttpSession::~HttpSession() {
  server_.RemoveHttp(serial_);
}

void HttpSession::Shed() {
  beast::error_code ignored;
  stream_.socket().shutdown(tcp::socket::shutdown_both, ignored);
  stream_.socket().close(ignored);
}

void HttpSession::Read() {
  if (!idle_ && parser_ == std::nullopt) {
    server_.AddHttp(serial_, shared_from_this());
  }
  idle_ = true;
  parser_.emplace();
  parser_->header_limit(kMaxHeaderBytes);
  parser_->body_limit(kMaxBodyBytes);
  stream_.expires_after(kHttpTimeout);
  http::async_read(
      stream_, buffer_, *parser_,
      [self = shared_from_this()](beast::error_code error, std::size_t) { self->OnRead(error); });
}

Response TextResponse(http::status status, std::string body,
                      std::string_view type = "text/plain; charset=utf-8") {
  Response response{status, 11};
  response.set(http::field::server, "notavero-serve");
  response.set(http::field::content_type, type);
  response.set(http::field::cache_control, "no-store");
  response.set("X-Content-Type-Options", "nosniff");
  // The status page is not to be framed by another site, nor to load
  // anything from one.
  response.set("X-Frame-Options", "DENY");
  response.set("Content-Security-Policy", "default-src 'self'; frame-ancestors 'none'");
  response.body() = std::move(body);
  return response;
}

void HttpSession::OnRead(beast::error_code error) {
  idle_ = false;
  if (error == http::error::header_limit || error == http::error::body_limit ||
      error == http::error::buffer_overflow) {
    server_.Refused();
    Response response = TextResponse(http::status::payload_too_large, "request too large\n");
    response.keep_alive(false);
    Reply(std::move(response));
    return;
  }
  if (error) {
    beast::error_code ignored;
    stream_.socket().shutdown(tcp::socket::shutdown_both, ignored);
    return;
  }
  try {
    Handle(parser_->release());
  } catch (const std::exception& error) {
    Response response = TextResponse(http::status::internal_server_error, std::string(error.what()) + "\n");
    response.keep_alive(false);
    Reply(std::move(response));
  }
}

void HttpSession::Reply(Response response) {
  response.prepare_payload();
  auto shared = std::make_shared<Response>(std::move(response));
  const std::size_t bytes = shared->body().size();
  server_.AnswerBytes(static_cast<int64_t>(bytes));
  http::async_write(stream_, *shared,
                    [self = shared_from_this(), shared, bytes](beast::error_code error, std::size_t) {
                      self->server_.AnswerBytes(-static_cast<int64_t>(bytes));
                      if (error || !shared->keep_alive()) {
                        beast::error_code ignored;
                        self->stream_.socket().shutdown(tcp::socket::shutdown_both, ignored);
                        return;
                      }
                      self->Read();
                    });
}

void HttpSession::Handle(Request request) {
  HttpRequest asked;
  asked.method = std::string(request.method_string());
  asked.target = std::string(request.target());
  asked.host = std::string(request[http::field::host]);
  if (const auto origin = request.find(http::field::origin); origin != request.end()) {
    asked.origin = std::string(origin->value());
  }
  asked.authorization = std::string(request[http::field::authorization]);
  asked.fetch_site = std::string(request["Sec-Fetch-Site"]);
  asked.upgrade = websocket::is_upgrade(request);
  asked.keep_alive = request.keep_alive();
  asked.body = request.body();  // a copy: an upgrade hands the request on as it came
  // A deferred answer (a decision, once journaled) comes on this thread;
  // the session reads its next request only after it.
  const auto later = [self = shared_from_this()](const HttpResponse& answer) {
    Response response =
        TextResponse(static_cast<http::status>(answer.status), answer.body, answer.content_type);
    response.keep_alive(answer.keep_alive);
    self->Reply(std::move(response));
  };
  const HttpOutcome outcome =
      HandleRequest(asked, server_.policy(), server_.config().www, reads_, server_, later);
  if (outcome.deferred) {
    return;
  }
  if (outcome.refused) {
    server_.Refused();
  }
  if (outcome.upgrade) {
    server_.MakeRoomForNewcomer();
    stream_.expires_never();
    std::ostringstream raw;
    raw << request << beast::make_printable(buffer_.data());
    buffer_.consume(buffer_.size());
    std::make_shared<WsSession>(server_, stream_.release_socket(), outcome.bearer, server_.NextSerial())
        ->Accept(std::move(raw).str());
    return;
  }
  const HttpResponse& answer = outcome.response;
  Response response =
      TextResponse(static_cast<http::status>(answer.status), answer.body, answer.content_type);
  if (!answer.retry_after.empty()) {
    response.set(http::field::retry_after, answer.retry_after);
  }
  response.keep_alive(answer.keep_alive);
  Reply(std::move(response));
}

}  // namespace

std::unique_ptr<Server> Server::Create(const Config& config, Journal& journal) {
  return std::make_unique<ServerImpl>(config, journal);
}

}  // namespace notavero::service
