#include "EngineTestSupport.h"
#include "FixtureMedia.h"

#include <gtest/gtest.h>

using namespace kestro;
using namespace kestro::test;

namespace {

class Target : public ::testing::Test {
protected:
  void SetUp() override {
    LoadLibrariesOrFail();
    E.Reset();
    E.Settings.Verbose = 1;
    Recorder.Attach(E);
  }
  void OpenInput(const Fixtures::Media& m) {
    const int verbose = E.Settings.Verbose;
    E.Settings.Verbose = -1;
    ASSERT_TRUE(E.OpenInputFile(Fixtures::MediaPath(m.Name))) << E.LastError;
    E.Settings.Verbose = verbose;
  }
  AVCodecContext* Video() { return E.Settings.CodecOptionContexts[AVMEDIA_TYPE_VIDEO].get(); }
  AVCodecContext* Audio() { return E.Settings.CodecOptionContexts[AVMEDIA_TYPE_AUDIO].get(); }
  TCustomFFmpeg E;
  TRecorder Recorder;
};

} // namespace

TEST_F(Target, NormPrefixesChooseSizeRateAndGop) {
  struct Case {
    const char* Value;
    int Width, Height;
    AVRational Rate;
    int Gop;
    const char* Format;
    const char* VideoCodec;
    int PixFmt;
  } cases[] = {
      {"pal-vcd", 352, 288, {25, 1}, 15, "vcd", "mpeg1video", -1},
      {"film-dvd", 720, 480, {24000, 1001}, 18, "dvd", "mpeg2video", -1},
      {"ntsc-dv50", 720, 480, {30000, 1001}, 0, "dv", nullptr, AV_PIX_FMT_YUV422P},
      {" pal-svcd ", 480, 576, {25, 1}, 15, "svcd", "mpeg2video", -1},
  };
  for (const Case& c : cases) {
    TCustomFFmpeg e;
    e.Reset();
    TRecorder recorder;
    recorder.Attach(e);
    e.SetOption("target", c.Value);
    SCOPED_TRACE(c.Value);
    EXPECT_EQ(e.Settings.FrameWidth, c.Width);
    EXPECT_EQ(e.Settings.FrameHeight, c.Height);
    EXPECT_EQ(e.Settings.FrameRate.num, c.Rate.num);
    EXPECT_EQ(e.Settings.FrameRate.den, c.Rate.den);
    if (c.Gop) {
      EXPECT_EQ(e.Settings.CodecOptionContexts[0]->gop_size, c.Gop);
    }
    ASSERT_NE(e.Settings.ForcedOutputFormat, nullptr);
    EXPECT_STREQ(e.Settings.ForcedOutputFormat->name, c.Format);
    if (c.VideoCodec) {
      EXPECT_STREQ(e.Settings.VideoCodecName.get(), c.VideoCodec);
    } else {
      EXPECT_EQ(e.Settings.VideoCodecName, nullptr);
    }
    EXPECT_EQ(e.Settings.FramePixFmt, c.PixFmt);
    EXPECT_FALSE(recorder.Logged("for target")) << "a given norm needs no guess";
  }
}

TEST_F(Target, NormIsDetectedFromTheInput) {
  OpenInput(Fixtures::ClipAvi); // 25 fps
  E.SetOption("target", "vcd");
  EXPECT_TRUE(Recorder.Logged("Assuming PAL for target."));
  EXPECT_EQ(E.Settings.FrameHeight, 288);
  EXPECT_EQ(Video()->bit_rate, 1150000);
  EXPECT_EQ(E.Settings.AudioSampleRate, 44100);
  EXPECT_FLOAT_EQ(E.Settings.MuxPreload, 0.44f);
  // The input's aspect stands; no default is assumed.
  EXPECT_FALSE(Recorder.Logged("for aspect ratio"));
  EXPECT_NEAR(E.Settings.FrameAspectRatio, 4.0 / 3.0, 1e-3);
}

TEST_F(Target, UndecidedRatesFallBackToNtsc) {
  E.Settings.FrameRate = {30, 1};
  E.SetOption("target", "dvd");
  EXPECT_TRUE(Recorder.Logged("Assuming NTSC for target."));
  EXPECT_EQ(E.Settings.FrameHeight, 480);
  EXPECT_EQ(E.Settings.FrameRate.num, 30000);
  EXPECT_TRUE(Recorder.Logged("Assuming 16:9 for aspect ratio"));
  EXPECT_NEAR(E.Settings.FrameAspectRatio, 16.0 / 9.0, 1e-3);
}

TEST_F(Target, ChannelsAreRaisedFromMonoOnly) {
  for (int channels : {1, 2, 6}) {
    E.Settings.AudioChannels = channels;
    E.SetTarget("svcd", "pal", "pal");
    EXPECT_EQ(E.Settings.AudioChannels, channels == 1 ? 2 : channels);
  }
}

TEST_F(Target, UnknownTypesFailAfterTheNormIsKnown) {
  EXPECT_THROW(
      {
        try {
          E.SetOption("target", "foo");
        } catch (const FFMpegException& e) {
          EXPECT_STREQ(e.what(), "frame_rate is invalid.");
          throw;
        }
      },
      FFMpegException);
  OpenInput(Fixtures::ClipAvi);
  try {
    E.SetOption("target", "foo");
    FAIL() << "an unknown target must be refused";
  } catch (const FFMpegException& e) {
    EXPECT_STREQ(e.what(), "Unknown target type");
  }
}

TEST_F(Target, LaterOptionsOverrideThePreset) {
  E.SetOption("target", "pal-vcd");
  E.SetOption("b", "500000");
  EXPECT_EQ(Video()->bit_rate, 500000);
}

TEST_F(Target, NewStreamsNeedAnOutput) {
  for (const char* name : {"newvideo", "newaudio", "newsubtitle"}) {
    try {
      E.SetOption(name, "");
      FAIL() << name;
    } catch (const FFMpegException& e) {
      EXPECT_STREQ(e.what(), "At least one output file must be specified") << name;
    }
  }
}
