// The job records and their translation into engine settings.
#include "ConverterTestSupport.h"
#include "OptionRecords.h"

#include <gtest/gtest.h>

#include <cstdlib>
#include <cstring>
#include <ctime>
#include <filesystem>

using namespace kestro;
using namespace kestro::test;

namespace {

class Records : public ::testing::Test {
protected:
  void SetUp() override {
    ASSERT_TRUE(LoadAllLibraries("", true)) << LibraryLoadError();
    Engine.Reset();
  }
  // What the engine holds after the option text alone.
  static std::array<int, 3> PadColorOf(const std::string& value) {
    TCustomFFmpeg reference;
    reference.Reset();
    reference.SetOption("padcolor", value);
    return reference.GetPadColor();
  }
  TCustomFFmpeg Engine;
};

void NoHooks(TCustomFFmpeg& e, const TOutputOptions& o) { ApplyOutputRecord(e, o, {}); }

} // namespace

TEST_F(Records, DefaultRecordWritesOnlyTheFieldsThatAlwaysApply) {
  Engine.ParseOptionLines("async=1\nvsync=2\nalang=eng\nslang=fre\ncopyts\npadcolor=16777215\n"
                          "ac=1\nar=22050\nvol=512");
  NoHooks(Engine, TOutputOptions{});
  // Always written, so the option text above loses.
  EXPECT_EQ(Engine.GetAudioSyncMethod(), 0);
  EXPECT_EQ(Engine.GetVideoSyncMethod(), -1);
  EXPECT_EQ(Engine.GetAudioLanguage(), "");
  EXPECT_EQ(Engine.GetSubtitleLanguage(), "");
  EXPECT_FALSE(Engine.GetCopyTimestamps());
  EXPECT_EQ(Engine.GetPadColor(), PadColorOf("0"));
  // Everything else keeps what the option text set, or its default.
  EXPECT_EQ(Engine.GetAudioChannels(), 1);
  EXPECT_EQ(Engine.GetAudioSampleRate(), 22050);
  EXPECT_EQ(Engine.GetAudioVolume(), 512);
  EXPECT_EQ(Engine.GetForcedOutputFormat(), nullptr);
  EXPECT_EQ(Engine.GetRecordingTime(), INT64_MAX);
  EXPECT_EQ(Engine.GetRecordTimestamp(), 0);
  EXPECT_EQ(Engine.GetMetaTitle(), "");
  EXPECT_FALSE(Engine.GetCustomHookCallback());
  EXPECT_FALSE(Engine.GetBeforeHookCallback());
  EXPECT_EQ(Engine.GetHookRangeCount(), 0);
}

TEST_F(Records, FieldsThatApplyOverrideTheOptionText) {
  struct Case {
    const char* Line;
    std::function<void(TOutputOptions&)> Fill;
    std::function<void(const TCustomFFmpeg&)> Check;
  } cases[] = {
      {"vcodec=h263", [](auto& o) { o.VideoCodec = "mpeg4"; },
       [](auto& e) { EXPECT_EQ(e.GetVideoCodecName(), "mpeg4"); }},
      {"acodec=mp2", [](auto& o) { o.AudioCodec = "aac"; },
       [](auto& e) { EXPECT_EQ(e.GetAudioCodecName(), "aac"); }},
      {"alang=eng", [](auto&) {}, [](auto& e) { EXPECT_EQ(e.GetAudioLanguage(), ""); }},
      {"slang=fre", [](auto& o) { o.SubtitleLanguage = "ger"; },
       [](auto& e) { EXPECT_EQ(e.GetSubtitleLanguage(), "ger"); }},
      {"ac=1", [](auto& o) { o.AudioChannels = 2; }, [](auto& e) { EXPECT_EQ(e.GetAudioChannels(), 2); }},
      {"vol=100", [](auto& o) { o.AudioVolume = 300; },
       [](auto& e) { EXPECT_EQ(e.GetAudioVolume(), 300); }},
      {"vsync=1", [](auto& o) { o.VideoSync = 2; }, [](auto& e) { EXPECT_EQ(e.GetVideoSyncMethod(), 2); }},
      {"copyts", [](auto& o) { o.CopyTimestamp = true; }, [](auto& e) { EXPECT_TRUE(e.GetCopyTimestamps()); }},
      // A field at its "not given" value leaves the option text alone.
      {"an", [](auto& o) { o.DisableAudio = false; }, [](auto& e) { EXPECT_EQ(e.GetAudioDisable(), 1); }},
      {"ar=22050", [](auto& o) { o.AudioSampleRate = -1; },
       [](auto& e) { EXPECT_EQ(e.GetAudioSampleRate(), 22050); }},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.Line);
    TCustomFFmpeg e;
    e.Reset();
    TOutputOptions o;
    o.ExtraOptions = c.Line;
    c.Fill(o);
    NoHooks(e, o);
    c.Check(e);
  }
}

