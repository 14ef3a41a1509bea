// Whole conversions for the end-to-end suites: one engine converts one
// source with option lines into a file in a temporary folder, and the
// pictures of a video are compared with what they should be.
#pragma once

#include "EngineTestSupport.h"
#include "FixtureMedia.h"

#include <gtest/gtest.h>

#include <chrono>
#include <cmath>
#include <filesystem>
#include <functional>
#include <string>
#include <thread>
#include <unistd.h>

namespace kestro::test {

class ConversionTest : public ::testing::Test {
protected:
  void SetUp() override {
    LoadLibrariesOrFail();
    char pattern[] = "/tmp/kestro-conv-XXXXXX";
    Folder = mkdtemp(pattern);
  }
  void TearDown() override { std::filesystem::remove_all(Folder); }

  struct TResult {
    bool Finished = false;
    bool Raised = false;
    bool TimedOut = false; // stopped after RunLimitSec
    std::string Message;
    std::string Path;
  };

  // Converts the fixture `source` with `options` into Folder/name, with the
  // engine's log at `verbose` going to `log` when given.
  TResult Convert(const char* source, const std::string& name, const std::string& options,
                  TRecorder* log = nullptr, int verbose = -1,
                  const std::function<void(TCustomFFmpeg&)>& prepare = {}) {
    TCustomFFmpeg e;
    e.Reset();
    e.Settings.Verbose = -1;
    if (log)
      log->Attach(e);
    TResult result;
    result.Path = Folder + "/" + name;
    try {
      e.ParseOptionLines(InputOptions);
    } catch (const FFMpegException& error) {
      result.Message = error.what();
      return result;
    }
    if (!e.OpenInputFile(Fixtures::MediaPath(source))) {
      result.Message = e.LastError;
      return result;
    }
    try {
      e.ParseOptionLines(options);
    } catch (const FFMpegException& error) {
      result.Message = error.what();
      return result;
    }
    if (!e.OpenOutputFile(result.Path)) {
      result.Message = e.LastError;
      return result;
    }
    e.Settings.Verbose = verbose;
    if (prepare)
      prepare(e);
    // On a worker, so that a run that never ends fails the test instead.
    TFFmpegThread* worker = e.Start(true);
    if (!worker) {
      result.Message = "the run did not start";
      return result;
    }
    worker->Resume();
    const auto waitFor = [&](std::chrono::seconds limit) {
      const auto deadline = std::chrono::steady_clock::now() + limit;
      while (!e.Terminated && std::chrono::steady_clock::now() < deadline)
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    };
    waitFor(std::chrono::seconds(RunLimitSec));
    result.TimedOut = !e.Terminated;
    if (result.TimedOut) {
      e.Stop();
      waitFor(std::chrono::seconds(30));
    }
    result.Finished = e.Finished && !result.TimedOut;
    result.Raised = e.ExceptionRaised;
    result.Message = e.ExceptionMessage;
    return result;
  }
  std::string Folder;
  int RunLimitSec = 120;
  std::string InputOptions; // option lines applied before the source opens
};

// Peak signal to noise ratio of the luma of `a` against `b` (same size)
// over the rows [top, top + rows), in dB.
inline double LumaPsnr(const AVFrame* a, const AVFrame* b, int top, int rows) {
  double squares = 0;
  for (int y = top; y < top + rows; ++y)
    for (int x = 0; x < a->width; ++x) {
      const int d = a->data[0][y * a->linesize[0] + x] - b->data[0][(y - top) * b->linesize[0] + x];
      squares += double(d) * d;
    }
  const double mse = squares / (double(a->width) * rows);
  return mse <= 0 ? 99.0 : 10.0 * std::log10(255.0 * 255.0 / mse);
}

} // namespace kestro::test
