// The HTTP and WebSocket side of notavero-serve: one thread runs every
// connection; validators hand it their messages through EventSink.
#pragma once

#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <utility>  // server.cpp: Asio 1.74 uses std::exchange without including it
#include <vector>

#include "service/config.h"
#include "service/journal.h"
#include "service/security.h"
#include "service/validator.h"

namespace notavero::service {

class Server {
 public:
  // Binds the listening socket (throws std::runtime_error when it cannot);
  // nothing is served before Start().
  static std::unique_ptr<Server> Create(const Config& config, Journal& journal);
  virtual ~Server() = default;

  [[nodiscard]] virtual unsigned Port() const = 0;
  // Host and Origin values and the token; set before Start().
  virtual void SetPolicy(AccessPolicy policy) = 0;
  virtual EventSink& Sink() = 0;
  // The validators that commands go to; set before Start().
  virtual void SetValidators(std::vector<Validator*> validators) = 0;
  // Figures of other parts (the ledger, the cassettes): text appended to
  // /metrics, and the JSON answer of a GET path they own (nullopt: not
  // theirs).  Set before Start(); called on the server's thread.
  struct Extras {
    std::function<std::string()> metrics;
    std::function<std::optional<std::string>(std::string_view path)> get;
  };
  virtual void SetExtras(Extras extras) = 0;
  virtual void Start() = 0;
  // Closes every connection and joins the thread.
  virtual void Stop() = 0;
};

}  // namespace notavero::service
