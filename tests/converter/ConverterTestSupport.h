// Helpers of the converter suites: a temporary folder, an event recorder,
// a tiny event loop for thread mode 0, and a source that arrives slowly
// through a named pipe, so that a job can be caught in the middle of its run.
#pragma once

#include "FixtureMedia.h"
#include "FixturePipe.h"
#include "QxAVConverter.h"

#include <gtest/gtest.h>

#include <chrono>
#include <condition_variable>
#include <csignal>
#include <deque>
#include <fcntl.h>
#include <filesystem>
#include <fstream>
#include <functional>
#include <iterator>
#include <mutex>
#include <string>
#include <sys/stat.h>
#include <thread>
#include <unistd.h>
#include <vector>

namespace kestro::test {

using namespace std::chrono_literals;
using TClock = std::chrono::steady_clock;

class TTempFolder {
public:
  TTempFolder() {
    char pattern[] = "/tmp/kestro-conv-XXXXXX";
    Path = mkdtemp(pattern);
  }
  ~TTempFolder() { std::filesystem::remove_all(Path); }
  std::string operator/(const std::string& name) const { return Path + "/" + name; }
  std::string Path;
};

// Waits until `done` holds, checking every few milliseconds.
inline bool WaitUntil(const std::function<bool()>& done, std::chrono::milliseconds limit = 10s) {
  const auto end = TClock::now() + limit;
  while (!done()) {
    if (TClock::now() > end)
      return false;
    std::this_thread::sleep_for(2ms);
  }
  return true;
}

// What the component raised, in order, with the thread and time of each.
struct TEvent {
  enum TKind { Progress, Terminate, Log } Kind = Progress;
  int Index = 0;
  std::thread::id Thread;
  TClock::time_point Time;
  bool Finished = false, Exception = false;
  std::string Text; // terminate message or log line
  TLogLevel Level = llQuiet;

  static TEvent Now(TKind kind, int index) {
    TEvent e;
    e.Kind = kind;
    e.Index = index;
    e.Thread = std::this_thread::get_id();
    e.Time = TClock::now();
    return e;
  }
};

class TEventRecorder {
public:
  // Connects progress, terminate and log events; `onTerminate` runs inside
  // the terminate event, before it is recorded as returned.
  void Attach(TCustomAVConverter& c, std::function<void(int)> onTerminate = {}) {
    c.OnProgress = [this](int i, int, int, int, float, float, int64_t, int) {
      Add(TEvent::Now(TEvent::Progress, i));
    };
    c.OnTerminate = [this, onTerminate](int i, bool finished, bool exception,
                                        const std::string& message) {
      if (onTerminate)
        onTerminate(i);
      TEvent e = TEvent::Now(TEvent::Terminate, i);
      e.Finished = finished;
      e.Exception = exception;
      e.Text = message;
      Add(e);
    };
    c.OnLog = [this](int i, TLogLevel level, const std::string& line) {
      TEvent e = TEvent::Now(TEvent::Log, i);
      e.Level = level;
      e.Text = line;
      Add(e);
    };
  }
  void Add(const TEvent& e) {
    std::lock_guard<std::mutex> lock(Mutex);
    Events.push_back(e);
    Changed.notify_all();
  }
  // Waits for the notification that every job has ended.
  bool WaitForBatchEnd(std::chrono::milliseconds limit = 20s) {
    std::unique_lock<std::mutex> lock(Mutex);
    return Changed.wait_for(lock, limit, [this] { return EndedLocked(); });
  }
  bool BatchEnded() {
    std::lock_guard<std::mutex> lock(Mutex);
    return EndedLocked();
  }
  std::vector<TEvent> Snapshot(TEvent::TKind kind) {
    std::lock_guard<std::mutex> lock(Mutex);
    std::vector<TEvent> out;
    for (const TEvent& e : Events)
      if (e.Kind == kind)
        out.push_back(e);
    return out;
  }
  std::vector<std::string> Lines(int index) {
    std::vector<std::string> out;
    for (const TEvent& e : Snapshot(TEvent::Log))
      if (e.Index == index)
        out.push_back(e.Text);
    return out;
  }

private:
  bool EndedLocked() const {
    for (const TEvent& e : Events)
      if (e.Kind == TEvent::Terminate && e.Index == -1)
        return true;
    return false;
  }
  std::mutex Mutex;
  std::condition_variable Changed;
  std::vector<TEvent> Events;
};

// The owner's side of thread mode 0: delayed calls run on the test's thread.
class TEventLoop {
public:
  void Attach(TCustomAVConverter& c) {
    c.PostDelayed = [this](int delayMs, std::function<void()> action) {
      std::lock_guard<std::mutex> lock(Mutex);
      Delays.push_back(delayMs);
      Calls.push_back({TClock::now() + std::chrono::milliseconds(delayMs), std::move(action)});
    };
  }
  // Runs due calls until `done` holds or the time is up.
  bool RunUntil(const std::function<bool()>& done, std::chrono::milliseconds limit = 20s) {
    const auto end = TClock::now() + limit;
    while (!done()) {
      if (TClock::now() > end)
        return false;
      std::function<void()> action;
      {
        std::lock_guard<std::mutex> lock(Mutex);
        if (!Calls.empty() && Calls.front().Due <= TClock::now()) {
          action = std::move(Calls.front().Action);
          Calls.pop_front();
        }
      }
      if (action)
        action();
      else
        std::this_thread::sleep_for(1ms);
    }
    return true;
  }
  std::vector<int> Delays;

private:
  struct TCall {
    TClock::time_point Due;
    std::function<void()> Action;
  };
  std::mutex Mutex;
  std::deque<TCall> Calls;
};

// A copy of a fixture offered through a named pipe: the first share of its
// bytes at once, the rest only on Release. A job reading it blocks in the
// middle of its run until then.
class TSlowSource : public TPipeSource {
public:
  TSlowSource(const std::string& pipePath, const char* fixture, double firstShare)
      : TPipeSource(pipePath, fixture, 1, firstShare) {}
};

// An output record that copies every stream.
inline TOutputOptions CopyRecord() {
  TOutputOptions o;
  o.VideoCodec = "copy";
  o.AudioCodec = "copy";
  return o;
}

} // namespace kestro::test
