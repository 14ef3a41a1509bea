// The option text, the vocabulary's value kinds, the generic options and the
// option handlers.
#include "EngineTestSupport.h"

#include <gtest/gtest.h>

#include <clocale>
#include <cstdint>
#include <filesystem>
#include <functional>
#include <regex>
#include <string>
#include <vector>

using namespace kestro;
using namespace kestro::test;

namespace {

std::string NotAnInteger(const std::string& text) {
  return "'" + text + "' is not a valid integer value";
}
std::string NotAFloat(const std::string& text) {
  return "'" + text + "' is not a valid floating point value";
}

template <typename T> struct TNumberCase {
  const char* Value;
  bool Valid;
  T Expected;
};

class Options : public ::testing::Test {
protected:
  void SetUp() override {
    LoadLibrariesOrFail();
    Engine.Reset();
    SavedLibraryLevel = avutil::av_log_get_level();
    SavedProcessLevel = LibraryLogLevel;
  }
  // "v" and "debug" change process-wide levels; later tests must not see it.
  void TearDown() override {
    avutil::av_log_set_level(SavedLibraryLevel);
    LibraryLogLevel = SavedProcessLevel;
  }

  // The message an option raises, or "" when it is accepted.
  std::string ErrorOf(const std::string& name, const std::string& value) {
    try {
      Engine.SetOption(name, value);
    } catch (const FFMpegException& e) {
      return e.what();
    }
    return "";
  }

  int64_t CodecOption(int type, const char* name) {
    int64_t value = -1;
    EXPECT_GE(
        avutil::av_opt_get_int(Engine.Settings.CodecOptionContexts[type].get(), name, 0, &value),
        0);
    return value;
  }

  // Valid values land in `field`; invalid ones raise `message` of the value
  // and leave the field as it was.
  template <typename T>
  void CheckNumbers(const char* option, T& field, std::string (*message)(const std::string&),
                    const std::vector<TNumberCase<T>>& cases) {
    for (const TNumberCase<T>& c : cases) {
      field = T(99);
      EXPECT_EQ(ErrorOf(option, c.Value), c.Valid ? "" : message(c.Value)) << c.Value;
      EXPECT_EQ(field, c.Valid ? c.Expected : T(99)) << c.Value;
    }
  }

  std::vector<std::string> GenericNames() {
    return {Engine.Settings.GenericOptionNames.begin(), Engine.Settings.GenericOptionNames.end()};
  }

