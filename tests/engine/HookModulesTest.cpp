// Frame hook modules: loading, binding, configuring, calling and releasing,
// through LoadHookModule and through the "vhook" option.
#include "EngineTestSupport.h"
#include "FrameHook.h"

#include <gtest/gtest.h>

#include <dlfcn.h>

#include <algorithm>
#include <cctype>
#include <cstdarg>
#include <cstdio>
#include <string>
#include <vector>

using namespace kestro;
using namespace kestro::test;

namespace {

std::string HookPath(const std::string& name) { return std::string(KESTRO_HOOK_DIR) + "/" + name; }

// What the probe modules export besides the three entry points.
struct TProbe {
  void (*Counts)(int*, int*, int*) = nullptr;
  int (*ArgumentCount)() = nullptr;
  const char* (*Argument)(int) = nullptr;

  explicit TProbe(const std::string& path) {
    void* handle = dlopen(path.c_str(), RTLD_NOW | RTLD_NOLOAD);
    if (!handle)
      return; // not loaded (yet)
    Counts = reinterpret_cast<decltype(Counts)>(dlsym(handle, "ProbeCounts"));
    ArgumentCount = reinterpret_cast<decltype(ArgumentCount)>(dlsym(handle, "ProbeArgumentCount"));
    Argument = reinterpret_cast<decltype(Argument)>(dlsym(handle, "ProbeArgument"));
    dlclose(handle); // drops only the reference taken here
  }
  int Configures() const { return Count(0); }
  int Processes() const { return Count(1); }
  int Releases() const { return Count(2); }
  std::vector<std::string> Arguments() const {
    std::vector<std::string> words;
    for (int i = 0; i < ArgumentCount(); ++i)
      words.emplace_back(Argument(i));
    return words;
  }

private:
  int Count(int which) const {
    int counts[3] = {};
    Counts(&counts[0], &counts[1], &counts[2]);
    return counts[which];
  }
};

// The libraries' log lines while a test runs.
std::vector<std::string>* CapturedLines = nullptr;

void CaptureLog(void*, int level, const char* format, va_list args) {
  char line[1024];
  std::vsnprintf(line, sizeof(line), format, args);
  if (CapturedLines)
    CapturedLines->push_back(std::to_string(level) + ":" + line);
}

class HookModules : public ::testing::Test {
protected:
  void SetUp() override {
    LoadLibrariesOrFail();
    Engine.Reset();
    CapturedLines = &LogLines;
    avutil::av_log_set_callback(&CaptureLog);
  }
  void TearDown() override {
    UnloadHookModules(&List);
    avutil::av_log_set_callback(avutil::av_log_default_callback);
    CapturedLines = nullptr;
  }

  int Load(std::vector<std::string> words) {
    std::vector<char*> argv;
    for (std::string& w : words)
      argv.push_back(w.data());
    argv.push_back(nullptr);
    return LoadHookModule(&List, int(words.size()), argv.data());
  }
  int ListLength() const {
    int n = 0;
    for (THookModule* node = List; node; node = node->Next)
      ++n;
    return n;
  }
  bool LoggedAtPanicLevel(const std::string& text) const {
    return std::find(LogLines.begin(), LogLines.end(), "0:" + text + "\n") != LogLines.end();
  }

  TCustomFFmpeg Engine;
  THookModule* List = nullptr;
  std::vector<std::string> LogLines;
};

// A small YUV 4:2:0 picture with every byte numbered.
struct TPicture {
  static constexpr int Width = 8, Height = 6;
  std::vector<uint8_t> Y = std::vector<uint8_t>(Width * Height), U = std::vector<uint8_t>(12),
                       V = std::vector<uint8_t>(12);
  KestroHookPicture Planes{};
  TPicture() {
    for (size_t i = 0; i < Y.size(); ++i)
      Y[i] = uint8_t(i);
    for (size_t i = 0; i < U.size(); ++i) {
      U[i] = uint8_t(100 + i);
      V[i] = uint8_t(200 + i);
    }
    Planes.data[0] = Y.data();
    Planes.data[1] = U.data();
    Planes.data[2] = V.data();
    Planes.linesize[0] = Width;
    Planes.linesize[1] = Planes.linesize[2] = Width / 2;
  }
};

} // namespace

