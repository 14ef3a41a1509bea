#include "EngineTestSupport.h"
#include "FixtureMedia.h"

#include <gtest/gtest.h>

#include <cstring>
#include <filesystem>
#include <fstream>
#include <unistd.h>

using namespace kestro;
using namespace kestro::test;
namespace fs = std::filesystem;

namespace {

std::string Media(const Fixtures::Media& m) { return Fixtures::MediaPath(m.Name); }

class Engine : public ::testing::Test {
protected:
  void SetUp() override {
    LoadLibrariesOrFail();
    E.Reset();
    E.Settings.Verbose = -1; // keep the library's dump of each input out of the test log
    char pattern[] = "/tmp/kestro-out-XXXXXX";
    Folder = mkdtemp(pattern);
  }
  void TearDown() override { fs::remove_all(Folder); }
  std::string Out(const std::string& name) const { return Folder + "/" + name; }
  void OpenInput(const Fixtures::Media& m) { ASSERT_TRUE(E.OpenInputFile(Media(m))) << E.LastError; }
  AVCodecContext* Encoder(int file, int stream) { return E.OutputCodecs[file][stream].get(); }
  TCustomFFmpeg E;
  std::string Folder;
};

} // namespace

TEST_F(Engine, InputPropertiesBecomeTheNextOutputsDefaults) {
  struct Case {
    const Fixtures::Media& File;
    float Aspect;
  } cases[] = {
      {Fixtures::ClipAvi, 320.0f / 240.0f},           // square pixels: the frame's own shape
      {Fixtures::Sar43Avi, 352.0f * 4 / 3 / 288.0f},  // sample aspect 4:3
      {Fixtures::Mpeg2Vob, 16.0f / 9.0f},             // 720x576 at 64:45
  };
  for (const Case& c : cases) {
    TCustomFFmpeg e;
    e.Reset();
    e.Settings.Verbose = -1;
    ASSERT_TRUE(e.OpenInputFile(Media(c.File))) << e.LastError;
    EXPECT_EQ(e.Settings.FrameWidth, c.File.Width) << c.File.Name;
    EXPECT_EQ(e.Settings.FrameHeight, c.File.Height);
    EXPECT_NEAR(e.Settings.FrameAspectRatio, c.Aspect, 1e-3) << c.File.Name;
    EXPECT_EQ(e.Settings.FramePixFmt, AV_PIX_FMT_YUV420P);
    EXPECT_EQ(e.Settings.FrameRate.num * c.File.FpsDen, c.File.FpsNum * e.Settings.FrameRate.den);
    EXPECT_EQ(e.Settings.AudioSampleRate, c.File.SampleRate);
    EXPECT_EQ(e.Settings.AudioChannels, c.File.Channels);
    EXPECT_NEAR(e.RunState.TotalOutputDuration, c.File.DurationSec * 1000, 150) << c.File.Name;
    EXPECT_EQ(e.InputFileCount, 1);
    EXPECT_EQ(e.InputCodecs[0].size(), e.InputFiles[0]->nb_streams);
  }
}

TEST_F(Engine, StartPositionIncludesTheContainerStart) {
  for (bool copyTimestamps : {false, true}) {
    TCustomFFmpeg e;
    e.Reset();
    e.Settings.Verbose = -1;
    e.Settings.StartTime = 1000000;
    e.Settings.InputTsOffset = 250000;
    e.Settings.CopyTimestamps = copyTimestamps;
    ASSERT_TRUE(e.OpenInputFile(Media(Fixtures::TwoProgramsTs))) << e.LastError;
    const int64_t containerStart = e.InputFiles[0]->start_time;
    ASSERT_GT(containerStart, 0) << "the transport stream should start late";
    EXPECT_EQ(e.InputTsOffsets[0],
              copyTimestamps ? 250000 : 250000 - (1000000 + containerStart));
    EXPECT_EQ(e.Settings.StartTime, 0); // consumed by the seek
  }
}

