// notavero-serve's housekeeping: a thread of its own that, once a second,
// looks for validators absent at the start and, while the journal fails,
// probes whether it takes writes again; and acceptance that follows the
// journal when it fails or recovers.  No socket here.
#pragma once

#include <chrono>
#include <condition_variable>
#include <mutex>
#include <thread>
#include <vector>

#include "service/journal.h"
#include "service/validator.h"

namespace notavero::service {

class Housekeeping {
 public:
  static constexpr auto kProbeInterval = std::chrono::seconds(1);

  // sink: where the rows the probe writes are published, and the service's
  // thread that switches acceptance (Post).  From here on a failing journal
  // turns acceptance off on every validator at once.
  Housekeeping(Journal& journal, std::vector<Validator*> validators, EventSink& sink);
  ~Housekeeping();
  Housekeeping(const Housekeeping&) = delete;
  Housekeeping& operator=(const Housekeeping&) = delete;

  void Start();
  // Joins the thread; the journal's failure no longer reaches here.
  void Stop();

 private:
  void Run();
  void JournalChanged();

  Journal& journal_;
  std::vector<Validator*> validators_;
  EventSink& sink_;
  std::thread thread_;
  std::mutex mutex_;
  std::condition_variable wake_;
  bool stop_ = false;
  bool journal_was_ok_ = true;  // the service's thread's
};

}  // namespace notavero::service
