#include "EngineTestSupport.h"
#include "FixtureMedia.h"
#include "MediaReadBack.h"

#include <gtest/gtest.h>

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
    e.Verbose = -1;
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

const char* const ThreeGpp = "vcodec=h263\nacodec=libamr_nb\ns=176x144\nac=1\nar=8000\n"
                             "b=120000\nab=10200";

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