TEST_F(Engine, InputFailuresLeaveAClearTextAndClearThePendingNames) {
  struct Case {
    const char* Video;
    const char* Audio;
    std::string File;
    std::string Error;
  } cases[] = {
      {"nosuchcodec", nullptr, Media(Fixtures::ClipAvi), "Unknown decoder 'nosuchcodec'"},
      {"libmp3lame", nullptr, Media(Fixtures::ClipAvi), "Unknown decoder 'libmp3lame'"},
      {nullptr, "h264", Media(Fixtures::ClipAvi), "Invalid decoder type 'h264'"},
      {nullptr, nullptr, Folder + "/missing.avi", Folder + "/missing.avi: no such file or directory"},
      {nullptr, nullptr, Fixtures::MediaPath(Fixtures::GarbageAvi),
       Fixtures::MediaPath(Fixtures::GarbageAvi) + ": Unknown format"},
  };
  for (const Case& c : cases) {
    E.Settings.VideoCodecName = AvText(c.Video);
    E.Settings.AudioCodecName = AvText(c.Audio);
    E.Settings.VideoChannel = 3;
    E.Settings.StartTime = 5;
    EXPECT_FALSE(E.OpenInputFile(c.File));
    EXPECT_EQ(E.LastError, c.Error);
    EXPECT_EQ(E.Settings.VideoCodecName, nullptr);
    EXPECT_EQ(E.Settings.AudioCodecName, nullptr);
    EXPECT_EQ(E.Settings.VideoChannel, 0);
    EXPECT_EQ(E.Settings.StartTime, 5); // every refusal comes before the seek
    EXPECT_EQ(E.InputFileCount, 0);
  }
}

TEST_F(Engine, ATwentyFirstInputIsRefused) {
  for (int i = 0; i < MaxFiles; ++i)
    ASSERT_TRUE(E.OpenInputFile(Media(Fixtures::SongMp3))) << i << ": " << E.LastError;
  EXPECT_FALSE(E.OpenInputFile(Media(Fixtures::SongMp3)));
  EXPECT_NE(E.LastError.find("too many input files"), std::string::npos) << E.LastError;
  EXPECT_EQ(E.InputFileCount, MaxFiles);
}

TEST_F(Engine, OutputFormatComesFromTheFileName) {
  OpenInput(Fixtures::ClipAvi);
  EXPECT_FALSE(E.OpenOutputFile(Out("clip.nosuchextension")));
  EXPECT_EQ(E.LastError, "Unable to find a suitable output format for '" +
                             Out("clip.nosuchextension") + "'");
  EXPECT_FALSE(fs::exists(Out("clip.nosuchextension")));

  ASSERT_TRUE(E.OpenOutputFile(Out("clip.3gp"))) << E.LastError;
  AVFormatContext* out = E.OutputFiles[0].get();
  EXPECT_STREQ(out->oformat->name, "3gp");
  ASSERT_EQ(out->nb_streams, 2u);
  EXPECT_EQ(Encoder(0, 0)->codec_id, AV_CODEC_ID_H263);
  EXPECT_EQ(Encoder(0, 1)->codec_id, AV_CODEC_ID_AMR_NB);
  EXPECT_EQ(E.Settings.ForcedOutputFormat, nullptr);
}

TEST_F(Engine, StreamsFollowTheInputsAndTheDisableFlags) {
  // An audio-only input: the container's default video stream is dropped.
  OpenInput(Fixtures::SongMp3);
  ASSERT_TRUE(E.OpenOutputFile(Out("song.3gp"))) << E.LastError;
  ASSERT_EQ(E.OutputFiles[0]->nb_streams, 1u);
  EXPECT_EQ(Encoder(0, 0)->codec_type, AVMEDIA_TYPE_AUDIO);

  // "vn" keeps video out, and since no video stream used it, it still holds.
  OpenInput(Fixtures::ClipAvi);
  E.Settings.VideoDisable = 1;
  ASSERT_TRUE(E.OpenOutputFile(Out("a.avi"))) << E.LastError;
  EXPECT_EQ(E.OutputFiles[1]->nb_streams, 1u);
  EXPECT_EQ(E.Settings.VideoDisable, 1);
  ASSERT_TRUE(E.OpenOutputFile(Out("b.avi"))) << E.LastError;
  EXPECT_EQ(E.OutputFiles[2]->nb_streams, 1u);
}

