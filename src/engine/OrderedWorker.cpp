#include "OrderedWorker.h"

namespace kestro {

TOrderedWorker::TOrderedWorker(size_t depth) : Depth(depth ? depth : 1) {
  Thread = std::thread([this] { Body(); });
  WorkerId = Thread.get_id();
}

TOrderedWorker::~TOrderedWorker() { Abandon(); }

void TOrderedWorker::Abandon() {
  Open = false;
  {
    std::lock_guard<std::mutex> guard(Lock);
    Closing = true;
    Abandoned = true;
    Pending.clear();
  }
  Changed.notify_all();
  if (Thread.joinable())
    Thread.join();
}

void TOrderedWorker::Body() {
  std::unique_lock<std::mutex> guard(Lock);
  for (;;) {
    Changed.wait(guard, [this] { return !Pending.empty() || Closing; });
    if (Pending.empty() || Abandoned)
      return;
    std::function<void()> work = std::move(Pending.front());
    Pending.pop_front();
    Busy = true;
    Changed.notify_all(); // room for the poster
    if (!Failure) {
      guard.unlock();
      try {
        work();
      } catch (...) {
        guard.lock();
        Failure = std::current_exception();
        guard.unlock();
      }
      work = nullptr; // what it held goes on this thread, outside the lock
      guard.lock();
    }
    Busy = false;
    Changed.notify_all();
  }
}

void TOrderedWorker::RaiseFailure() {
  // Called under the lock: the failure is raised once, to the poster.
  if (Failure && !FailureRaised) {
    FailureRaised = true;
    std::rethrow_exception(Failure);
  }
}

void TOrderedWorker::Post(std::function<void()> work) {
  if (!Open) {
    work();
    return;
  }
  std::unique_lock<std::mutex> guard(Lock);
  Changed.wait(guard, [this] { return Pending.size() < Depth || Failure; });
  RaiseFailure();
  if (Failure)
    return; // raised before: the run is failing, nothing more runs
  Pending.push_back(std::move(work));
  Changed.notify_all();
}

void TOrderedWorker::Drain() {
  if (!Open)
    return;
  std::unique_lock<std::mutex> guard(Lock);
  Changed.wait(guard, [this] { return Pending.empty() && !Busy; });
  RaiseFailure();
}

void TOrderedWorker::Finish() {
  if (!Open)
    return;
  Open = false;
  {
    std::unique_lock<std::mutex> guard(Lock);
    Changed.wait(guard, [this] { return Pending.empty() && !Busy; });
    Closing = true;
  }
  Changed.notify_all();
  Thread.join();
  std::lock_guard<std::mutex> guard(Lock);
  RaiseFailure();
}

} // namespace kestro