TEST_F(HookModules, ResultCodesAndLogLines) {
  const std::string full = HookPath("testhook_full.so");
  const std::string noConfigure = HookPath("testhook_noconfigure.so");
  const std::string failing = HookPath("testhook_failconfigure.so");
  // A library without hook entry points at all.
  const std::string notAHook = HookPath("helped/libkestro_hookhelper.so.1");
  const std::string missing = HookPath("nosuch.so");
  struct Case {
    std::vector<std::string> Words;
    int Result;
    std::string Logged;
  } cases[] = {
      {{}, -2, ""},
      {{missing}, -1, ""},
      {{notAHook}, -2, "Failed to find Process entrypoint in " + notAHook},
      {{noConfigure, "arg"}, -2, "Failed to find Configure entrypoint in " + noConfigure},
      {{failing}, -22, "Failed to Configure " + failing},
      {{failing, "1"}, -22, "Failed to Configure " + failing},
      {{noConfigure}, 0, ""},
      {{full}, 0, ""},
      {{full, "1", "2"}, 0, ""},
  };
  int added = 0;
  for (const Case& c : cases) {
    LogLines.clear();
    EXPECT_EQ(Load(c.Words), c.Result) << (c.Words.empty() ? "" : c.Words[0]);
    if (!c.Logged.empty()) {
      EXPECT_TRUE(LoggedAtPanicLevel(c.Logged)) << c.Logged;
    }
    // Only successes join the list.
    added += c.Result == 0;
    EXPECT_EQ(ListLength(), added);
  }
  // The loader's own text for a file it cannot open.
  LogLines.clear();
  Load({missing});
  ASSERT_EQ(LogLines.size(), 1u);
  EXPECT_NE(LogLines[0].find("nosuch.so"), std::string::npos) << LogLines[0];
}

TEST_F(HookModules, AModuleIsLoadedOnceAndFoundWhateverTheCase) {
  const std::string full = HookPath("testhook_full.so");
  ASSERT_EQ(Load({full, "1"}), 0);
  ASSERT_EQ(Load({full, "2"}), 0);
  ASSERT_EQ(ListLength(), 2);
  EXPECT_EQ(List->Process, List->Next->Process);
  EXPECT_NE(List->Context, List->Next->Context); // each node configured on its own
  // No file of that spelling exists: only the cache can answer.
  std::string shouted = "TESTHOOK_FULL.SO";
  ASSERT_EQ(Load({HookPath(shouted)}), 0);
  EXPECT_EQ(List->Next->Next->Process, List->Process);
}

TEST_F(HookModules, ModulesRunInOrderAndAreReleasedOnce) {
  const std::string full = HookPath("testhook_full.so");
  const std::string noRelease = HookPath("testhook_norelease.so");
  ASSERT_EQ(Load({full, "1"}), 0);
  ASSERT_EQ(Load({noRelease, "2"}), 0);
  ASSERT_EQ(Load({full, "3"}), 0);
  const TProbe first(full), second(noRelease);
  ASSERT_NE(first.Counts, nullptr);
  const int processes = first.Processes(), releases = first.Releases();
  const int otherProcesses = second.Processes();

  TPicture picture;
  picture.Y[0] = 0;
  ApplyHookModules(List, &picture.Planes, AV_PIX_FMT_YUV420P, TPicture::Width, TPicture::Height,
                   0);
  EXPECT_EQ(picture.Y[0], 123);
  EXPECT_EQ(first.Processes(), processes + 2);
  EXPECT_EQ(second.Processes(), otherProcesses + 1);

  // The module without Release is freed without a call.
  UnloadHookModules(&List);
  EXPECT_EQ(List, nullptr);
  EXPECT_EQ(first.Releases(), releases + 2);
}

TEST_F(HookModules, AModulesFolderIsSearchedForItsLibraries) {
  const std::string helped = HookPath("helped/testhook_helped.so");
  if (!dlopen("libkestro_hookhelper.so.1", RTLD_NOW | RTLD_NOLOAD)) {
    // Without the engine's help the loader cannot find the helper.
    void* plain = dlopen(helped.c_str(), RTLD_NOW | RTLD_LOCAL);
    EXPECT_EQ(plain, nullptr);
    if (plain)
      dlclose(plain);
  }
  ASSERT_EQ(Load({helped}), 0) << (LogLines.empty() ? "" : LogLines.back());
  TPicture picture;
  picture.Y[0] = 0;
  ApplyHookModules(List, &picture.Planes, AV_PIX_FMT_YUV420P, TPicture::Width, TPicture::Height,
                   0);
  EXPECT_EQ(picture.Y[0], 7); // the helper's answer
}

