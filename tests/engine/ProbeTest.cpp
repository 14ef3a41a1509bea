#include "AVProbe.h"
#include "EngineTestSupport.h"
#include "FixtureMedia.h"

#include <gtest/gtest.h>

#include <cstdarg>

using namespace kestro;
using namespace kestro::test;

namespace {

std::vector<std::string>& LibraryLines() {
  static std::vector<std::string> lines;
  return lines;
}

void CaptureLibraryLog(void*, int level, const char* format, va_list args) {
  if (level > AV_LOG_INFO)
    return;
  char text[512];
  vsnprintf(text, sizeof text, format, args);
  LibraryLines().push_back(text);
}

class Probe : public ::testing::Test {
protected:
  void SetUp() override {
    LoadLibrariesOrFail();
    P.Enable();
  }
  TAVProbe P;
};

} // namespace

TEST_F(Probe, CountsStreamsByKind) {
  struct Case {
    const Fixtures::Media& File;
    int Streams, Video, Audio, Subtitle, FirstVideo, FirstAudio, FirstSubtitle;
  } cases[] = {
      {Fixtures::MultiAudioMkv, 3, 1, 2, 0, 0, 1, -1},
      {Fixtures::SubtitlesMkv, 3, 1, 1, 1, 0, 1, 2},
      {Fixtures::SongMp3, 1, 0, 1, 0, -1, 0, -1},
  };
  for (const Case& c : cases) {
    ASSERT_TRUE(P.Open(Fixtures::MediaPath(c.File.Name))) << P.LastError;
    EXPECT_EQ(P.StreamCount, c.Streams) << c.File.Name;
    EXPECT_EQ(P.VideoStreamCount, c.Video);
    EXPECT_EQ(P.AudioStreamCount, c.Audio);
    EXPECT_EQ(P.SubtitleStreamCount, c.Subtitle);
    EXPECT_EQ(P.FirstVideoStream, c.FirstVideo);
    EXPECT_EQ(P.FirstAudioStream, c.FirstAudio);
    EXPECT_EQ(P.FirstSubtitleStream, c.FirstSubtitle);
  }
  P.Close();
  for (int count : {P.StreamCount, P.VideoStreamCount, P.AudioStreamCount, P.SubtitleStreamCount,
                    P.FirstVideoStream, P.FirstAudioStream, P.FirstSubtitleStream})
    EXPECT_EQ(count, -1);
}

TEST_F(Probe, StreamProperties) {
  ASSERT_TRUE(P.Open(Fixtures::MediaPath(Fixtures::Mpeg2Vob.Name))) << P.LastError;
  TVideoStreamInfo video;
  P.GetVideoInfo(video);
  EXPECT_STREQ(video.CodecName, "mpeg2video");
  EXPECT_EQ(video.Width, 720);
  EXPECT_EQ(video.Height, 576);
  EXPECT_NEAR(video.DisplayAspect, 16.0 / 9.0, 1e-3);
  EXPECT_EQ(video.FrameRateNum, 25);
  EXPECT_EQ(video.FrameRateDen, 1);
  TAudioStreamInfo audio;
  P.GetAudioInfo(audio);
  EXPECT_STREQ(audio.CodecName, "mp2");
  EXPECT_EQ(audio.SampleRate, 48000);
  EXPECT_EQ(audio.Channels, 2);
  EXPECT_EQ(P.GetFileName(), Fixtures::MediaPath(Fixtures::Mpeg2Vob.Name));

  ASSERT_TRUE(P.Open(Fixtures::MediaPath(Fixtures::MultiAudioMkv.Name)));
  P.GetAudioStreamInfo(2, audio);
  EXPECT_STREQ(audio.Language, "fra");
}

TEST_F(Probe, WrongStreamKindLeavesDefaultsAndSaysWhy) {
  ASSERT_TRUE(P.Open(Fixtures::MediaPath(Fixtures::MultiAudioMkv.Name))) << P.LastError;
  LibraryLines().clear();
  avutil::av_log_set_callback(&CaptureLibraryLog);
  TVideoStreamInfo video;
  P.GetVideoStreamInfo(1, video);
  TAudioStreamInfo audio;
  P.GetAudioStreamInfo(7, audio);
  P.Close();
  P.GetAudioInfo(audio);
  avutil::av_log_set_callback(avutil::av_log_default_callback);
  EXPECT_EQ(video.Width, -1);
  EXPECT_EQ(audio.SampleRate, -1);
  EXPECT_EQ(LibraryLines(), (std::vector<std::string>{"stream #1 is not video stream.\n",
                                                      "stream index #7 is invalid.\n",
                                                      "file not loaded.\n"}));
}

TEST_F(Probe, OpenFailuresUseTheEngineTexts) {
  const std::string missing = Fixtures::MediaPath("missing.mp4");
  EXPECT_FALSE(P.Open(missing));
  EXPECT_EQ(P.LastError, missing + ": no such file or directory");
  EXPECT_EQ(P.StreamCount, -1);
  EXPECT_FALSE(P.Open(Fixtures::MediaPath(Fixtures::ClipAvi.Name), "nosuchformat"));
  EXPECT_EQ(P.LastError, "Unknown input format: nosuchformat");

  TAVProbe disabled;
  EXPECT_FALSE(disabled.Open(Fixtures::MediaPath(Fixtures::ClipAvi.Name)));
}

TEST_F(Probe, AttachedProbeLeavesTheEnginesInputOpen) {
  TCustomFFmpeg engine;
  engine.Reset();
  engine.Settings.Verbose = -1;
  ASSERT_TRUE(engine.OpenInputFile(Fixtures::MediaPath(Fixtures::ClipAvi.Name)));
  P.Attach(engine.InputFiles[0].get());
  EXPECT_EQ(P.VideoStreamCount, 1);
  P.Close();
  EXPECT_EQ(P.StreamCount, -1);
  // Still usable: the engine owns and closes it.
  EXPECT_EQ(engine.InputFiles[0]->nb_streams, 2u);
  AVPacket* packet = avcodec::av_packet_alloc();
  EXPECT_EQ(avformat::av_read_frame(engine.InputFiles[0].get(), packet), 0);
  avcodec::av_packet_free(&packet);
}
