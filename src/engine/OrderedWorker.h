// A thread that runs posted work one piece at a time, in the order posted.
// The run's output side (picture preparation for the encoder, encoding and
// muxing) runs on one while decoding goes on, so the files it writes are the
// same as when everything runs on one thread.
#pragma once

#include <algorithm>
#include <atomic>
#include <condition_variable>
#include <cstddef>
#include <deque>
#include <exception>
#include <functional>
#include <mutex>
#include <thread>

namespace kestro {

class TOrderedWorker {
public:
  // At most `depth` pieces wait at once: Post blocks while that many do,
  // until half of them have run.
  explicit TOrderedWorker(size_t depth);
  // Abandons (below).
  ~TOrderedWorker();
  TOrderedWorker(const TOrderedWorker&) = delete;
  TOrderedWorker& operator=(const TOrderedWorker&) = delete;

  // Queues the work; raises what an earlier piece raised, which ends the
  // worker: the rest is dropped unrun.
  void Post(std::function<void()> work);
  // Waits until everything posted has run, then raises what a piece raised.
  void Drain();
  // Drain, then the thread ends. Further work runs on the caller's thread.
  void Finish();
  // Lets what waits go unrun and joins the thread once the piece it runs
  // ends. The worker stays in place meanwhile: that piece may still ask
  // where its own work goes.
  void Abandon();
  bool OnWorkerThread() const { return std::this_thread::get_id() == WorkerId; }
  // Until Finish: work posted from elsewhere waits for the thread.
  bool Running() const { return Open; }

private:
  void Body();
  void RaiseFailure();
  // Waits, under the lock, until everything posted has run.
  void WaitIdle(std::unique_lock<std::mutex>& guard);
  const size_t Depth;
  std::mutex Lock;
  // The thread waits on WorkCame, posters and drains on WorkDone. Each side
  // is woken only when it waits and, in the middle of a run, only once a
  // few pieces can go: a wake-up per piece costs more than small pieces do.
  std::condition_variable WorkCame;
  std::condition_variable WorkDone;
  bool ThreadWaits = false;
  int OthersWait = 0; // posters and drains waiting
  int Drains = 0;     // drains waiting: the thread is woken for any piece
  // While the worker runs, posters wait for room with the queue full and
  // go on once half of it is free; an idle thread is woken once half the
  // queue waits (at once when the posters wait for it to end). So each
  // side, once woken, has half a queue to work through.
  size_t WakeAt() const { return std::max<size_t>(1, Depth / 2); }
  std::deque<std::function<void()>> Pending;
  bool Busy = false;     // a piece is running
  bool Closing = false;  // no more work comes: the thread ends once idle
  bool Abandoned = false; // end without running what waits
  std::exception_ptr Failure;
  bool FailureRaised = false;
  std::atomic<bool> Open{true};
  std::thread Thread;
  std::thread::id WorkerId;
};

} // namespace kestro
