// Boost.Beast over Asio, on one thread: every connection, the accept loop
// and the messages of the validators (posted from their driver threads) run
// there, so that the sessions need no locks.  This is the only file that
// includes Beast.  It only reads, queues and writes: what a request means
// and every route's body are the request handler's (routes.h), who is
// admitted and what a hello and its replay send are the roster's
// (clients.h), and what a command means is the command handler's
// (commands.h).
#include "service/server.h"

#include <boost/asio.hpp>
#include <boost/beast.hpp>
#include <deque>
#include <iostream>
#include <map>
#include <optional>
#include <sstream>
#include <thread>
#include <utility>

#include "service/clients.h"
#include "service/commands.h"
#include "service/messages.h"
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
// Bytes waiting for one client before it is dropped, whatever it asked for.
constexpr std::size_t kQueueBytesWithToken = 1 << 20;
constexpr std::size_t kQueueBytesReadOnly = 128 << 10;
constexpr auto kHttpTimeout = std::chrono::seconds(30);
// HTTP connections at once, whatever the descriptors allow; and the
// descriptors the service keeps for itself (journal, devices, listener).
constexpr std::size_t kMaxHttpConnections = 128;
constexpr int64_t kMinHttpConnections = 8;
constexpr int64_t kOwnDescriptors = 32;
constexpr auto kAcceptPause = std::chrono::milliseconds(100);

using Request = http::request<http::string_body>;
using Response = http::response<http::string_body>;
using Message = std::shared_ptr<const std::string>;

class ServerImpl;

// One WebSocket client.  What it is among the clients (admitted, with the
// token, replaying) is the roster's, under its serial.
class WsSession : public std::enable_shared_from_this<WsSession> {
 public:
  WsSession(ServerImpl& server, tcp::socket socket, uint64_t serial)
      : server_(server), ws_(std::move(socket)), hello_timer_(ws_.get_executor()), serial_(serial) {}

  // raw: the handshake request as it came, and whatever came after it.
  void Accept(std::string raw);
  // Queues a message; a client whose queue is full is dropped.
  void Send(const Message& message);
  void Close();
  // Ends the connection with a close frame that says why.
  void Shed(std::string why);

  [[nodiscard]] uint64_t serial() const { return serial_; }
  ~WsSession();
  WsSession(const WsSession&) = delete;
  WsSession& operator=(const WsSession&) = delete;

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
  bool handshaken_ = false;
  bool shedding_ = false;  // closing on the service's side: what it sends is not read
  uint64_t serial_;
  std::size_t queued_bytes_ = 0;
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

class ServerImpl final : public Server, public EventSink {
 public:
  ServerImpl(const Config& config, Journal& journal)
      : config_(config),
        commands_(journal, policy_),
        clients_(journal, commands_, config.max_clients, config.client_queue),
        routes_(journal, commands_, clients_, counts_, config.cassette_capacity),
        acceptor_(io_) {
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
  }

  ~ServerImpl() override {
    Stop();
    CloseReserveDescriptor(reserve_fd_);
  }

  unsigned Port() const override { return port_; }
  void SetPolicy(AccessPolicy policy) override { policy_ = std::move(policy); }
  EventSink& Sink() override { return *this; }
  void SetValidators(std::vector<Validator*> validators) override {
    commands_.SetDevices({validators.begin(), validators.end()});
    clients_.SetDevices({validators.begin(), validators.end()});
    routes_.SetValidators(std::move(validators));
  }
  void SetLedger(std::function<LedgerStatus()> status) override { routes_.SetLedger(std::move(status)); }

  void Start() override {
    Accept();
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
      accept_pause_.cancel();
      for (const auto& [serial, session] : std::map(sessions_)) {
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
      for (const uint64_t serial : clients_.Recipients(journal_id)) {
        if (const auto session = Session(serial)) {
          session->Send(shared);
        }
      }
    });
  }
  void Post(std::function<void()> work) override { asio::post(io_, std::move(work)); }
  int Deciders() const override { return clients_.Deciders(); }

  // For the sessions, on the server's thread.
  const AccessPolicy& policy() const { return policy_; }
  const Config& config() const { return config_; }
  HttpBackend& routes() { return routes_; }
  Clients& clients() { return clients_; }
  void Refused() { ++counts_.refused; }
  uint64_t NextSerial() { return ++serial_; }

  // A new WebSocket connection: room for it among those that wait for
  // their hello, then the roster counts it.
  void AddNewcomer(const std::shared_ptr<WsSession>& session, bool bearer) {
    Do(session->serial(), clients_.MakeRoomForNewcomer());
    sessions_[session->serial()] = session;
    clients_.Add(session->serial(), bearer);
  }
  void Remove(const std::shared_ptr<WsSession>& session, bool dropped) {
    clients_.Remove(session->serial(), dropped);
    sessions_.erase(session->serial());
  }
  // The session is gone: the roster forgets it.
  void Forget(uint64_t serial) { clients_.Forget(serial); }

