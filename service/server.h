// The HTTP and WebSocket side of notavero-serve: one thread runs every
// connection; validators hand it their messages through EventSink.
#pragma once

#include <functional>
#include <memory>
#include <string>
#include <utility>  // server.cpp: Asio 1.74 uses std::exchange without including it
#include <vector>

#include "service/config.h"
#include "service/journal.h"
#include "service/ledger.h"
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
  // The ledger's status, for /v1/ledger and /metrics (unset: no ledger).
  // Set before Start(); called on the server's thread.
  virtual void SetLedger(std::function<LedgerStatus()> status) = 0;
  virtual void Start() = 0;
  // Closes every connection and joins the thread.
  virtual void Stop() = 0;
};

}  // namespace notavero::service