TEST_F(Engine, VideoEncoderSettings) {
  OpenInput(Fixtures::Small176Avi);
  E.Settings.FramePadTop = 8;
  E.Settings.FramePadBottom = 8;
  E.Settings.FrameRate = {30000, 1001};
  E.Settings.VideoCodecName = AvText("mpeg2video");
  E.Settings.IntraMatrix.reset(static_cast<uint8_t*>(avutil::av_mallocz(64 * sizeof(uint16_t))));
  E.Settings.RcOverride = AvText("0,99,5/100,199,-50");
  ASSERT_TRUE(E.OpenOutputFile(Out("padded.mpg"))) << E.LastError;
  AVCodecContext* c = Encoder(0, 0);
  EXPECT_EQ(c->codec_id, AV_CODEC_ID_MPEG2VIDEO);
  EXPECT_EQ(c->width, 176);
  EXPECT_EQ(c->height, 160);
  EXPECT_EQ(c->time_base.num, 1001); // listed by the encoder
  EXPECT_EQ(c->time_base.den, 30000);
  EXPECT_EQ(c->pix_fmt, AV_PIX_FMT_YUV420P);
  // Square pixels of 176x144 shown on a 176x160 frame.
  EXPECT_EQ(c->sample_aspect_ratio.num, 10);
  EXPECT_EQ(c->sample_aspect_ratio.den, 9);
  EXPECT_NE(c->intra_matrix, nullptr);
  ASSERT_EQ(c->rc_override_count, 2);
  EXPECT_EQ(c->rc_override[0].end_frame, 99);
  EXPECT_EQ(c->rc_override[0].qscale, 5);
  EXPECT_EQ(c->rc_override[1].start_frame, 100);
  EXPECT_FLOAT_EQ(c->rc_override[1].quality_factor, 0.5f);
  EXPECT_EQ(E.Settings.VideoCodecName, nullptr);
}

TEST_F(Engine, FrameRateNearestToTheEncodersList) {
  struct Case {
    AVRational Wanted, Expected;
  } cases[] = {{{30000, 1001}, {30000, 1001}}, {{26, 1}, {25, 1}}, {{52, 1}, {50, 1}}};
  for (const Case& c : cases) {
    TCustomFFmpeg e;
    e.Reset();
    e.Settings.Verbose = -1;
    ASSERT_TRUE(e.OpenInputFile(Media(Fixtures::ClipAvi)));
    e.Settings.FrameRate = c.Wanted;
    e.Settings.VideoCodecName = AvText("mpeg2video");
    ASSERT_TRUE(e.OpenOutputFile(Out("rate.mpg"))) << e.LastError;
    EXPECT_EQ(e.OutputCodecs[0][0]->time_base.den, c.Expected.num) << c.Wanted.num;
    EXPECT_EQ(e.OutputCodecs[0][0]->time_base.num, c.Expected.den);
  }
}

TEST_F(Engine, AudioEncoderSettingsAndLanguage) {
  OpenInput(Fixtures::ClipAvi);
  E.Settings.AudioQScale = 5;
  E.Settings.AudioLanguage = "english";
  E.Settings.AudioChannels = 1;
  E.Settings.AudioSampleRate = 8000;
  E.Settings.AudioCodecName = AvText("libamr_nb"); // the name the preset still uses
  ASSERT_TRUE(E.OpenOutputFile(Out("a.3gp"))) << E.LastError;
  AVCodecContext* c = Encoder(0, 1);
  EXPECT_EQ(c->codec_id, AV_CODEC_ID_AMR_NB);
  EXPECT_EQ(c->global_quality, 590);
  EXPECT_TRUE(c->flags & AV_CODEC_FLAG_QSCALE);
  EXPECT_EQ(c->ch_layout.nb_channels, 1);
  EXPECT_EQ(c->sample_rate, 8000);
  EXPECT_EQ(c->sample_fmt, AV_SAMPLE_FMT_S16); // the encoder's only format
  const AVDictionaryEntry* lang =
      avutil::av_dict_get(E.OutputFiles[0]->streams[1]->metadata, "language", nullptr, 0);
  ASSERT_NE(lang, nullptr);
  EXPECT_STREQ(lang->value, "eng");
  EXPECT_TRUE(E.Settings.AudioLanguage.empty());
}

TEST_F(Engine, StreamCopyNeedsNoEncoder) {
  OpenInput(Fixtures::ClipAvi);
  E.Settings.VideoStreamCopy = 1;
  E.Settings.AudioStreamCopy = 1;
  ASSERT_TRUE(E.OpenOutputFile(Out("copy.mkv"))) << E.LastError;
  EXPECT_TRUE(E.StreamCopy[0][0]);
  EXPECT_TRUE(E.StreamCopy[0][1]);
  EXPECT_EQ(E.OutputCodecs[0][0]->codec, nullptr);
  EXPECT_EQ(E.Settings.VideoStreamCopy, 0);
}