  // What the roster says to do: the messages to this session, then the
  // connections it names closed.  False when this session is closed by it.
  bool Do(uint64_t serial, Clients::Outcome outcome) {
    if (outcome.refused) {
      Refused();
    }
    if (!outcome.messages.empty()) {
      if (const auto session = Session(serial)) {
        for (std::string& message : outcome.messages) {
          session->Send(std::make_shared<const std::string>(std::move(message)));
        }
      }
    }
    bool alive = true;
    for (auto& [other, why] : outcome.shed) {
      alive = alive && other != serial;
      if (const auto session = Session(other)) {
        session->Shed(std::move(why));
      }
    }
    return alive;
  }

  // A session wrote a message: what still waits goes to the roster.
  void Written(uint64_t serial, std::size_t queued, std::size_t queued_bytes) {
    Do(serial, clients_.Written(serial, queued, queued_bytes));
  }

  // A WebSocket client's message: the roster answers it.  A decision's
  // reply comes after the driver's thread journaled it, on this thread, to
  // the session if it is still there.
  void OnMessage(WsSession& session, std::string_view text) {
    const auto later = [weak = session.weak_from_this()](std::string reply) {
      if (const auto alive = weak.lock()) {
        alive->Send(std::make_shared<const std::string>(std::move(reply)));
      }
    };
    Do(session.serial(), clients_.Message(session.serial(), text, later));
  }

 private:
  std::shared_ptr<WsSession> Session(uint64_t serial) const {
    const auto found = sessions_.find(serial);
    return found == sessions_.end() ? nullptr : found->second;
  }

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
    Refused();
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
        Refused();
        session->Shed();
        return;
      }
    }
  }

 public:
  void AddHttp(uint64_t serial, const std::shared_ptr<HttpSession>& session) { http_[serial] = session; }
  // Bytes of HTTP answers not yet written, all connections together (the
  // routes refuse journal reads while too many wait).
  void AnswerBytes(int64_t change) { counts_.answer_bytes += change; }
  void RemoveHttp(uint64_t serial) { http_.erase(serial); }

 private:
  const Config& config_;
  AccessPolicy policy_;
  CommandHandler commands_;  // reads the journal and policy_
  Clients clients_;
  ServiceRoutes::NetworkCounts counts_;
  ServiceRoutes routes_;
  // Before io_: the sessions its handlers hold remove themselves from it.
  std::map<uint64_t, std::weak_ptr<HttpSession>> http_;
  std::size_t http_limit_ = kMaxHttpConnections;
  int reserve_fd_ = -1;
  bool out_of_descriptors_said_ = false;
  asio::io_context io_{1};
  asio::steady_timer accept_pause_{io_};
  tcp::acceptor acceptor_;
  unsigned port_ = 0;
  std::map<uint64_t, std::shared_ptr<WsSession>> sessions_;  // counted by the roster
  uint64_t serial_ = 0;
  std::thread thread_;
};

// ---- WebSocket session ----

void WsSession::Accept(std::string raw) {
  beast::get_lowest_layer(ws_).expires_never();
  ws_.set_option(websocket::stream_base::timeout{std::chrono::seconds(30), std::chrono::seconds(60), true});
  ws_.set_option(websocket::stream_base::decorator(
      [](websocket::response_type& response) { response.set(http::field::server, "notavero-serve"); }));
  ws_.read_message_max(kMaxMessageBytes);
  ws_.text(true);
  // The bytes stay alive until the handshake is done; those after the
  // request (a first message in the same packet) are the stream's first.
  auto held = std::make_shared<std::string>(std::move(raw));
  ws_.async_accept(asio::buffer(*held), [self = shared_from_this(), held](beast::error_code error) {
    if (error) {
      self->Finish();
      return;
    }
    self->handshaken_ = true;
    if (!self->server_.Do(self->serial_, self->server_.clients().Handshaken(self->serial_))) {
      return;
    }
    self->hello_timer_.expires_after(Clients::kHelloTimeout);
    self->hello_timer_.async_wait([weak = std::weak_ptr<WsSession>(self)](beast::error_code waited) {
      const auto session = weak.lock();
      if (waited || !session) {
        return;
      }
      if (auto why = session->server_.clients().HelloLate(session->serial_)) {
        session->server_.Refused();
        session->Shed(std::move(*why));
      }
    });
    self->Read();
  });
}

WsSession::~WsSession() {
  server_.Forget(serial_);
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
  const bool token = server_.clients().Token(serial_);
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
                    // The next page of a replay under way, once most is read.
                    self->server_.Written(self->serial_, self->queue_.size(), self->queued_bytes_);
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
      HandleRequest(asked, server_.policy(), server_.config().www, reads_, server_.routes(), later);
  if (outcome.deferred) {
    return;
  }
  if (outcome.refused) {
    server_.Refused();
  }
  if (outcome.upgrade) {
    stream_.expires_never();
    std::ostringstream raw;
    raw << request << beast::make_printable(buffer_.data());
    buffer_.consume(buffer_.size());
    const auto session = std::make_shared<WsSession>(server_, stream_.release_socket(), server_.NextSerial());
    server_.AddNewcomer(session, outcome.bearer);
    session->Accept(std::move(raw).str());
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