  TCustomFFmpeg Engine;
  TRecorder Recorder;
  int SavedLibraryLevel = 0;
  int SavedProcessLevel = 0;
};

// ---- Option text and value kinds

TEST_F(Options, FlagOptionsIgnoreTheirValue) {
  struct Case {
    const char* Name;
    const char* Value;
    std::function<int(const TCustomFFmpeg&)> Read;
  } cases[] = {
      {"an", "0", [](const TCustomFFmpeg& e) { return e.Settings.AudioDisable; }},
      {"vn", "", [](const TCustomFFmpeg& e) { return e.Settings.VideoDisable; }},
      {"sn", "no", [](const TCustomFFmpeg& e) { return e.Settings.SubtitleDisable; }},
      {"copyts", "false", [](const TCustomFFmpeg& e) { return int(e.Settings.CopyTimestamps); }},
      {"xerror", "0", [](const TCustomFFmpeg& e) { return int(e.Settings.StopOnError); }},
      {"re", "off", [](const TCustomFFmpeg& e) { return e.Settings.RateEmulation; }},
      {"loop_input", "0", [](const TCustomFFmpeg& e) { return e.Settings.LoopInput; }},
  };
  for (const Case& c : cases) {
    EXPECT_EQ(ErrorOf(c.Name, c.Value), "") << c.Name;
    EXPECT_EQ(c.Read(Engine), 1) << c.Name;
  }
}

TEST_F(Options, IntegerValuesFollowTheNumberRules) {
  CheckNumbers<int>("vframes", Engine.Settings.MaxFrames[0], NotAnInteger,
                    {{"25", true, 25},
                     {"  25", true, 25},
                     {"-7", true, -7},
                     {"+7", true, 7},
                     {"$1F", true, 31},
                     {"x1f", true, 31},
                     {"0x1F", true, 31},
                     {"-0x10", true, -16},
                     {"2147483647", true, INT32_MAX},
                     {"-2147483648", true, INT32_MIN},
                     {"", false, 0},
                     {"25 ", false, 0},
                     {"12abc", false, 0},
                     {"2147483648", false, 0},
                     {"1.5", false, 0},
                     {"0x", false, 0},
                     {"-", false, 0}});
  // 64-bit values where the table says so.
  EXPECT_EQ(ErrorOf("fs", "5000000000"), "");
  EXPECT_EQ(Engine.Settings.FileSizeLimit, 5000000000u);
  EXPECT_EQ(ErrorOf("fs", "99999999999999999999"), NotAnInteger("99999999999999999999"));
}

TEST_F(Options, FloatValuesAreDecimalNumbersOnly) {
  CheckNumbers<float>("adrift_threshold", Engine.Settings.AudioDriftThreshold, NotAFloat,
                      {{"0.25", true, 0.25f},
                       {" 3 ", true, 3.0f},
                       {"-25e-2", true, -0.25f},
                       {"", false, 0},
                       {"abc", false, 0},
                       {"nan", false, 0},
                       {"inf", false, 0},
                       {"0x1p3", false, 0},
                       {"1.5x", false, 0},
                       {"1e39", false, 0}});
}

TEST_F(Options, FloatValuesUseTheUsersDecimalSeparatorButMapsAndScalesDoNot) {
  const std::string previous = std::setlocale(LC_ALL, nullptr);
  ASSERT_NE(std::setlocale(LC_ALL, "de_DE.UTF-8"), nullptr)
      << "de_DE.UTF-8 is missing: scripts/install-deps.sh generates it";
  EXPECT_EQ(ErrorOf("aq", "2,5"), "");
  EXPECT_FLOAT_EQ(Engine.Settings.AudioQScale, 2.5f);
  EXPECT_EQ(ErrorOf("aq", "3.5"), NotAFloat("3.5"));
  EXPECT_EQ(ErrorOf("aspect", "1,5"), "");
  EXPECT_FLOAT_EQ(Engine.Settings.FrameAspectRatio, 1.5f);
  // The C-style readers always take ".".
  EXPECT_EQ(ErrorOf("itsscale", "1:0.5"), "");
  EXPECT_DOUBLE_EQ(Engine.InputTsScales[0][1], 0.5);
  std::setlocale(LC_ALL, previous.c_str());
}

TEST_F(Options, OptionTextAppliesEachLineInOrder) {
  // Blanks around names and values, every kind of line break, an empty
  // line, a value with "=" in it and a name nobody knows.
  Engine.ParseOptionLines("  \r\n vcodec = mpeg4 \r\n\r\nan\rvframes=12\n"
                          "vbsf=dump_extra=freq=keyframe\ncrf = 23\n\n");
  ASSERT_NE(Engine.Settings.VideoCodecName, nullptr);
  EXPECT_STREQ(Engine.Settings.VideoCodecName.get(), "mpeg4");
  EXPECT_EQ(Engine.Settings.AudioDisable, 1);
  EXPECT_EQ(Engine.Settings.MaxFrames[0], 12);
  EXPECT_EQ(Engine.Settings.VideoBitstreamFilters,
            std::vector<std::string>{"dump_extra=freq=keyframe"});
  EXPECT_TRUE(Engine.Settings.GenericOptionNames.empty());
  // An encoder's own option waits for the stream that takes it.
  ASSERT_EQ(Engine.Settings.PendingPrivateOptions.size(), 1u);
  EXPECT_EQ(Engine.Settings.PendingPrivateOptions[0].Name, "crf");
  EXPECT_EQ(Engine.Settings.PendingPrivateOptions[0].Value, "23");
}

TEST_F(Options, AFailingLineStopsTheRestOfTheText) {
  try {
    Engine.ParseOptionLines("an\nvframes=\nsn");
    FAIL() << "an empty integer was accepted";
  } catch (const FFMpegException& e) {
    EXPECT_EQ(std::string(e.what()), NotAnInteger(""));
  }
  EXPECT_EQ(Engine.Settings.AudioDisable, 1);
  EXPECT_EQ(Engine.Settings.SubtitleDisable, 0);
}

TEST_F(Options, IgnoredNamesLogOnlyToAReceiver) {
  EXPECT_EQ(ErrorOf("benchmark", "1"), "");
  EXPECT_TRUE(Recorder.Lines.empty());
  Recorder.Attach(Engine);
  EXPECT_EQ(ErrorOf("benchmark", "1"), "");
  ASSERT_EQ(Recorder.Lines.size(), 1u);
  EXPECT_EQ(Recorder.Lines[0], std::make_pair(1, std::string("Do nothing: option - benchmark")));
}

TEST_F(Options, ThreadsTakesACountOrZeroForTheCodecsChoice) {
  EXPECT_EQ(Engine.Settings.ThreadCount, 1); // parallel jobs keep one thread each
  const struct Case {
    const char* Value;
    std::string Error;
    int Count;
  } cases[] = {{"4", "", 4},
               {"0", "", 0},
               {"-1", "Invalid value '-1' for option 'threads'", 0},
               {"two", NotAnInteger("two"), 0}};
  for (const Case& c : cases) {
    EXPECT_EQ(ErrorOf("threads", c.Value), c.Error) << c.Value;
    EXPECT_EQ(Engine.Settings.ThreadCount, c.Count) << c.Value;
  }
  EXPECT_TRUE(Engine.Settings.GenericOptionNames.empty());
}

// ---- Generic options

TEST_F(Options, GenericOptionsReachTheContextsTheirFlagsAllow) {
  // "vb" only exists through its "v" prefix, "ab" is the library's own
  // audio name, "g" is a video option.
  EXPECT_TRUE(Engine.SetDefaultOption("vb", "64000"));
  EXPECT_TRUE(Engine.SetDefaultOption("ab", "32000"));
  EXPECT_TRUE(Engine.SetDefaultOptionInt("g", 30));
  EXPECT_EQ(CodecOption(AVMEDIA_TYPE_VIDEO, "b"), 64000);
  EXPECT_EQ(CodecOption(AVMEDIA_TYPE_AUDIO, "b"), 32000);
  EXPECT_EQ(CodecOption(AVMEDIA_TYPE_VIDEO, "g"), 30);
  EXPECT_NE(CodecOption(AVMEDIA_TYPE_AUDIO, "g"), 30);
  EXPECT_NE(CodecOption(AVMEDIA_TYPE_SUBTITLE, "b"), 32000);

  EXPECT_TRUE(Engine.SetDefaultOption("packetsize", "1000"));
  EXPECT_EQ(Engine.Settings.FormatOptionContext->packet_size, 1000u);
  EXPECT_TRUE(Engine.SetDefaultOption("sws_flags", "bilinear"));
  int64_t swsFlags = 0;
  avutil::av_opt_get_int(Engine.Settings.ScalerOptionContext.get(), "sws_flags", 0, &swsFlags);
  EXPECT_EQ(swsFlags, SWS_BILINEAR);

  // The libraries' own names are recorded, in order, repeats kept.
  EXPECT_TRUE(Engine.SetDefaultOption("vb", "80000"));
  EXPECT_EQ(GenericNames(),
            (std::vector<std::string>{"b", "ab", "g", "packetsize", "sws_flags", "b"}));
  EXPECT_EQ(Engine.Settings.GenericOptionCount, 6);
}

TEST_F(Options, GenericOptionsWithoutANameOrValueOrTakerAreIgnored) {
  struct Case {
    const char* Name;
    const char* Value;
  } cases[] = {{"b", ""}, {"b", " \t"}, {"", "5"}, {" ", "5"}, {"nosuchoption", "1"},
               {"a", "1"}, {"g", "notanumber"}};
  for (const Case& c : cases)
    EXPECT_FALSE(Engine.SetDefaultOption(c.Name, c.Value)) << c.Name << "=" << c.Value;
  // Through the dispatcher a name nothing has, or a value the generic
  // option refuses, is an error; a generic name without a value is not.
  EXPECT_EQ(ErrorOf("nosuchoption", "1"), "Unrecognized option 'nosuchoption'");
  EXPECT_EQ(ErrorOf("g", "notanumber"), "Invalid value 'notanumber' for option 'g'");
  EXPECT_EQ(ErrorOf("g", ""), "");
  EXPECT_TRUE(Engine.Settings.GenericOptionNames.empty());
  EXPECT_TRUE(Engine.Settings.PendingPrivateOptions.empty());
}

TEST_F(Options, ContextOptionsAreCopiedOnlyWhereTheFlagsMatch) {
  Engine.SetOption("g", "30");            // video encoding
  Engine.SetOption("ab", "32000");        // audio encoding
  Engine.SetOption("packetsize", "1000"); // format, encoding only
  const TCodecContextPtr fresh(avcodec::avcodec_alloc_context3(nullptr));
  const int gop = fresh->gop_size;
  const int64_t bitrate = fresh->bit_rate;
  struct Case {
    int Flags;
    int Gop;
    int64_t Bitrate;
  } codecCases[] = {{AV_OPT_FLAG_VIDEO_PARAM | AV_OPT_FLAG_ENCODING_PARAM, 30, bitrate},
                    {AV_OPT_FLAG_AUDIO_PARAM | AV_OPT_FLAG_ENCODING_PARAM, gop, 32000},
                    {AV_OPT_FLAG_VIDEO_PARAM | AV_OPT_FLAG_DECODING_PARAM, gop, bitrate}};
  for (const Case& c : codecCases) {
    TCodecContextPtr target(avcodec::avcodec_alloc_context3(nullptr));
    // Each media type's holder is the source, as input and output creation do.
    const int type = (c.Flags & AV_OPT_FLAG_AUDIO_PARAM) ? AVMEDIA_TYPE_AUDIO : AVMEDIA_TYPE_VIDEO;
    Engine.SetContextOptions(target.get(), Engine.Settings.CodecOptionContexts[type].get(),
                             c.Flags);
    EXPECT_EQ(target->gop_size, c.Gop) << c.Flags;
    EXPECT_EQ(target->bit_rate, c.Bitrate) << c.Flags;
  }
  for (int flags : {AV_OPT_FLAG_ENCODING_PARAM, AV_OPT_FLAG_DECODING_PARAM}) {
    TFormatContextPtr target(avformat::avformat_alloc_context());
    Engine.SetContextOptions(target.get(), Engine.Settings.FormatOptionContext.get(), flags);
    EXPECT_EQ(target->packet_size, flags == AV_OPT_FLAG_ENCODING_PARAM ? 1000u : 0u);
  }
}

TEST_F(Options, VerbosityAndDebugReachTheLibraries) {
  Engine.SetOption("v", "3");
  EXPECT_EQ(Engine.Settings.Verbose, 3);
  EXPECT_EQ(avutil::av_log_get_level(), 3);
  EXPECT_EQ(LibraryLogLevel, 3);
  Engine.SetOption("debug", "pict");
  EXPECT_EQ(Engine.Settings.Verbose, 2);
  EXPECT_EQ(avutil::av_log_get_level(), 2);
  EXPECT_EQ(LibraryLogLevel, 2);
}

// ---- Handlers

TEST_F(Options, HandlersRejectBadValuesWithTheirMessages) {
  Engine.Settings.FrameWidth = 640;
  Engine.Settings.FrameHeight = 480;
  struct Case {
    const char* Name;
    const char* Value;
    const char* Message;
  } cases[] = {
      {"s", "abc", "Incorrect frame size"},
      {"r", "0", "Incorrect frame rate"},
      {"r", "fast", "Incorrect frame rate"},
      {"croptop", "3", "Top crop size must be a multiple of 2"},
      {"cropright", "5", "Right crop size must be a multiple of 2"},
      {"cropleft", "640",
       "Horizontal crop dimensions are outside the range of the original image.\n"
       "Remember to crop first and scale second."},
      {"cropbottom", "480",
       "Vertical crop dimensions are outside the range of the original image.\n"
       "Remember to crop first and scale second."},
      {"padleft", "3", "Left pad size must be a multiple of 2"},
      {"padbottom", "1", "Bottom pad size must be a multiple of 2"},
      {"aspect", "4:0", "Incorrect aspect ratio specification."},
      {"aspect", "wide", "Incorrect aspect ratio specification."},
      {"aspect", "0", "Incorrect aspect ratio specification."},
      {"qscale", "0", "qscale must be > 0.0 and <= 255"},
      {"qscale", "255.5", "qscale must be > 0.0 and <= 255"},
      {"qscale", "-1", "qscale must be > 0.0 and <= 255"},
      {"atag", "mp4", "audio tag parameter must be 4 chars"},
      {"vtag", "divx5", "video tag parameter must be 4 chars"},
      {"pass", "3", "pass number can be only 1 or 2"},
      {"itsscale", "20:2", "stream index over MAX_STREAMS(20)"},
      {"itsscale", "-1:2", "stream index over MAX_STREAMS(20)"},
      {"t", "soon", "Invalid duration specification for t: soon"},
      {"ss", "1:xx", "Invalid duration specification for ss: 1:xx"},
      {"timestamp", "not a date", "Invalid date specification for timestamp: not a date"},
      {"absf", " nosuchfilter ", "Unknown bitstream filter nosuchfilter"},
      {"f", "nosuchformat", "Unknown input or output format: nosuchformat"},
      {"newvideo", "", "At least one output file must be specified"},
      {"newaudio", "", "At least one output file must be specified"},
      {"newsubtitle", "", "At least one output file must be specified"},
  };
  for (const Case& c : cases)
    EXPECT_EQ(ErrorOf(c.Name, c.Value), c.Message) << c.Name << "=" << c.Value;
  // None of them left a value behind.
  EXPECT_EQ(Engine.Settings.FrameTopCrop + Engine.Settings.FrameRightCrop +
                Engine.Settings.FramePadLeft,
            0);
  EXPECT_EQ(Engine.Settings.FrameWidth, 640);
  EXPECT_EQ(Engine.Settings.FrameHeight, 480);
  EXPECT_FLOAT_EQ(Engine.Settings.FrameAspectRatio, 0.0f);
  EXPECT_FLOAT_EQ(Engine.Settings.VideoQScale, 0.0f);
  EXPECT_EQ(Engine.Settings.AudioCodecTag, 0);
  EXPECT_EQ(Engine.Settings.PassNumber, 0);
  EXPECT_TRUE(Engine.Settings.AudioBitstreamFilters.empty());
}

TEST_F(Options, OddFrameSizeFailsButKeepsWhatWasParsed) {
  EXPECT_EQ(ErrorOf("s", "175x144"), "Frame size must be a multiple of 2");
  EXPECT_EQ(Engine.Settings.FrameWidth, 175);
  EXPECT_EQ(Engine.Settings.FrameHeight, 144);
  EXPECT_EQ(ErrorOf("s", "cif"), "");
  EXPECT_EQ(Engine.Settings.FrameWidth, 352);
  EXPECT_EQ(Engine.Settings.FrameHeight, 288);
  EXPECT_EQ(ErrorOf("r", "30000/1001"), "");
  EXPECT_EQ(Engine.Settings.FrameRate.num, 30000);
  EXPECT_EQ(Engine.Settings.FrameRate.den, 1001);
}

TEST_F(Options, CropShrinksTheKnownFrameAndPadDoesNot) {
  Engine.Settings.FrameWidth = 640;
  Engine.Settings.FrameHeight = 480;
  Engine.ParseOptionLines("croptop=8\ncropbottom=8\ncroptop=-2\ncropleft=10\npadright=4");
  EXPECT_EQ(Engine.Settings.FrameHeight, 464);
  EXPECT_EQ(Engine.Settings.FrameWidth, 630);
  EXPECT_EQ(Engine.Settings.FrameTopCrop, 8);
  EXPECT_EQ(Engine.Settings.FrameBottomCrop, 8);
  EXPECT_EQ(Engine.Settings.FrameLeftCrop, 10);
  EXPECT_EQ(Engine.Settings.FramePadRight, 4);
}

TEST_F(Options, PadColorBecomesFullRangeYuv) {
  struct Case {
    const char* Value;
    int Y, U, V;
  } cases[] = {{"16777215", 255, 128, 128}, {"0", 0, 128, 128}, {"255", 76, 85, 255},
               {"$FF0000", 29, 255, 107}};
  for (const Case& c : cases) {
    Engine.SetOption("padcolor", c.Value);
    EXPECT_EQ(Engine.Settings.PadColor[0], c.Y) << c.Value;
    EXPECT_EQ(Engine.Settings.PadColor[1], c.U) << c.Value;
    EXPECT_EQ(Engine.Settings.PadColor[2], c.V) << c.Value;
  }
}

TEST_F(Options, AspectRatioAcceptsRatiosAndNumbers) {
  struct Case {
    const char* Value;
    float Expected;
  } cases[] = {{"16:9", 1.7777778f}, {"-4:3", -1.3333334f}, {"1.5", 1.5f}, {" 4: 3", 1.3333334f}};
  for (const Case& c : cases) {
    EXPECT_EQ(ErrorOf("aspect", c.Value), "") << c.Value;
    EXPECT_FLOAT_EQ(Engine.Settings.FrameAspectRatio, c.Expected) << c.Value;
  }
}

TEST_F(Options, QScaleBounds) {
  for (const char* value : {"255", "0.5"}) {
    EXPECT_EQ(ErrorOf("qscale", value), "");
    EXPECT_FLOAT_EQ(Engine.Settings.VideoQScale, std::stof(value));
  }
}

TEST_F(Options, CodecTagsStartInTheLowestByte) {
  EXPECT_EQ(ErrorOf("atag", "mp4a"), "");
  EXPECT_EQ(Engine.Settings.AudioCodecTag, 1630826605);
  // Characters above 127 are bytes, not negative numbers.
  EXPECT_EQ(ErrorOf("vtag", "\xe9" "abc"), "");
  EXPECT_EQ(uint32_t(Engine.Settings.VideoCodecTag), 0x636261e9u);
  EXPECT_EQ(ErrorOf("vtag", ""), "");
  EXPECT_EQ(uint32_t(Engine.Settings.VideoCodecTag), 0x636261e9u);
}

TEST_F(Options, CodecNamesAndStreamCopy) {
  Engine.ParseOptionLines("vcodec=copy\nvcodec=mpeg4\nacodec=mp2\nacodec=\nscodec=copy");
  EXPECT_EQ(Engine.Settings.VideoStreamCopy, 1);
  ASSERT_NE(Engine.Settings.VideoCodecName, nullptr);
  EXPECT_STREQ(Engine.Settings.VideoCodecName.get(), "mpeg4");
  ASSERT_NE(Engine.Settings.AudioCodecName, nullptr);
  EXPECT_STREQ(Engine.Settings.AudioCodecName.get(), "mp2");
  EXPECT_EQ(Engine.Settings.AudioStreamCopy, 0);
  EXPECT_EQ(Engine.Settings.SubtitleStreamCopy, 1);
  EXPECT_EQ(Engine.Settings.SubtitleCodecName, nullptr);
}

TEST_F(Options, StreamMapsReadCStyleIndices) {
  struct Case {
    const char* Value;
    TStreamMap Expected;
  } cases[] = {{"0:1", {0, 1, 0, 1}},
               {"0.1:1.0", {0, 1, 1, 0}},
               {"1", {1, 0, 1, 0}},
               {"0x10:010", {16, 8, 16, 8}},
               {"99999999999:1", {INT32_MAX, 1, INT32_MAX, 1}}};
  for (const Case& c : cases) {
    Engine.SetOption("map", c.Value);
    const TStreamMap& m = Engine.StreamMaps[size_t(Engine.StreamMapCount - 1)];
    EXPECT_EQ(m.FileIndex, c.Expected.FileIndex) << c.Value;
    EXPECT_EQ(m.StreamIndex, c.Expected.StreamIndex) << c.Value;
    EXPECT_EQ(m.SyncFileIndex, c.Expected.SyncFileIndex) << c.Value;
    EXPECT_EQ(m.SyncStreamIndex, c.Expected.SyncStreamIndex) << c.Value;
  }
  EXPECT_EQ(Engine.StreamMapCount, 5);

  Engine.SetOption("map_meta_data", "1:0");
  EXPECT_EQ(Engine.MetaDataMapCount, 1);
  EXPECT_EQ(Engine.MetaDataMaps[0].OutputFileIndex, 1);
  EXPECT_EQ(Engine.MetaDataMaps[0].InputFileIndex, 0);
}

TEST_F(Options, MapTablesRefuseEntriesBeyondTheirRoom) {
  struct Case {
    const char* Name;
    int Room;
    const int& Count;
    const char* Message;
  } cases[] = {{"map", MaxStreamMaps, Engine.StreamMapCount, "Too many stream maps (at most 400)"},
               {"map_meta_data", MaxMetaDataMaps, Engine.MetaDataMapCount,
                "Too many meta data maps (at most 20)"}};
  for (const Case& c : cases) {
    for (int i = 0; i < c.Room; ++i)
      ASSERT_EQ(ErrorOf(c.Name, "0:0"), "") << c.Name << " " << i;
    EXPECT_EQ(ErrorOf(c.Name, "0:0"), c.Message);
    EXPECT_EQ(c.Count, c.Room);
  }
}

TEST_F(Options, InputTsScaleTargetsTheNextInputOnly) {
  Engine.SetOption("itsscale", "1:0.5");
  EXPECT_DOUBLE_EQ(Engine.InputTsScales[0][1], 0.5);
  Engine.InputFileCount = 1; // as if one input had been opened
  Engine.SetOption("itsscale", "19:2");
  EXPECT_DOUBLE_EQ(Engine.InputTsScales[1][19], 2.0);
  EXPECT_DOUBLE_EQ(Engine.InputTsScales[0][1], 0.5);
  Engine.InputFileCount = MaxFiles; // no input can follow
  EXPECT_EQ(ErrorOf("itsscale", "0:2"), "Too many input files (at most 20)");
  Engine.InputFileCount = 0;
}

TEST_F(Options, TimesAndRecordingLimit) {
  EXPECT_EQ(ErrorOf("t", "0"), "");
  EXPECT_EQ(Engine.Settings.RecordingTime, INT64_MAX);
  EXPECT_EQ(Engine.RunState.TotalOutputDuration, -1);
  EXPECT_EQ(ErrorOf("t", "40:00"), "");
  EXPECT_EQ(Engine.Settings.RecordingTime, 2400000000LL);
  EXPECT_EQ(Engine.RunState.TotalOutputDuration, 2400000);
  // Beyond what a millisecond count holds: the longest limit, not a wrap.
  EXPECT_EQ(ErrorOf("t", "3000000"), "");
  EXPECT_EQ(Engine.RunState.TotalOutputDuration, INT32_MAX);

  EXPECT_EQ(ErrorOf("ss", "1.5"), "");
  EXPECT_EQ(Engine.Settings.StartTime, 1500000);
  EXPECT_EQ(ErrorOf("itsoffset", "-2"), "");
  EXPECT_EQ(Engine.Settings.InputTsOffset, -2000000);
  // Whole seconds, halves to even.
  struct Case {
    const char* Value;
    int64_t Seconds;
  } dates[] = {{"2009-01-01 00:00:00Z", 1230768000},
               {"2009-01-01 00:00:00.5Z", 1230768000},
               {"2009-01-01 00:00:01.5Z", 1230768002},
               {"2009-01-01 00:00:01.6Z", 1230768002}};
  for (const Case& c : dates) {
    EXPECT_EQ(ErrorOf("timestamp", c.Value), "") << c.Value;
    EXPECT_EQ(Engine.Settings.RecordTimestamp, c.Seconds) << c.Value;
  }
}

TEST_F(Options, MatricesNeedAll64Coefficients) {
  std::string text;
  for (int i = 1; i <= 64; ++i)
    text += std::to_string(i) + (i < 64 ? "," : ",99,garbage");
  EXPECT_EQ(ErrorOf("intra_matrix", text), "");
  ASSERT_NE(Engine.Settings.IntraMatrix, nullptr);
  const auto* coefficients = reinterpret_cast<const uint16_t*>(Engine.Settings.IntraMatrix.get());
  for (int i = 0; i < 64; ++i)
    EXPECT_EQ(coefficients[i], i + 1);

  const std::string shortText = text.substr(0, text.find(",64"));
  EXPECT_EQ(ErrorOf("intra_matrix", shortText),
            "Syntax error in matrix \"" + shortText + "\" at coeff 62");
  // The complete matrix set before stays.
  EXPECT_EQ(reinterpret_cast<const uint16_t*>(Engine.Settings.IntraMatrix.get())[63], 64);
  EXPECT_EQ(ErrorOf("inter_matrix", "1"), "Syntax error in matrix \"1\" at coeff 0");
  EXPECT_EQ(Engine.Settings.InterMatrix, nullptr);
}

TEST_F(Options, BitstreamFiltersJoinThePendingChainOfTheirType) {
  Engine.ParseOptionLines("vbsf=dump_extra=freq=keyframe\nvbsf=null\nabsf=null\n"
                          "sbsf=null\nvbsf==dump_extra");
  EXPECT_EQ(Engine.Settings.VideoBitstreamFilters,
            (std::vector<std::string>{"dump_extra=freq=keyframe", "null"}));
  EXPECT_EQ(Engine.Settings.AudioBitstreamFilters, std::vector<std::string>{"null"});
  EXPECT_EQ(Engine.Settings.SubtitleBitstreamFilters, std::vector<std::string>{"null"});
}

TEST_F(Options, FormatsFindTheirDemuxerAndMuxer) {
  Recorder.Attach(Engine);
  EXPECT_EQ(ErrorOf("f", "avi"), "");
  ASSERT_NE(Engine.Settings.ForcedInputFormat, nullptr);
  ASSERT_NE(Engine.Settings.ForcedOutputFormat, nullptr);
  EXPECT_STREQ(Engine.Settings.ForcedInputFormat->name, "avi");
  EXPECT_STREQ(Engine.Settings.ForcedOutputFormat->name, "avi");
  EXPECT_EQ(Engine.Settings.PgmYuvCompat, 0);

  EXPECT_EQ(ErrorOf("f", "pgmyuv"), "");
  EXPECT_EQ(Engine.Settings.PgmYuvCompat, 1);
  EXPECT_STREQ(Engine.Settings.ForcedInputFormat->name, "image2");
  EXPECT_STREQ(Engine.Settings.ForcedOutputFormat->name, "image2");
  EXPECT_TRUE(Recorder.Logged("pgmyuv format is deprecated, use image2"));

  // A demuxer without a muxer of that name: the output side is cleared.
  EXPECT_EQ(ErrorOf("f", "concat"), "");
  EXPECT_NE(Engine.Settings.ForcedInputFormat, nullptr);
  EXPECT_EQ(Engine.Settings.ForcedOutputFormat, nullptr);

  struct Case {
    void (TCustomFFmpeg::*Setter)(const std::string&);
    const char* Message;
  } cases[] = {{&TCustomFFmpeg::SetInputFormat, "Unknown input format: nosuch"},
               {&TCustomFFmpeg::SetOutputFormat, "Unknown output format: nosuch"}};
  for (const Case& c : cases) {
    try {
      (Engine.*c.Setter)("nosuch");
      ADD_FAILURE() << c.Message;
    } catch (const FFMpegException& e) {
      EXPECT_EQ(std::string(e.what()), c.Message);
    }
  }
}

TEST_F(Options, PixelAndSampleFormats) {
  Engine.ParseOptionLines("pix_fmt=yuv422p\nsample_fmt=s16");
  EXPECT_EQ(Engine.Settings.FramePixFmt, AV_PIX_FMT_YUV422P);
  EXPECT_EQ(Engine.Settings.AudioSampleFmt, AV_SAMPLE_FMT_S16);
  Engine.ParseOptionLines("pix_fmt=nosuch\nsample_fmt=nosuch");
  EXPECT_EQ(Engine.Settings.FramePixFmt, -1);
  EXPECT_EQ(Engine.Settings.AudioSampleFmt, -1);

  // "list" only writes to the log, headed by the table's header line.
  Engine.ParseOptionLines("pix_fmt=list\nsample_fmt=list");
  EXPECT_EQ(Engine.Settings.FramePixFmt, -1);
  Recorder.Attach(Engine);
  Engine.SetOption("pix_fmt", "list");
  ASSERT_GT(Recorder.Lines.size(), 40u);
  EXPECT_EQ(Recorder.Lines[0].second.rfind("name", 0), 0u);
  EXPECT_TRUE(Recorder.Logged("yuv420p"));
  Recorder.Lines.clear();
  Engine.SetOption("sample_fmt", "list");
  ASSERT_GE(Recorder.Lines.size(), 6u);
  EXPECT_EQ(Recorder.Lines[0].second.rfind("name", 0), 0u);
  EXPECT_TRUE(Recorder.Logged("s16"));
  EXPECT_EQ(Engine.Settings.AudioSampleFmt, -1);
}

TEST_F(Options, LowBitrateWarnsAReceiverAndStaysSet) {
  Recorder.Attach(Engine);
  const std::string warning =
      "WARNING: The bitrate parameter is set too low. It takes bits/s as argument, not kbits/s";
  Engine.SetOption("b", "64");
  EXPECT_TRUE(Recorder.Logged(warning));
  EXPECT_EQ(CodecOption(AVMEDIA_TYPE_VIDEO, "b"), 64);
  Recorder.Lines.clear();
  Engine.SetOption("ab", "64000");
  Engine.SetOption("vb", "200000");
  EXPECT_FALSE(Recorder.Logged(warning));
  Engine.SetOption("ab", "48");
  EXPECT_TRUE(Recorder.Logged(warning));
  EXPECT_EQ(CodecOption(AVMEDIA_TYPE_AUDIO, "b"), 48);
}

TEST_F(Options, PlainSettingsAndTheirRules) {
  Engine.ParseOptionLines("ar=22050\nac=1\nar=0\nac=-1\nvol=512\nvfilters=scale=320:240\n"
                          "vfilters=\ntitle=Clip\ntitle=\nrc_override=0,10,2\ntvstd=pal\n"
                          "passlogfile=stats\nalang=eng\nslang=ger\nloop_output=2\ntop=1");
  EXPECT_EQ(Engine.Settings.AudioSampleRate, 22050);
  EXPECT_EQ(Engine.Settings.AudioChannels, 1);
  EXPECT_EQ(Engine.Settings.AudioVolume, 512);
  EXPECT_EQ(Engine.Settings.VideoFilters, "scale=320:240");
  EXPECT_EQ(Engine.Settings.MetaTitle, "Clip");
  EXPECT_STREQ(Engine.Settings.RcOverride.get(), "0,10,2");
  EXPECT_STREQ(Engine.Settings.VideoStandard.get(), "pal");
  EXPECT_EQ(Engine.Settings.PassLogFileName, "stats");
  EXPECT_EQ(Engine.Settings.AudioLanguage, "eng");
  EXPECT_EQ(Engine.Settings.SubtitleLanguage, "ger");
  EXPECT_EQ(Engine.Settings.LoopOutput, 2);
  EXPECT_EQ(Engine.Settings.TopFieldFirst, 1);

  Engine.SetOption("vstats", "");
  ASSERT_NE(Engine.Settings.VStatsFileName, nullptr);
  // Beside the running program, stamped with the time of day.
  const std::string name = Engine.Settings.VStatsFileName.get();
  const std::string folder =
      std::filesystem::read_symlink("/proc/self/exe").parent_path().string() + "/";
  ASSERT_EQ(name.substr(0, folder.size()), folder);
  EXPECT_TRUE(std::regex_match(name.substr(folder.size()),
                               std::regex("vstats_[0-2][0-9][0-5][0-9][0-6][0-9]\\.log")))
      << name;
  Engine.SetOption("vstats_file", "frames.log");
  EXPECT_STREQ(Engine.Settings.VStatsFileName.get(), "frames.log");
}

TEST_F(Options, DirectSettersKeepValuesTheyDoNotAccept) {
  Engine.SetStartTime(0);
  Engine.SetProgramId(-1);
  Engine.SetAudioVolume(-1);
  Engine.SetMuxMaxDelay(0.0f);
  Engine.SetMuxPreload(-1.0f);
  Engine.SetRecordingTimeMs(0);
  Engine.SetTitle("");
  Engine.SetYear(0);
  Engine.SetTrack(-3);
  EXPECT_EQ(Engine.Settings.StartTime, 0);
  EXPECT_EQ(Engine.Settings.ProgramId, 0);
  EXPECT_EQ(Engine.Settings.AudioVolume, 256);
  EXPECT_FLOAT_EQ(Engine.Settings.MuxMaxDelay, 0.7f);
  EXPECT_FLOAT_EQ(Engine.Settings.MuxPreload, 0.5f);
  EXPECT_EQ(Engine.Settings.RecordingTime, INT64_MAX);
  EXPECT_EQ(Engine.Settings.MetaTitle, "");
  EXPECT_EQ(Engine.Settings.MetaYear, 0);
  EXPECT_EQ(Engine.Settings.MetaTrack, 0);

  Engine.SetStartTime(5000000);
  Engine.SetProgramId(0);
  Engine.SetAudioVolume(0);
  Engine.SetMuxMaxDelay(1.5f);
  Engine.SetMuxPreload(0.25f);
  Engine.SetRecordingTimeMs(3000);
  Engine.SetAudioSyncMethod(-1);
  Engine.SetVideoSyncMethod(2);
  Engine.SetAuthor("Me");
  Engine.SetYear(2009);
  Engine.SetTrack(3);
  EXPECT_EQ(Engine.Settings.StartTime, 5000000);
  EXPECT_EQ(Engine.Settings.AudioVolume, 0);
  EXPECT_FLOAT_EQ(Engine.Settings.MuxMaxDelay, 1.5f);
  EXPECT_FLOAT_EQ(Engine.Settings.MuxPreload, 0.25f);
  EXPECT_EQ(Engine.Settings.RecordingTime, 3000000);
  EXPECT_EQ(Engine.RunState.TotalOutputDuration, 3000);
  EXPECT_EQ(Engine.Settings.AudioSyncMethod, -1);
  EXPECT_EQ(Engine.Settings.VideoSyncMethod, 2);
  EXPECT_EQ(Engine.Settings.MetaAuthor, "Me");
  EXPECT_EQ(Engine.Settings.MetaYear, 2009);
  EXPECT_EQ(Engine.Settings.MetaTrack, 3);
}

} // namespace