TEST_F(Records, RecordFieldsReachTheEngine) {
  TOutputOptions o;
  o.RecordingTimeMs = 1500;
  o.Timestamp = 25569.0 + 1.0; // a day after 1970 began, local time
  o.Year = 2009;
  o.Track = 7;
  std::strcpy(o.Title, "A title");
  std::strcpy(o.Genre, "Genre");
  // A text filled to its last byte has no terminator; it must not be read past.
  std::memset(o.Album, 'a', sizeof o.Album);
  NoHooks(Engine, o);
  EXPECT_EQ(Engine.GetRecordingTime(), 1500000);
  EXPECT_EQ(Engine.GetTotalOutputDuration(), 1500);
  EXPECT_EQ(Engine.GetRecordTimestamp(), 86400 + StandardBiasMinutes() * 60);
  EXPECT_EQ(Engine.GetMetaYear(), 2009);
  EXPECT_EQ(Engine.GetMetaTrack(), 7);
  EXPECT_EQ(Engine.GetMetaTitle(), "A title");
  EXPECT_EQ(Engine.GetMetaGenre(), "Genre");
  EXPECT_EQ(Engine.GetMetaAlbum(), std::string(sizeof o.Album, 'a'));
  EXPECT_EQ(Engine.GetMetaAuthor(), "");
}

TEST_F(Records, TimestampZeroMeansNow) {
  TOutputOptions o;
  o.Timestamp = 0;
  NoHooks(Engine, o);
  // Now in local time, taken back with the standard bias only: during
  // daylight saving the result is ahead of the true time by the saving.
  const time_t now = std::time(nullptr);
  tm local{};
  localtime_r(&now, &local);
  const int64_t saving = local.tm_gmtoff + StandardBiasMinutes() * 60;
  EXPECT_NEAR(double(Engine.GetRecordTimestamp()), double(now + saving), 2.0);
}

TEST(HookRanges, ParseIntoSortedMicrosecondPairs) {
  using TPairs = std::vector<std::pair<int64_t, int64_t>>;
  const struct Case {
    const char* Text;
    TPairs Pairs;
  } cases[] = {
      {"0-1000, 5000-6000", {{0, 1000000}, {5000000, 6000000}}},
      {" 5000-6000 ,0-1000 ", {{0, 1000000}, {5000000, 6000000}}}, // sorted by end
      {"7-3,12", {}},                                              // start after end; no end
      {"x-500", {{-1000, 500000}}},                                // unreadable start counts as -1
      {"100-100", {{100000, 100000}}},
      {"10-x", {}},
      {"9223372036854775807-1", {{-1000, 1000}}}, // too large in microseconds: unreadable
      {"", {}},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.Text);
    TCustomFFmpeg e;
    e.SetHookTimeRanges({{1, 2}});
    e.Hooks.HookRangeIndex = 1; // where a run left off; only a run moves it, so set by hand
    ParseHookRanges(e, c.Text);
    TPairs got;
    for (const THookTimeRange& r : e.GetHookTimeRanges())
      got.emplace_back(r.Start, r.End);
    EXPECT_EQ(got, c.Pairs);
    EXPECT_EQ(e.GetHookRangeCount(), int(c.Pairs.size()));
    EXPECT_EQ(e.GetHookRangeIndex(), 0);
  }
}

