// The HTTP side of notavero-serve without a socket: a request goes in, a
// response (or the word to upgrade to a WebSocket) comes out.  The access
// policy, the routes and the static files live here; server.cpp only reads
// requests, hands them over and writes what comes back.
#pragma once

#include <chrono>
#include <cstdint>
#include <functional>
#include <optional>
#include <string>
#include <string_view>

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

// Answers one request.  policy: who may ask; www: the folder of the status
// page's files (empty: none); reads: the connection's journal read budget;
// later: the answer of a deferred request (outcome.deferred).
HttpOutcome HandleRequest(const HttpRequest& request, const AccessPolicy& policy, const std::string& www,
                          ReadBudget& reads, HttpBackend& backend, const AnswerLater& later);

}  // namespace notavero::service