TEST_F(Engine, OutputRefusalsKeepTheTableAndTheDisk) {
  OpenInput(Fixtures::ClipAvi);
  struct Case {
    std::function<void(TCustomFFmpeg&)> Arrange;
    std::string File;
    std::string Error;
  } cases[] = {
      {[](TCustomFFmpeg& e) { e.Settings.VideoCodecName = AvText("nosuchcodec"); }, Out("x.avi"),
       "new_video_stream fail: Unknown encoder 'nosuchcodec'"},
      {[](TCustomFFmpeg& e) { e.Settings.AudioCodecName = AvText("h263"); }, Out("x.avi"),
       "new_audio_stream fail: Invalid encoder type 'h263'"},
      {[](TCustomFFmpeg& e) { e.Settings.RcOverride = AvText("0,"); }, Out("x.avi"),
       "new_video_stream fail: error parsing rc_override"},
      {[](TCustomFFmpeg&) {}, Folder + "/no/such/folder/x.avi",
       "Could not open '" + Folder + "/no/such/folder/x.avi'"},
      {[](TCustomFFmpeg& e) {
         e.Settings.VideoFilters = "vflip";
         e.Settings.FrameTopCrop = 2;
       },
       Out("x.avi"), "Cannot enable crop options and filters at the same time."},
      {[](TCustomFFmpeg& e) {
         e.Settings.VideoFilters = "Scale=320:240";
         e.Settings.FramePadTop = 16;
       },
       Out("x.avi"),
       "Cannot enable pad options and the filters which resize frame at the same time. (crop, "
       "rotate, scale, transpose, etc.)"},
  };
  for (Case& c : cases) {
    c.Arrange(E);
    EXPECT_FALSE(E.OpenOutputFile(c.File));
    EXPECT_EQ(E.LastError, c.Error);
    EXPECT_EQ(E.OutputFileCount, 0);
    EXPECT_FALSE(fs::exists(c.File));
    E.Settings.RcOverride.reset();
    E.Settings.VideoFilters.clear();
    E.Settings.FrameTopCrop = E.Settings.FramePadTop = 0;
  }
}

TEST_F(Engine, EmptyOutputsAreRemovedWhenReleased) {
  OpenInput(Fixtures::ClipAvi);
  ASSERT_TRUE(E.OpenOutputFile(Out("never-written.avi"))) << E.LastError;
  ASSERT_TRUE(fs::exists(Out("never-written.avi")));
  E.ReleaseResources();
  EXPECT_FALSE(fs::exists(Out("never-written.avi")));
  EXPECT_EQ(E.OutputFileCount, 0);
  EXPECT_EQ(E.InputFileCount, 0);
}

TEST_F(Engine, OutlandishPictureSizesInAHeaderAreTakenWithoutOverflow) {
  // A clip whose header claims 50000 x 50000 pixels (more than an int
  // holds) of a codec no library knows, so no decoder corrects the size.
  std::ifstream in(Media(Fixtures::Small176Avi), std::ios::binary);
  std::string bytes(std::istreambuf_iterator<char>(in), {});
  const size_t strf = bytes.find("strf");
  ASSERT_NE(strf, std::string::npos);
  const uint32_t huge = 50000;
  std::memcpy(&bytes[strf + 12], &huge, 4); // BITMAPINFOHEADER width
  std::memcpy(&bytes[strf + 16], &huge, 4); // height
  std::memcpy(&bytes[strf + 24], "ZZZZ", 4); // and compression
  const std::string patched = Out("huge.avi");
  std::ofstream(patched, std::ios::binary) << bytes;

  ASSERT_TRUE(E.OpenInputFile(patched)) << E.LastError;
  EXPECT_EQ(E.Settings.FrameWidth, 50000);
  EXPECT_FLOAT_EQ(E.Settings.FrameAspectRatio, 1.0f);
  E.Settings.VideoStreamCopy = 1;
  ASSERT_TRUE(E.OpenOutputFile(Out("copy.mkv"))) << E.LastError;
  ASSERT_TRUE(E.OpenOutputFile(Out("encoded.mkv"))) << E.LastError;
  EXPECT_EQ(av_cmp_q(E.OutputFiles[0]->streams[0]->sample_aspect_ratio, {1, 1}), 0);
  EXPECT_EQ(av_cmp_q(Encoder(1, 0)->sample_aspect_ratio, {1, 1}), 0);
}