TEST(LocalTime, ConvertsWithTheStandardBias) {
  const struct Case {
    double Value;
    int Bias;
    int64_t Seconds;
  } cases[] = {
      {25569.0, -60, -3600}, {25569.0, 0, 0},        {25569.0, 300, 18000},
      {25570.5, 0, 129600},  {25568.75, 60, -18000}, {25569.0 + 1.4 / 86400, 0, 1},
  };
  for (const Case& c : cases)
    EXPECT_EQ(LocalTimeToUnix(c.Value, c.Bias), c.Seconds) << c.Value << " bias " << c.Bias;
}

TEST(LocalTime, StandardBiasIgnoresDaylightSavingInBothHemispheres) {
  const char* saved = std::getenv("TZ");
  const std::string previous = saved ? saved : "";
  const struct Case {
    const char* Zone;
    int Bias;
  } cases[] = {
      {"UTC0", 0},
      {"CET-1CEST,M3.5.0,M10.5.0/3", -60},
      {"EST5EDT,M3.2.0,M11.1.0", 300},
      {"AEST-10AEDT,M10.1.0,M4.1.0/3", -600}, // summer time in January
  };
  for (const Case& c : cases) {
    setenv("TZ", c.Zone, 1);
    tzset();
    EXPECT_EQ(StandardBiasMinutes(), c.Bias) << c.Zone;
  }
  if (saved)
    setenv("TZ", previous.c_str(), 1);
  else
    unsetenv("TZ");
  tzset();
}

TEST(Target, NormsMapToPresetArguments) {
  const struct Case {
    int Target, Norm, Fallback;
    std::optional<TTargetCall> Call;
  } cases[] = {
      {0, 0, 1, std::nullopt},
      {1, 7, 0, TTargetCall{"vcd", "auto", "ntsc"}},
      {1, 0, 1, TTargetCall{"vcd", "auto", "pal"}},
      {2, 1, 1, TTargetCall{"svcd", "pal", "pal"}},
      {3, 2, 2, TTargetCall{"dvd", "ntsc", "ntsc"}},
      {4, 1, 1, std::nullopt},
      {-1, 1, 1, std::nullopt},
  };
  for (const Case& c : cases) {
    TOutputOptions o;
    o.Target = c.Target;
    o.TargetNorm = c.Norm;
    o.TargetFallbackNorm = c.Fallback;
    EXPECT_EQ(TargetCall(o), c.Call) << c.Target << " " << c.Norm << " " << c.Fallback;
  }
}

TEST_F(Records, OnlyOneHookTakesEffect) {
  TCustomHookFunc custom = [](void*, TCustomFFmpeg*, THookBitmap&, int, int64_t, bool&, bool&) {};
  TBeforeHookFunc before = [](void*, TCustomFFmpeg*, int64_t, THookAction&) {};
  const THookCallbacks hooks{{before, nullptr}, {custom, nullptr}};
  const struct Case {
    bool Custom, Before;
    bool CustomSet, BeforeSet;
    int Ranges;
  } cases[] = {
      {true, true, true, false, 0},
      {false, true, false, true, 0},
      {false, false, false, false, 1},
  };
  for (const Case& c : cases) {
    TCustomFFmpeg e;
    e.Reset();
    TOutputOptions o;
    o.EnableCustomHook = c.Custom;
    o.EnableBeforeHook = c.Before;
    o.HookRanges = "0-1000";
    ApplyOutputRecord(e, o, hooks);
    EXPECT_EQ(bool(e.GetCustomHookCallback()), c.CustomSet) << c.Custom << c.Before;
    EXPECT_EQ(bool(e.GetBeforeHookCallback()), c.BeforeSet) << c.Custom << c.Before;
    EXPECT_EQ(e.GetHookRangeCount(), c.Ranges) << c.Custom << c.Before;
  }
}

TEST_F(Records, InputStartTimeAndProgramOnlyWhenGiven) {
  const struct Case {
    int StartMs, Program;
    int64_t StartTime;
    int ProgramId;
  } cases[] = {
      {-1, -1, 0, 0}, {0, 0, 0, 0}, {1, 3, 1000, 3}, {2147483647, 1, 2147483647000LL, 1},
  };
  for (const Case& c : cases) {
    TCustomFFmpeg e;
    e.Reset();
    TInputOptions o;
    o.StartTimeMs = c.StartMs;
    o.ProgramID = c.Program;
    ApplyInputOptions(e, o);
    EXPECT_EQ(e.GetStartTime(), c.StartTime) << c.StartMs;
    EXPECT_EQ(e.GetProgramId(), c.ProgramId) << c.Program;
  }
}

