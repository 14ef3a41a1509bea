#include "EngineTestSupport.h"
#include "FixtureMedia.h"
#include "MediaReadBack.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <filesystem>
#include <unistd.h>

using namespace kestro;
using namespace kestro::test;
namespace fs = std::filesystem;

namespace {

class Reencode : public ::testing::Test {
protected:
  void SetUp() override {
    LoadLibrariesOrFail();
    char pattern[] = "/tmp/kestro-enc-XXXXXX";
    Folder = mkdtemp(pattern);
  }
  void TearDown() override { fs::remove_all(Folder); }

  // Converts `source` with the option lines `options` into `name`; returns
  // what was written, read back.
  TFileSummary Convert(const Fixtures::Media& source, const std::string& name,
                       const std::string& inputOptions, const std::string& options) {
    TCustomFFmpeg e;
    e.Reset();
    e.Settings.Verbose = -1;
    TRecorder recorder;
    recorder.Attach(e);
    e.ParseOptionLines(inputOptions);
    EXPECT_TRUE(e.OpenInputFile(Fixtures::MediaPath(source.Name))) << e.LastError;
    e.ParseOptionLines(options);
    const std::string path = Folder + "/" + name;
    EXPECT_TRUE(e.OpenOutputFile(path)) << e.LastError;
    e.Start(false);
    EXPECT_FALSE(e.ExceptionRaised) << source.Name << ": " << e.ExceptionMessage;
    EXPECT_TRUE(e.Finished) << source.Name;
    return ReadBack(path);
  }
  std::string Folder;
};


} // namespace

TEST_F(Reencode, EveryTestClipBecomesA3gpp) {
  const Fixtures::Media* sources[] = {&Fixtures::ClipAvi,     &Fixtures::H264Mp4,
                                      &Fixtures::Mpeg2Vob,    &Fixtures::MultiAudioMkv,
                                      &Fixtures::SubtitlesMkv, &Fixtures::TwoProgramsTs,
                                      &Fixtures::Sar43Avi,    &Fixtures::Small176Avi,
                                      &Fixtures::Cif352Avi,   &Fixtures::RawBgr24Avi};
  for (const Fixtures::Media* source : sources) {
    SCOPED_TRACE(source->Name);
    const TFileSummary out = Convert(*source, std::string(source->Name) + ".3gp", "", ThreeGpp);
    ASSERT_TRUE(out.Opened);
    const TStreamSummary* video = out.First(AVMEDIA_TYPE_VIDEO);
    ASSERT_NE(video, nullptr);
    EXPECT_EQ(video->Codec, "h263");
    EXPECT_EQ(video->Width, 176);
    EXPECT_EQ(video->Height, 144);
    EXPECT_NEAR(video->DurationSec, source->DurationSec, 0.2);
    // The source's frames at the output rate (the source's own here).
    EXPECT_NEAR(video->Packets, source->VideoFrames, 2);
    const TStreamSummary* audio = out.First(AVMEDIA_TYPE_AUDIO);
    if (source->AudioStreams == 0) {
      EXPECT_EQ(audio, nullptr);
      continue;
    }
    ASSERT_NE(audio, nullptr);
    EXPECT_EQ(audio->Codec, "amr_nb");
    EXPECT_EQ(audio->SampleRate, 8000);
    EXPECT_EQ(audio->Channels, 1);
    EXPECT_NEAR(audio->DurationSec, source->DurationSec, 0.2);
  }
}

TEST_F(Reencode, AudioOnlySourcesBecomeAmrOnly) {
  for (const Fixtures::Media* source : {&Fixtures::SongMp3, &Fixtures::ToneWav, &Fixtures::ToneFlac}) {
    SCOPED_TRACE(source->Name);
    const TFileSummary out =
        Convert(*source, std::string(source->Name) + ".3gp", "", std::string(ThreeGpp) + "\nvn");
    ASSERT_TRUE(out.Opened);
    ASSERT_EQ(out.Streams.size(), 1u);
    EXPECT_EQ(out.Streams[0].Codec, "amr_nb");
    EXPECT_NEAR(out.Streams[0].DurationSec, source->DurationSec, 0.2);
  }
}

