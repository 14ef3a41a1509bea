// Sources the run's set-up must refuse with a cause rather than hand on to
// a library that aborts on them.
#include "EngineTestSupport.h"
#include "FixtureMedia.h"

#include <gtest/gtest.h>

#include <filesystem>
#include <unistd.h>

using namespace kestro;
using namespace kestro::test;

TEST(RunSetup, AVideoSourceWithoutKnownPicturesIsRefused) {
  LoadLibrariesOrFail();
  char pattern[] = "/tmp/kestro-setup-XXXXXX";
  const std::string folder = mkdtemp(pattern);
  TCustomFFmpeg e;
  e.Reset();
  e.Verbose = -1;
  TRecorder recorder;
  recorder.Attach(e);
  // Probing stops before the second program's H.264 stream shows a picture.
  e.SetOption("probesize", "4000");
  ASSERT_TRUE(e.OpenInputFile(Fixtures::MediaPath(Fixtures::TwoProgramsTs.Name))) << e.LastError;
  e.ProgramId = 2;
  const AVCodecParameters* video = nullptr;
  for (unsigned i = 0; i < e.InputFiles[0]->nb_streams; ++i)
    if (e.InputFiles[0]->streams[i]->codecpar->codec_id == AV_CODEC_ID_H264)
      video = e.InputFiles[0]->streams[i]->codecpar;
  ASSERT_NE(video, nullptr);
  ASSERT_EQ(video->format, AV_PIX_FMT_NONE) << "the case needs a source without pictures";
  e.SetOption("vcodec", "mpeg4");
  e.SetOption("s", "64x48");
  e.AudioDisable = 1;
  ASSERT_TRUE(e.OpenOutputFile(folder + "/out.mkv")) << e.LastError;
  e.Start(false);
  EXPECT_TRUE(e.ExceptionRaised);
  EXPECT_EQ(e.ExceptionMessage.rfind("Cannot get resampling context", 0), 0u) << e.ExceptionMessage;
  EXPECT_TRUE(e.OpenEncoders.empty());
  std::filesystem::remove_all(folder);
}
