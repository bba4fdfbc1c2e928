// The HTTP side of notavero-serve without a socket: a request goes in, a
// response (or the word to upgrade to a WebSocket) comes out.  The access
// policy, the routes, every route's body (ServiceRoutes) and the static
// files live here; server.cpp only reads requests, hands them over and
// writes what comes back.
#pragma once

#include <chrono>
#include <cstdint>
#include <functional>
#include <optional>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "service/ledger.h"
#include "service/security.h"

namespace notavero::service {

// A token bucket for one connection's journal reads (a hello with since,
// GET /v1/events): a burst of kReadBurst, then kReadsPerSecond.
class ReadBudget {
 public:
  static constexpr double kReadsPerSecond = 5;
  static constexpr double kReadBurst = 10;

  bool Take();

 private:
  double tokens_ = kReadBurst;
  std::chrono::steady_clock::time_point last_ = std::chrono::steady_clock::now();
};

// Why a journal read was refused, for the client.
std::string ReadRefusal();

// One request, as the routes need it.
struct HttpRequest {
  std::string method;  // "GET", "POST", ...
  std::string target;  // path and query
  std::string host;
  std::optional<std::string> origin;
  std::string authorization;
  std::string fetch_site;  // Sec-Fetch-Site
  bool upgrade = false;    // a WebSocket handshake
  bool keep_alive = true;
  std::string body;
};

struct HttpResponse {
  int status = 200;
  std::string body;
  std::string content_type = "text/plain; charset=utf-8";
  std::string retry_after;  // empty: no Retry-After
  bool keep_alive = true;
};

struct HttpOutcome {
  // Answer with response, or (upgrade) hand the connection to a WebSocket
  // client, with the token when the handshake's Authorization had it.
  HttpResponse response;
  bool upgrade = false;
  bool bearer = false;
  // The request is counted among the refused ones (notavero_requests_refused_total).
  bool refused = false;
  // The answer comes later, through the AnswerLater given (a decision on a
  // bill, once the journal holds it).
  bool deferred = false;
};

using AnswerLater = std::function<void(HttpResponse response)>;

// What the routes read from the rest of the service.
class HttpBackend {
 public:
  // {"devices":[...],"journal":{...}}
  [[nodiscard]] virtual std::string StatusBody() const = 0;
  // Empty when the service can take money, else why not, a line each.
  [[nodiscard]] virtual std::string Trouble() const = 0;
  // {"events":[...],"last_id":N}; throws JournalError.
  virtual std::string EventsBody(int64_t since, int limit) = 0;
  virtual std::string MetricsBody() = 0;
  // The JSON answer of a GET path another part owns (the cassettes); nullopt: none.
  [[nodiscard]] virtual std::optional<std::string> ExtraGet(std::string_view path) const = 0;
  // More answers wait for clients that do not read them than the service holds.
  [[nodiscard]] virtual bool AnswersBusy() const = 0;
  // The replies to POST /v1/command's body (a client with the token), as a
  // JSON array; nullopt when the array comes later, through later (a
  // decision on a bill: answered once the journal holds it).
  virtual std::optional<std::string> Command(std::string_view body,
                                             std::function<void(std::string array)> later) = 0;

 protected:
  ~HttpBackend() = default;
};

class Clients;
class CommandHandler;
class Journal;
class Validator;

// The routes' bodies over the running service: the journal, the
// validators, the clients, the commands and the ledger's status.  Called
// on the server's thread.
class ServiceRoutes final : public HttpBackend {
 public:
  // What the network side counts, for /metrics and for the bound on
  // answers that wait for their clients.
  struct NetworkCounts {
    uint64_t refused = 0;      // requests refused (notavero_requests_refused_total)
    int64_t answer_bytes = 0;  // bytes of HTTP answers not yet written, all connections together
  };

  ServiceRoutes(Journal& journal, CommandHandler& commands, const Clients& clients, NetworkCounts& counts,
                unsigned cassette_capacity)
      : journal_(journal),
        commands_(commands),
        clients_(clients),
        counts_(counts),
        cassette_capacity_(cassette_capacity) {}

  // Set before the first request.
  void SetValidators(std::vector<Validator*> validators) { validators_ = std::move(validators); }
  // The ledger's status (/v1/ledger, /metrics); without it, a ledger that
  // is not configured.
  void SetLedger(std::function<LedgerStatus()> status) { ledger_ = std::move(status); }

  [[nodiscard]] std::string StatusBody() const override;
  // Empty when the journal is healthy and every validator online and able
  // to take bills, else why not, a line each.
  [[nodiscard]] std::string Trouble() const override;
  std::string EventsBody(int64_t since, int limit) override;
  std::string MetricsBody() override;
  // /v1/ledger and /v1/cassette.
  [[nodiscard]] std::optional<std::string> ExtraGet(std::string_view path) const override;
  // A journal read is refused while more than kAnswerBytes of answers
  // wait, so that clients that ask and do not read hold a bounded amount.
  static constexpr int64_t kAnswerBytes = 16 << 20;
  [[nodiscard]] bool AnswersBusy() const override { return counts_.answer_bytes > kAnswerBytes; }
  // POST /v1/command (the token was checked).
  std::optional<std::string> Command(std::string_view body,
                                     std::function<void(std::string array)> later) override;

 private:
  [[nodiscard]] LedgerStatus Ledger() const;

  Journal& journal_;
  CommandHandler& commands_;
  const Clients& clients_;
  NetworkCounts& counts_;
  unsigned cassette_capacity_;
  std::vector<Validator*> validators_;
  std::function<LedgerStatus()> ledger_;
};

// Answers one request.  policy: who may ask; www: the folder of the status
// page's files (empty: none); reads: the connection's journal read budget;
// later: the answer of a deferred request (outcome.deferred).
HttpOutcome HandleRequest(const HttpRequest& request, const AccessPolicy& policy, const std::string& www,
                          ReadBudget& reads, HttpBackend& backend, const AnswerLater& later);

}  // namespace notavero::service