TEST(PaddingColor, SystemColoursResolveToTheLightTheme) {
  const struct Case {
    TColor In, Out;
  } cases[] = {
      {0x80000005u, 0xFFFFFFu}, // window
      {0x8000000Fu, 0xF0F0F0u}, // button face
      {0x8000000Du, 0xD77800u}, // highlight
      {0x8000001Eu, 0xF0F0F0u}, // menu bar, the last index
      {0x8000001Fu, 0u},        // unknown index
      {0x00123456u, 0x00123456u},
      {0x01000010u, 0x01000010u}, // not a system colour: left to the handler
  };
  for (const Case& c : cases)
    EXPECT_EQ(ResolveSystemColor(c.In), c.Out) << std::hex << c.In;
}

TEST_F(Records, SystemPaddingColourReachesThePadColour) {
  TOutputOptions o;
  o.PaddingColor = 0x80000005u;
  NoHooks(Engine, o);
  EXPECT_EQ(Engine.GetPadColor(), PadColorOf(std::to_string(0xFFFFFF)));
}

// ---- Through the component, with real files

namespace {

class Component : public ::testing::Test {
protected:
  void SetUp() override { ASSERT_TRUE(C.LoadLibraries("", true)) << C.LastError; }
  TQxAVConverter C;
  TTempFolder Folder;
};

} // namespace

TEST_F(Component, EmptyFileNamesAreFilledInTheCallersRecord) {
  const std::string source = Fixtures::MediaPath(Fixtures::ClipAvi.Name);
  for (const char* given : {"", "chosen elsewhere"}) {
    SCOPED_TRACE(given);
    const std::string output = Folder / (std::string(given).empty() ? "a.mkv" : "b.mkv");
    TInputOptions in;
    in.FileName = given;
    const int index = C.AddInput(source, &in);
    ASSERT_GE(index, 0) << C.LastError;
    TOutputOptions out = CopyRecord();
    out.FileName = given;
    ASSERT_TRUE(C.SetOutput(index, output, &out)) << C.LastError;
    const std::string wantIn = *given ? given : source, wantOut = *given ? given : output;
    EXPECT_EQ(in.FileName, wantIn);
    EXPECT_EQ(out.FileName, wantOut);
    // The job keeps its own copies.
    EXPECT_EQ(C.Jobs(index).InputOptions.FileName, wantIn);
    EXPECT_EQ(C.Jobs(index).OutputOptions.FileName, wantOut);
  }
}

TEST_F(Component, AnErrorStopsTheTranslationBeforeTargetHooksAndFile) {
  ASSERT_EQ(C.AddInput(Fixtures::MediaPath(Fixtures::ClipAvi.Name)), 0) << C.LastError;
  const std::string output = Folder / "odd.mkv";
  TOutputOptions o;
  o.AudioChannels = 1; // before the frame size: applied
  o.FrameSize = "175x144";
  o.VideoSync = 2; // after it: not applied
  o.Target = 1;
  o.EnableCustomHook = true;
  EXPECT_FALSE(C.SetOutput(0, output, &o));
  EXPECT_EQ(C.LastError, "Frame size must be a multiple of 2");
  const TCustomFFmpeg& job = *C.Jobs(0).Engine;
  EXPECT_EQ(job.GetAudioChannels(), 1);
  EXPECT_EQ(job.GetVideoSyncMethod(), -1);
  EXPECT_EQ(job.GetForcedOutputFormat(), nullptr); // no "vcd" preset
  EXPECT_FALSE(job.GetCustomHookCallback());
  EXPECT_EQ(job.GetOutputFileCount(), 0);
  EXPECT_FALSE(std::filesystem::exists(output));
  EXPECT_EQ(C.JobCount(), 1); // the caller decides what to do with it
}