TEST_F(Reencode, CommonTargets) {
  struct Case {
    const Fixtures::Media& Source;
    const char* Name;
    const char* Options;
    const char* Video;
    const char* Audio;
  } cases[] = {
      {Fixtures::H264Mp4, "mpeg4.avi", "vcodec=mpeg4\nacodec=libmp3lame", "mpeg4", "mp3"},
      {Fixtures::ClipAvi, "h264.mp4", "vcodec=libx264\nacodec=aac", "h264", "aac"},
      {Fixtures::ClipAvi, "pcm.wav", "acodec=pcm_s16le", nullptr, "pcm_s16le"},
      {Fixtures::ClipAvi, "dvd.vob", "target=pal-dvd\nacodec=mp2\nab=224000", "mpeg2video", "mp2"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.Name);
    const TFileSummary out = Convert(c.Source, c.Name, "", c.Options);
    ASSERT_TRUE(out.Opened);
    const TStreamSummary* video = out.First(AVMEDIA_TYPE_VIDEO);
    if (c.Video) {
      ASSERT_NE(video, nullptr);
      EXPECT_EQ(video->Codec, c.Video);
      EXPECT_NEAR(video->DurationSec, c.Source.DurationSec, 0.25);
    } else {
      EXPECT_EQ(video, nullptr);
    }
    const TStreamSummary* audio = out.First(AVMEDIA_TYPE_AUDIO);
    ASSERT_NE(audio, nullptr);
    EXPECT_EQ(audio->Codec, c.Audio);
    EXPECT_NEAR(audio->DurationSec, c.Source.DurationSec, 0.25);
  }
}

namespace {

struct TProgressSeen {
  std::vector<int> Frames, Fps, Milliseconds;
  std::vector<float> Quality;
  static void On(void* self, TCustomFFmpeg*, int frame, int fps, int ms, float quality, float,
                 int64_t, int) {
    auto* s = static_cast<TProgressSeen*>(self);
    s->Frames.push_back(frame);
    s->Fps.push_back(fps);
    s->Milliseconds.push_back(ms);
    s->Quality.push_back(quality);
  }
};

// The luma of the top-left and bottom-left corners of the first picture.
std::pair<int, int> CornerLuma(const std::string& path) {
  AVFormatContext* format = nullptr;
  avformat::avformat_open_input(&format, path.c_str(), nullptr, nullptr);
  avformat::avformat_find_stream_info(format, nullptr);
  const int index = avformat::av_find_best_stream(format, AVMEDIA_TYPE_VIDEO, -1, -1, nullptr, 0);
  const AVCodecParameters* par = format->streams[index]->codecpar;
  TCodecContextPtr decoder(
      avcodec::avcodec_alloc_context3(avcodec::avcodec_find_decoder(par->codec_id)));
  avcodec::avcodec_parameters_to_context(decoder.get(), par);
  avcodec::avcodec_open2(decoder.get(), nullptr, nullptr);
  TFramePtr frame(avutil::av_frame_alloc());
  TPacketPtr packet(avcodec::av_packet_alloc());
  std::pair<int, int> corners{-1, -1};
  while (avformat::av_read_frame(format, packet.get()) >= 0) {
    if (packet->stream_index == index)
      avcodec::avcodec_send_packet(decoder.get(), packet.get());
    avcodec::av_packet_unref(packet.get());
    if (avcodec::avcodec_receive_frame(decoder.get(), frame.get()) == 0) {
      corners = {frame->data[0][2 * frame->linesize[0] + 2],
                 frame->data[0][(frame->height - 3) * frame->linesize[0] + 2]};
      break;
    }
  }
  avformat::avformat_close_input(&format);
  return corners;
}

} // namespace