TEST_F(HookModules, VhookSplitsItsValueIntoModuleAndArguments) {
  const std::string full = HookPath("testhook_full.so");
  struct Case {
    std::string Value;
    std::vector<std::string> Words;
  } cases[] = {
      {full + "|first arg|1 2", {full, "first arg", "1 2"}},
      {full + " first  arg 1 2 ", {full, "first", "arg", "1", "2"}},
      {full + "||x|", {full, "x"}},
  };
  for (const Case& c : cases) {
    Engine.SetOption("vhook", c.Value);
    const TProbe probe(full);
    ASSERT_NE(probe.Counts, nullptr);
    // Read after the option returned: the module may keep argv.
    EXPECT_EQ(probe.Arguments(), c.Words) << c.Value;
  }
  EXPECT_TRUE(Engine.Settings.FrameHooksInUse);

  // The module name and at most 62 arguments.
  std::string many = full;
  for (int i = 0; i < 70; ++i)
    many += " " + std::to_string(i);
  Engine.SetOption("vhook", many);
  const std::vector<std::string> words = TProbe(full).Arguments();
  ASSERT_EQ(words.size(), 63u);
  EXPECT_EQ(words.back(), "61");

  // Releasing the engine's resources lets every module go.
  const int releases = TProbe(full).Releases();
  Engine.Reset();
  EXPECT_EQ(Engine.Settings.FirstHookModule, nullptr);
  EXPECT_EQ(TProbe(full).Releases(), releases + 4);
}

TEST_F(HookModules, VhookFailuresNameTheValue) {
  const std::string values[] = {HookPath("nosuch.so") + " 1", HookPath("testhook_failconfigure.so"),
                                ""};
  for (const std::string& value : values) {
    try {
      Engine.SetOption("vhook", value);
      ADD_FAILURE() << value;
    } catch (const FFMpegException& e) {
      EXPECT_EQ(std::string(e.what()), "Failed to add video hook function: " + value);
    }
  }
  EXPECT_FALSE(Engine.Settings.FrameHooksInUse);
  EXPECT_EQ(Engine.Settings.FirstHookModule, nullptr);
}

TEST_F(HookModules, InvertTurnsEveryColourPlaneIntoItsNegative) {
  ASSERT_EQ(Load({HookPath("invert.so")}), 0);
  TPicture picture;
  const TPicture original;
  ApplyHookModules(List, &picture.Planes, AV_PIX_FMT_YUV420P, TPicture::Width, TPicture::Height,
                   0);
  for (size_t i = 0; i < picture.Y.size(); ++i)
    EXPECT_EQ(picture.Y[i], 255 - original.Y[i]);
  for (size_t i = 0; i < picture.U.size(); ++i) {
    EXPECT_EQ(picture.U[i], 255 - original.U[i]);
    EXPECT_EQ(picture.V[i], 255 - original.V[i]);
  }
  // Packed RGB with alpha: colours invert, alpha stays.
  uint8_t rgba[2 * 4] = {10, 20, 30, 255, 0, 0, 0, 128};
  KestroHookPicture packed{};
  packed.data[0] = rgba;
  packed.linesize[0] = 8;
  ApplyHookModules(List, &packed, AV_PIX_FMT_RGBA, 2, 1, 0);
  EXPECT_EQ(std::vector<uint8_t>(rgba, rgba + 8),
            (std::vector<uint8_t>{245, 235, 225, 255, 255, 255, 255, 128}));
}

TEST_F(HookModules, BoxFillsItsRectangleOnly) {
  // x 2, y 2, 4 wide, 2 high, gray 200.
  ASSERT_EQ(Load({HookPath("box.so"), "2", "2", "4", "2", "200"}), 0);
  TPicture picture;
  const TPicture original;
  ApplyHookModules(List, &picture.Planes, AV_PIX_FMT_YUV420P, TPicture::Width, TPicture::Height,
                   0);
  for (int y = 0; y < TPicture::Height; ++y)
    for (int x = 0; x < TPicture::Width; ++x) {
      const bool inside = x >= 2 && x < 6 && y >= 2 && y < 4;
      const size_t i = size_t(y * TPicture::Width + x);
      EXPECT_EQ(picture.Y[i], inside ? 200 : original.Y[i]) << x << "," << y;
    }
  for (int y = 0; y < 3; ++y)
    for (int x = 0; x < 4; ++x) {
      const bool inside = x >= 1 && x < 3 && y == 1;
      const size_t i = size_t(y * 4 + x);
      EXPECT_EQ(picture.U[i], inside ? 128 : original.U[i]) << x << "," << y;
      EXPECT_EQ(picture.V[i], inside ? 128 : original.V[i]) << x << "," << y;
    }
  // Wrong arguments are a failed Configure.
  for (const std::vector<std::string>& words :
       {std::vector<std::string>{HookPath("box.so"), "1", "2", "3"},
        std::vector<std::string>{HookPath("box.so"), "1", "2", "3", "4", "300"},
        std::vector<std::string>{HookPath("box.so"), "a", "2", "3", "4", "5"}})
    EXPECT_EQ(Load(words), -22);
}
