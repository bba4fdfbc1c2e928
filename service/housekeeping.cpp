#include "service/housekeeping.h"

#include <iostream>
#include <utility>

#include "service/messages.h"

namespace notavero::service {

Housekeeping::Housekeeping(Journal& journal, std::vector<Validator*> validators, EventSink& sink)
    : journal_(journal), validators_(std::move(validators)), sink_(sink) {
  // Acceptance goes off on every validator as soon as a write fails.
  journal_.OnFailing([this] { sink_.Post([this] { JournalChanged(); }); });
}

Housekeeping::~Housekeeping() {
  Stop();
}

void Housekeeping::Start() {
  thread_ = std::thread([this] { Run(); });
}

void Housekeeping::Stop() {
  if (thread_.joinable()) {
    {
      const std::scoped_lock lock(mutex_);
      stop_ = true;
    }
    wake_.notify_all();
    thread_.join();
  }
  journal_.OnFailing(nullptr);
}

// Every second, on a thread of its own (both may wait: a lock another
// program holds on the journal, a port slow to open; the network's thread
// never does): validators absent at the start are looked for, and while
// the journal fails, does it take writes again?  The rows that waited are
// written and published; acceptance comes back where clients want it.
void Housekeeping::Run() {
  std::unique_lock lock(mutex_);
  while (!wake_.wait_for(lock, kProbeInterval, [this] { return stop_; })) {
    lock.unlock();
    for (Validator* validator : validators_) {
      validator->OpenIfAbsent();
    }
    Journal::ProbeResult result = journal_.Probe();
    for (const BillEvent& event : result.written) {
      sink_.Publish(BillEventJson(event, journal_.Identity()), event.id);
    }
    if (result.recovered) {
      std::cerr << "notavero-serve: the journal takes writes again" << std::endl;
      sink_.Post([this] { JournalChanged(); });
    }
    lock.lock();
  }
}

// On the service's thread: the journal failed or recovered; acceptance
// follows, and clients hear of it.
void Housekeeping::JournalChanged() {
  const bool ok = journal_.Health().ok;
  if (ok != journal_was_ok_ && !ok) {
    std::cerr << "notavero-serve: the journal fails, acceptance is off: " << journal_.Health().error
              << std::endl;
  }
  journal_was_ok_ = ok;
  for (Validator* validator : validators_) {
    validator->ApplyAcceptance();
    sink_.Publish(validator->StatusJson(), 0);
  }
}

}  // namespace notavero::service