TEST_F(Reencode, ProgressReportsWhatTheRunProduced) {
  struct Case {
    const Fixtures::Media& Source;
    const char* Options;
    bool Video;
  } cases[] = {{Fixtures::SongMp3, "acodec=libamr_nb\nar=8000\nac=1", false},
               {Fixtures::ClipAvi, "vcodec=copy\nacodec=copy", true}};
  for (const Case& c : cases) {
    TCustomFFmpeg e;
    e.Reset();
    e.Settings.Verbose = -1;
    TProgressSeen seen;
    e.ProgressCallback = {&TProgressSeen::On, &seen};
    e.ReportInterval = 0;
    ASSERT_TRUE(e.OpenInputFile(Fixtures::MediaPath(c.Source.Name)));
    e.ParseOptionLines(c.Options);
    ASSERT_TRUE(e.OpenOutputFile(Folder + "/progress" + (c.Video ? ".mkv" : ".3gp")));
    e.Start(false);
    ASSERT_FALSE(e.ExceptionRaised) << e.ExceptionMessage;
    ASSERT_FALSE(seen.Milliseconds.empty()) << c.Source.Name;
    // Milliseconds within the source's length, never an overflow.
    for (int ms : seen.Milliseconds) {
      EXPECT_GE(ms, 0);
      EXPECT_LE(ms, c.Source.DurationSec * 1000 + 250);
    }
    EXPECT_NEAR(seen.Milliseconds.back(), c.Source.DurationSec * 1000, 250) << c.Source.Name;
    if (!c.Video) {
      EXPECT_EQ(seen.Frames.back(), -1);
      EXPECT_EQ(seen.Fps.back(), -1);
      EXPECT_FLOAT_EQ(seen.Quality.back(), -1.0f);
    } else {
      EXPECT_GT(seen.Frames.back(), 0);
      EXPECT_FLOAT_EQ(seen.Quality.back(), -1.0f) << "a copied stream has no quantizer";
    }
  }
}

TEST_F(Reencode, VerboseReportCountsDuplicatesAndDrops) {
  TCustomFFmpeg e;
  e.Reset();
  TRecorder recorder;
  recorder.Attach(e);
  e.Settings.Verbose = -1;
  ASSERT_TRUE(e.OpenInputFile(Fixtures::MediaPath(Fixtures::ClipAvi.Name)));
  e.ParseOptionLines("vcodec=mpeg4\nr=50\nan");
  ASSERT_TRUE(e.OpenOutputFile(Folder + "/dup.avi"));
  e.Settings.Verbose = 2;
  e.Start(false);
  ASSERT_FALSE(e.ExceptionRaised) << e.ExceptionMessage;
  EXPECT_GT(e.RunState.FramesDuplicated, 0) << "25 fps into 50 fps doubles the pictures";
  EXPECT_TRUE(recorder.Logged(" dup=")) << "the size line carries the counts";
  EXPECT_TRUE(recorder.Logged("muxing overhead"));
}

TEST_F(Reencode, FilterChainReachesTheOutput) {
  const std::string plain = Folder + "/plain.avi", flipped = Folder + "/flipped.avi";
  for (const auto& [path, options] :
       {std::pair{plain, "vcodec=mpeg4\nqscale=2\nan"},
        std::pair{flipped, "vcodec=mpeg4\nqscale=2\nan\nvfilters=vflip"}}) {
    TCustomFFmpeg e;
    e.Reset();
    e.Settings.Verbose = -1;
    ASSERT_TRUE(e.OpenInputFile(Fixtures::MediaPath(Fixtures::Small176Avi.Name)));
    e.ParseOptionLines(options);
    ASSERT_TRUE(e.OpenOutputFile(path)) << e.LastError;
    e.Start(false);
    ASSERT_FALSE(e.ExceptionRaised) << e.ExceptionMessage;
  }
  const auto [plainTop, plainBottom] = CornerLuma(plain);
  const auto [flippedTop, flippedBottom] = CornerLuma(flipped);
  ASSERT_GT(std::abs(plainTop - plainBottom), 20) << "the test picture needs different corners";
  EXPECT_NEAR(flippedTop, plainBottom, 6);
  EXPECT_NEAR(flippedBottom, plainTop, 6);
}
