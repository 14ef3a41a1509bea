// Shared helpers of the engine suites: libraries loaded once, and a
// recorder for the engine's log and termination callbacks.
#pragma once

#include "FFmpeg.h"

#include <gtest/gtest.h>

#include <mutex>
#include <string>
#include <thread>
#include <vector>

namespace kestro::test {

inline void LoadLibrariesOrFail() {
  ASSERT_TRUE(LoadAllLibraries("", true)) << LibraryLoadError();
}

struct TRecorder {
  std::mutex Lock;
  std::vector<std::pair<int, std::string>> Lines;
  int Terminations = 0;
  std::thread::id TerminateThread;
  bool FinishedAtTerminate = false;
  bool ExceptionAtTerminate = false;
  std::string MessageAtTerminate;

  void Clear() {
    std::lock_guard<std::mutex> lock(Lock);
    Lines.clear();
    Terminations = 0;
    MessageAtTerminate.clear();
  }
  void Attach(TCustomFFmpeg& engine) {
    engine.LogCallback = {&TRecorder::OnLog, this};
    engine.TerminateCallback = {&TRecorder::OnTerminate, this};
  }
  bool Logged(const std::string& text) {
    std::lock_guard<std::mutex> lock(Lock);
    for (auto& line : Lines)
      if (line.second.find(text) != std::string::npos)
        return true;
    return false;
  }
  static void OnLog(void* self, TCustomFFmpeg*, int level, const std::string& message) {
    auto* r = static_cast<TRecorder*>(self);
    std::lock_guard<std::mutex> lock(r->Lock);
    r->Lines.emplace_back(level, message);
  }
  static void OnTerminate(void* self, TCustomFFmpeg* engine) {
    auto* r = static_cast<TRecorder*>(self);
    std::lock_guard<std::mutex> lock(r->Lock);
    ++r->Terminations;
    r->TerminateThread = std::this_thread::get_id();
    r->FinishedAtTerminate = engine->Finished;
    r->ExceptionAtTerminate = engine->ExceptionRaised;
    r->MessageAtTerminate = engine->ExceptionMessage;
  }
};

// The option lines of the 3GPP preset.
inline const char* const ThreeGpp = "vcodec=h263\nacodec=libamr_nb\ns=176x144\nac=1\nar=8000\n"
                                    "b=120000\nab=10200";

} // namespace kestro::test
