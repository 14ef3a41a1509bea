#include "OrderedWorker.h"

#include <algorithm>

namespace kestro {

TOrderedWorker::TOrderedWorker(size_t depth) : Depth(depth ? depth : 1) {
  Thread = std::thread([this] { Body(); });
  WorkerId = Thread.get_id();
}

TOrderedWorker::~TOrderedWorker() {
  Abandon();
}

void TOrderedWorker::Abandon() {
  Open = false;
  {
    std::lock_guard<std::mutex> guard(Lock);
    Closing = true;
    Abandoned = true;
    Pending.clear();
  }
  WorkCame.notify_all();
  WorkDone.notify_all();
  if (Thread.joinable())
    Thread.join();
}

void TOrderedWorker::Body() {
  std::unique_lock<std::mutex> guard(Lock);
  for (;;) {
    ThreadWaits = true;
    WorkCame.wait(guard, [this] { return !Pending.empty() || Closing; });
    ThreadWaits = false;
    if (Pending.empty() || Abandoned)
      return;
    std::function<void()> work = std::move(Pending.front());
    Pending.pop_front();
    Busy = true;
    if (OthersWait && Pending.size() <= Depth / 2)
      WorkDone.notify_all(); // room for the posters
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
    if (OthersWait && (Pending.empty() || Failure))
      WorkDone.notify_all();
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
  if (Pending.size() >= Depth && !Failure) {
    ++OthersWait;
    WorkCame.notify_one(); // a full queue always has the thread awake
    WorkDone.wait(guard, [this] { return Pending.size() <= Depth / 2 || Failure; });
    --OthersWait;
  }
  RaiseFailure();
  if (Failure)
    return; // raised before: the run is failing, nothing more runs
  Pending.push_back(std::move(work));
  if (ThreadWaits && (Pending.size() >= WakeAt() || Drains > 0))
    WorkCame.notify_one();
}

void TOrderedWorker::WaitIdle(std::unique_lock<std::mutex>& guard) {
  ++OthersWait;
  ++Drains;
  WorkCame.notify_one();
  // After a failure the thread drops what waits, unrun.
  WorkDone.wait(guard, [this] { return Pending.empty() && !Busy; });
  --OthersWait;
  --Drains;
}

void TOrderedWorker::Drain() {
  if (!Open)
    return;
  std::unique_lock<std::mutex> guard(Lock);
  WaitIdle(guard);
  RaiseFailure();
}

void TOrderedWorker::Finish() {
  if (!Open)
    return;
  Open = false;
  {
    std::unique_lock<std::mutex> guard(Lock);
    WaitIdle(guard);
    Closing = true;
  }
  WorkCame.notify_all();
  Thread.join();
  std::lock_guard<std::mutex> guard(Lock);
  RaiseFailure();
}

} // namespace kestro
