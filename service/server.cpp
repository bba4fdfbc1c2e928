// Boost.Beast over Asio, on one thread: every connection, the accept loop
// and the messages of the validators (posted from their driver threads) run
// there, so that the sessions need no locks.  This is the only file that
// includes Beast.
#include "service/server.h"

#include <array>
#include <atomic>
#include <boost/asio.hpp>
#include <boost/beast.hpp>
#include <charconv>
#include <deque>
#include <fstream>
#include <iostream>
#include <set>
#include <sstream>
#include <thread>
#include <utility>

#include "service/messages.h"
#include "service/metrics.h"

namespace notavero::service {

namespace {

namespace asio = boost::asio;
namespace beast = boost::beast;
namespace http = beast::http;
namespace websocket = beast::websocket;
using tcp = asio::ip::tcp;

constexpr std::size_t kMaxHeaderBytes = 8192;
constexpr std::size_t kMaxBodyBytes = 16384;
constexpr std::size_t kMaxFileBytes = 4 << 20;
constexpr int kSendBufferBytes = 65536;
constexpr int kReplayLimit = 10000;  // a hello replays at most this many events; "more" says so
constexpr auto kHttpTimeout = std::chrono::seconds(30);
constexpr auto kProbeInterval = std::chrono::seconds(1);  // while the journal fails

using Request = http::request<http::string_body>;
using Response = http::response<http::string_body>;
using Message = std::shared_ptr<const std::string>;

std::string_view PathOf(std::string_view target) {
  return target.substr(0, target.find('?'));
}

// The value of name in the query string of target, if there.
std::optional<std::string_view> QueryValue(std::string_view target, std::string_view name) {
  const auto question = target.find('?');
  if (question == std::string_view::npos) {
    return std::nullopt;
  }
  std::string_view query = target.substr(question + 1);
  while (!query.empty()) {
    const auto amp = query.find('&');
    const std::string_view pair = query.substr(0, amp);
    const auto eq = pair.find('=');
    if (pair.substr(0, eq) == name) {
      return eq == std::string_view::npos ? std::string_view() : pair.substr(eq + 1);
    }
    query = amp == std::string_view::npos ? std::string_view() : query.substr(amp + 1);
  }
  return std::nullopt;
}

std::optional<int64_t> QueryNumber(std::string_view target, std::string_view name, int64_t fallback) {
  const auto text = QueryValue(target, name);
  if (!text) {
    return fallback;
  }
  int64_t value = 0;
  const auto [end, error] = std::from_chars(text->data(), text->data() + text->size(), value);
  if (error != std::errc() || end != text->data() + text->size() || value < 0) {
    return std::nullopt;
  }
  return value;
}

std::string_view ContentType(std::string_view path) {
  static constexpr std::array<std::pair<std::string_view, std::string_view>, 7> kTypes = {{
      {".html", "text/html; charset=utf-8"},
      {".js", "text/javascript; charset=utf-8"},
      {".css", "text/css; charset=utf-8"},
      {".json", "application/json"},
      {".svg", "image/svg+xml"},
      {".png", "image/png"},
      {".ico", "image/x-icon"},
  }};
  for (const auto& [ext, type] : kTypes) {
    if (path.ends_with(ext)) {
      return type;
    }
  }
  return "application/octet-stream";
}

// A path under the www folder: letters, digits and ._-/ only, no segment
// that starts with a dot.
bool SafeStaticPath(std::string_view path) {
  if (path.empty() || path.front() != '/' || path.size() > 200) {
    return false;
  }
  for (std::size_t i = 0; i < path.size(); ++i) {
    const char c = path[i];
    const bool plain = (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9') ||
                       c == '_' || c == '-' || c == '.' || c == '/';
    if (!plain || (c == '.' && path[i - 1] == '/')) {
      return false;
    }
  }
  return true;
}

class ServerImpl;

// One WebSocket client.
class WsSession : public std::enable_shared_from_this<WsSession> {
 public:
  WsSession(ServerImpl& server, tcp::socket socket, bool authorized)
      : server_(server), ws_(std::move(socket)), authorized_(authorized) {}

  void Accept(Request request);
  // Queues a message; a client whose queue is full is dropped.
  void Send(const Message& message);
  void Close();

  [[nodiscard]] bool said_hello() const { return said_hello_; }
  [[nodiscard]] bool authorized() const { return authorized_; }
  [[nodiscard]] int64_t replayed_up_to() const { return replayed_up_to_; }
  void AllowBacklog(std::size_t messages) { backlog_ += messages; }
  void SetHello(bool authorized, int64_t replayed_up_to) {
    said_hello_ = true;
    authorized_ = authorized;
    replayed_up_to_ = replayed_up_to;
  }

 private:
  void Read();
  void OnRead(beast::error_code error);
  void Write();
  void Finish();

  ServerImpl& server_;
  websocket::stream<beast::tcp_stream> ws_;
  beast::flat_buffer buffer_;
  std::deque<Message> queue_;
  bool writing_ = false;
  bool closed_ = false;
  bool said_hello_ = false;
  bool authorized_;
  int64_t replayed_up_to_ = 0;
  std::size_t backlog_ = 0;  // queued messages beyond the bound (a replay), not yet written
};

// One HTTP connection, until it upgrades to a WebSocket or ends.
class HttpSession : public std::enable_shared_from_this<HttpSession> {
 public:
  HttpSession(ServerImpl& server, tcp::socket socket) : server_(server), stream_(std::move(socket)) {}
  void Read();

 private:
  void OnRead(beast::error_code error);
  void Reply(Response response);
  void Handle(Request request);

  ServerImpl& server_;
  beast::tcp_stream stream_;
  beast::flat_buffer buffer_{kMaxHeaderBytes + kMaxBodyBytes};
  std::optional<http::request_parser<http::string_body>> parser_;
};

class ServerImpl final : public Server, public EventSink {
 public:
  ServerImpl(const Config& config, Journal& journal)
      : config_(config), journal_(journal), acceptor_(io_), probe_timer_(io_) {
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
    // Acceptance goes off on every validator as soon as a write fails.
    journal_.OnFailing([this] { asio::post(io_, [this] { JournalChanged(); }); });
  }

  ~ServerImpl() override {
    Stop();
    journal_.OnFailing(nullptr);
  }

  unsigned Port() const override { return port_; }
  void SetPolicy(AccessPolicy policy) override { policy_ = std::move(policy); }
  EventSink& Sink() override { return *this; }
  void SetValidators(std::vector<Validator*> validators) override { validators_ = std::move(validators); }

  void Start() override {
    Accept();
    Probe();
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
    asio::post(io_, [this] {
      beast::error_code ignored;
      acceptor_.close(ignored);
      probe_timer_.cancel();
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
        if (session->said_hello() && (journal_id == 0 || journal_id > session->replayed_up_to())) {
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
  bool RoomForClient() const { return sessions_.size() < config_.max_clients; }
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

  // Runs one client message; reply gets each message for the client.
  // session is null for POST /v1/command.
  void Dispatch(std::string_view text, bool authorized, WsSession* session,
                const std::function<void(std::string)>& reply) {
    try {
      Run(text, authorized, session, reply);
    } catch (const std::exception& error) {
      // A failure of one command (the journal, memory) is that command's.
      reply(ErrorReply(std::string("failed: ") + error.what()));
    }
  }

 private:
  void Run(std::string_view text, bool authorized, WsSession* session,
           const std::function<void(std::string)>& reply) {
    ParsedCommand parsed = ParseCommand(text);
    if (!parsed.command) {
      reply(ErrorReply(parsed.error, parsed.ref));
      return;
    }
    const Command& command = *parsed.command;
    if (command.kind == CommandKind::kHello) {
      Hello(command, authorized, session, reply);
      return;
    }
    if (command.kind == CommandKind::kStatus) {
      std::vector<Validator*> chosen;
      if (!Choose(command, chosen, reply)) {
        return;
      }
      for (Validator* validator : chosen) {
        reply(validator->StatusJson());
      }
      reply(OkReply(command.kind, command.ref));
      return;
    }
    if (!authorized) {
      Refused();
      reply(ErrorReply("unauthorized: give the token", command.ref));
      return;
    }
    switch (command.kind) {
      case CommandKind::kEnable:
      case CommandKind::kDisable: {
        std::vector<Validator*> chosen;
        if (Choose(command, chosen, reply)) {
          for (Validator* validator : chosen) {
            validator->SetEnabled(command.kind == CommandKind::kEnable);
          }
          reply(OkReply(command.kind, command.ref));
        }
        break;
      }
      case CommandKind::kStack:
      case CommandKind::kReturn: {
        auto result = Validator::Decision::kNoBill;
        std::string why;
        for (Validator* validator : validators_) {
          if (result == Validator::Decision::kNoBill) {
            result = validator->Decide(command.id, command.kind == CommandKind::kStack, why);
          }
        }
        reply(result == Validator::Decision::kTaken ? OkReply(command.kind, command.ref, "id", command.id)
              : result == Validator::Decision::kNoBill
                  ? ErrorReply("no bill waits for a decision under this id", command.ref)
                  : ErrorReply(why, command.ref));
        break;
      }
      case CommandKind::kAck: {
        try {
          const auto result = journal_.Ack(command.id);
          reply(result == Journal::AckResult::kNotStacked
                    ? ErrorReply("no stacked event has this id", command.ref)
                    : OkReply(command.kind, command.ref, "id", command.id));
        } catch (const JournalError& error) {
          reply(ErrorReply(std::string("not acknowledged: ") + error.what(), command.ref));
        }
        break;
      }
      default:
        break;
    }
  }

 public:
  std::string StatusBody() const {
    std::string body = "{\"devices\":[";
    for (std::size_t i = 0; i < validators_.size(); ++i) {
      body += (i ? "," : "") + validators_[i]->StatusJson();
    }
    return body + "],\"journal\":" + JournalHealthJson(journal_.Health()) + "}";
  }

  // Empty when the journal is healthy, else why not.
  std::string JournalTrouble() const {
    const JournalHealth health = journal_.Health();
    return health.ok ? std::string() : health.error;
  }

  std::string EventsBody(int64_t since, int limit) {
    const auto events = journal_.Since(since, limit);
    std::string body = "{\"events\":[";
    for (std::size_t i = 0; i < events.size(); ++i) {
      body += (i ? "," : "") + BillEventJson(events[i]);
    }
    return body + "],\"last_id\":" + std::to_string(journal_.LastId()) + "}";
  }

  std::string MetricsBody() {
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
    return RenderMetrics(snapshots, figures);
  }

 private:
  void Accept() {
    acceptor_.async_accept([this](beast::error_code error, tcp::socket socket) {
      if (error == asio::error::operation_aborted || !acceptor_.is_open()) {
        return;
      }
      if (!error) {
        beast::error_code ignored;
        socket.set_option(asio::socket_base::send_buffer_size(kSendBufferBytes), ignored);
        std::make_shared<HttpSession>(*this, std::move(socket))->Read();
      }
      Accept();
    });
  }

  // Every second while the journal fails: does it take writes again?  The
  // rows that waited are written and published; acceptance comes back where
  // clients want it.
  void Probe() {
    probe_timer_.expires_after(kProbeInterval);
    probe_timer_.async_wait([this](beast::error_code error) {
      if (error == asio::error::operation_aborted) {
        return;
      }
      Journal::ProbeResult result = journal_.Probe();
      for (const BillEvent& event : result.written) {
        Publish(BillEventJson(event), event.id);
      }
      if (result.recovered) {
        std::cerr << "notavero-serve: the journal takes writes again" << std::endl;
        JournalChanged();
      }
      Probe();
    });
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

  bool Choose(const Command& command, std::vector<Validator*>& chosen,
              const std::function<void(std::string)>& reply) const {
    for (Validator* validator : validators_) {
      if (command.device.empty() || command.device == validator->Name()) {
        chosen.push_back(validator);
      }
    }
    if (chosen.empty()) {
      reply(ErrorReply("unknown device", command.ref));
      return false;
    }
    return true;
  }

  void Hello(const Command& command, bool authorized, WsSession* session,
             const std::function<void(std::string)>& reply) {
    if (session == nullptr) {
      reply(ErrorReply("hello is for WebSocket clients", command.ref));
      return;
    }
    if (!command.token.empty()) {
      if (!TokenEquals(policy_.token, command.token)) {
        Refused();
        reply(ErrorReply("unauthorized: wrong token", command.ref));
        return;
      }
      authorized = true;
    }
    const bool was_decider = session->said_hello() && session->authorized();
    int64_t replayed = session->replayed_up_to();
    int64_t count = 0;
    bool more = false;
    if (command.since >= 0) {
      std::vector<BillEvent> events;
      try {
        events = journal_.Since(command.since, kReplayLimit);
      } catch (const JournalError& error) {
        reply(ErrorReply(std::string("no replay: ") + error.what(), command.ref));
        return;
      }
      more = events.size() == static_cast<std::size_t>(kReplayLimit);
      // The replay may exceed the client's queue bound; the bound holds
      // again for what comes after it.
      session->AllowBacklog(events.size() + validators_.size() + 1);
      for (const auto& event : events) {
        reply(BillEventJson(event));
        replayed = std::max(replayed, event.id);
        ++count;
      }
    }
    if (!session->said_hello() && command.since < 0) {
      // Live events from now on.
      try {
        replayed = std::max(replayed, journal_.LastId());
      } catch (const JournalError& error) {
        reply(ErrorReply(std::string("hello failed: ") + error.what(), command.ref));
        return;
      }
    }
    session->SetHello(authorized, replayed);
    if (authorized && !was_decider) {
      ++deciders_;
    }
    for (Validator* validator : validators_) {
      reply(validator->StatusJson());
    }
    JsonObject ok;
    ok.Add("type", "ok").Add("cmd", "hello").Add("authorized", authorized).Add("replayed", count);
    ok.Add("last_id", replayed);
    if (more) {
      ok.Add("more", true);
    }
    if (!command.ref.empty()) {
      ok.Add("ref", command.ref);
    }
    reply(ok.Text());
  }

  const Config& config_;
  Journal& journal_;
  asio::io_context io_{1};
  tcp::acceptor acceptor_;
  unsigned port_ = 0;
  AccessPolicy policy_;
  std::vector<Validator*> validators_;
  std::set<std::shared_ptr<WsSession>> sessions_;
  std::atomic<int> deciders_{0};
  uint64_t dropped_ = 0;
  uint64_t refused_ = 0;
  std::thread thread_;
  asio::steady_timer probe_timer_;
  bool journal_was_ok_ = true;
};

// ---- WebSocket session ----

void WsSession::Accept(Request request) {
  beast::get_lowest_layer(ws_).expires_never();
  ws_.set_option(websocket::stream_base::timeout{std::chrono::seconds(30), std::chrono::seconds(60), true});
  ws_.set_option(websocket::stream_base::decorator(
      [](websocket::response_type& response) { response.set(http::field::server, "notavero-serve"); }));
  ws_.read_message_max(kMaxMessageBytes);
  ws_.text(true);
  server_.Add(shared_from_this());
  // The request stays alive until the handshake is done.
  auto held = std::make_shared<Request>(std::move(request));
  ws_.async_accept(*held, [self = shared_from_this(), held](beast::error_code error) {
    if (error) {
      self->Finish();
      return;
    }
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
  if (!ws_.got_text()) {
    Send(std::make_shared<const std::string>(ErrorReply("binary messages are not understood")));
  } else {
    server_.Dispatch(text, authorized_, this, [this](std::string reply) {
      Send(std::make_shared<const std::string>(std::move(reply)));
    });
  }
  if (!closed_) {
    Read();
  }
}

void WsSession::Send(const Message& message) {
  if (closed_) {
    return;
  }
  if (queue_.size() >= server_.config().client_queue + backlog_) {
    // It does not read: drop it rather than hold anything for it.
    server_.Remove(shared_from_this(), true);
    Close();
    return;
  }
  queue_.push_back(message);
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
                    self->queue_.pop_front();
                    if (self->backlog_ > 0) {
                      --self->backlog_;
                    }
                    if (!self->queue_.empty()) {
                      self->Write();
                    }
                  });
}

void WsSession::Close() {
  if (closed_) {
    return;
  }
  closed_ = true;
  queue_.clear();
  beast::error_code ignored;
  beast::get_lowest_layer(ws_).socket().shutdown(tcp::socket::shutdown_both, ignored);
  beast::get_lowest_layer(ws_).close();
}

void WsSession::Finish() {
  server_.Remove(shared_from_this(), false);
  Close();
}

// ---- HTTP session ----

void HttpSession::Read() {
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
  response.body() = std::move(body);
  return response;
}

void HttpSession::OnRead(beast::error_code error) {
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
  http::async_write(stream_, *shared,
                    [self = shared_from_this(), shared](beast::error_code error, std::size_t) {
                      if (error || !shared->keep_alive()) {
                        beast::error_code ignored;
                        self->stream_.socket().shutdown(tcp::socket::shutdown_both, ignored);
                        return;
                      }
                      self->Read();
                    });
}

void HttpSession::Handle(Request request) {
  const bool keep_alive = request.keep_alive();
  const auto refuse = [&](http::status status, std::string why) {
    server_.Refused();
    Response response = TextResponse(status, std::move(why) + "\n");
    response.keep_alive(false);
    Reply(std::move(response));
  };
  const AccessPolicy& policy = server_.policy();
  if (!HostAllowed(policy, request[http::field::host])) {
    refuse(http::status::forbidden, "foreign Host");
    return;
  }
  const auto origin = request.find(http::field::origin);
  const bool origin_ok = OriginAllowed(policy, origin == request.end() ? std::string_view() : origin->value(),
                                       origin != request.end());
  const std::string_view target = request.target();
  const std::string_view path = PathOf(target);
  const bool bearer = BearerAllowed(policy, request[http::field::authorization]);

  if (websocket::is_upgrade(request)) {
    if (path != "/v1/ws") {
      refuse(http::status::not_found, "no WebSocket here: /v1/ws");
      return;
    }
    if (!origin_ok) {
      refuse(http::status::forbidden, "foreign Origin");
      return;
    }
    if (!server_.RoomForClient()) {
      refuse(http::status::service_unavailable, "too many clients");
      return;
    }
    stream_.expires_never();
    std::make_shared<WsSession>(server_, stream_.release_socket(), bearer)->Accept(std::move(request));
    return;
  }

  Response response;
  if (request.method() == http::verb::post && path == "/v1/command") {
    if (!origin_ok) {
      refuse(http::status::forbidden, "foreign Origin");
      return;
    }
    if (!bearer) {
      refuse(http::status::unauthorized, "unauthorized: Authorization: Bearer TOKEN");
      return;
    }
    std::string body = "[";
    server_.Dispatch(request.body(), true, nullptr,
                     [&body](const std::string& reply) { body += (body.size() > 1 ? "," : "") + reply; });
    response = TextResponse(http::status::ok, body + "]", "application/json");
  } else if (request.method() != http::verb::get && request.method() != http::verb::head) {
    response = TextResponse(http::status::method_not_allowed, "method not allowed\n");
  } else if (path == "/healthz") {
    // 503 while money cannot be journaled: the kiosk should not take bills.
    const std::string trouble = server_.JournalTrouble();
    response = trouble.empty() ? TextResponse(http::status::ok, "ok\n")
                               : TextResponse(http::status::service_unavailable,
                                              "the journal is failing: " + trouble + "\n");
  } else if (path == "/v1/status") {
    response = TextResponse(http::status::ok, server_.StatusBody(), "application/json");
  } else if (path == "/v1/events") {
    const auto since = QueryNumber(target, "since", 0);
    const auto limit = QueryNumber(target, "limit", 1000);
    if (!since || !limit || *limit < 1 || *limit > 10000) {
      response = TextResponse(http::status::bad_request, "since=ID (0 or more), limit=1..10000\n");
    } else {
      try {
        response = TextResponse(http::status::ok, server_.EventsBody(*since, static_cast<int>(*limit)),
                                "application/json");
      } catch (const JournalError& error) {
        response = TextResponse(http::status::service_unavailable, std::string(error.what()) + "\n");
      }
    }
  } else if (path == "/metrics") {
    response =
        TextResponse(http::status::ok, server_.MetricsBody(), "text/plain; version=0.0.4; charset=utf-8");
  } else {
    const std::string file_path = std::string(path == "/" ? "/index.html" : path);
    std::ifstream file;
    if (!server_.config().www.empty() && SafeStaticPath(file_path)) {
      file.open(server_.config().www + file_path, std::ios::binary);
    }
    std::ostringstream content;
    if (file && (content << file.rdbuf()) && content.tellp() <= static_cast<std::streamoff>(kMaxFileBytes)) {
      response = TextResponse(http::status::ok, content.str(), ContentType(file_path));
    } else {
      response = TextResponse(http::status::not_found, "not found\n");
    }
  }
  response.keep_alive(keep_alive);
  if (request.method() == http::verb::head) {
    response.body().clear();
  }
  Reply(std::move(response));
}

}  // namespace

std::unique_ptr<Server> Server::Create(const Config& config, Journal& journal) {
  return std::make_unique<ServerImpl>(config, journal);
}

}  // namespace notavero::service
