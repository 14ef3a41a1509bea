// Sources whose header describes no picture: the scaler library aborts on
// such a description, so the run must take the size and format from the
// decoded pictures, never from the header.
#include "EngineTestSupport.h"
#include "FixtureMedia.h"
#include "MediaReadBack.h"

#include <gtest/gtest.h>

#include <filesystem>
#include <unistd.h>

using namespace kestro;
using namespace kestro::test;

TEST(RunSetup, AVideoSourceWithoutDescribedPicturesConvertsFromItsPictures) {
  LoadLibrariesOrFail();
  char pattern[] = "/tmp/kestro-setup-XXXXXX";
  const std::string folder = mkdtemp(pattern);
  TCustomFFmpeg e;
  e.Reset();
  e.Settings.Verbose = -1;
  TRecorder recorder;
  recorder.Attach(e);
  // Probing stops before the second program's H.264 stream shows a picture.
  e.SetOption("probesize", "4000");
  ASSERT_TRUE(e.OpenInputFile(Fixtures::MediaPath(Fixtures::TwoProgramsTs.Name))) << e.LastError;
  e.Settings.ProgramId = 2;
  const AVCodecParameters* video = nullptr;
  for (unsigned i = 0; i < e.InputFiles[0]->nb_streams; ++i)
    if (e.InputFiles[0]->streams[i]->codecpar->codec_id == AV_CODEC_ID_H264)
      video = e.InputFiles[0]->streams[i]->codecpar;
  ASSERT_NE(video, nullptr);
  ASSERT_EQ(video->format, AV_PIX_FMT_NONE) << "the case needs a source without pictures";
  e.SetOption("vcodec", "mpeg4");
  e.SetOption("s", "64x48");
  e.Settings.AudioDisable = 1;
  ASSERT_TRUE(e.OpenOutputFile(folder + "/out.mkv")) << e.LastError;
  e.Start(false);
  EXPECT_FALSE(e.ExceptionRaised) << e.ExceptionMessage;
  EXPECT_TRUE(e.RunState.OpenEncoders.empty());
  const TFileSummary out = ReadBack(folder + "/out.mkv");
  const TStreamSummary* picture = out.First(AVMEDIA_TYPE_VIDEO);
  ASSERT_NE(picture, nullptr);
  EXPECT_EQ(picture->Width, 64);
  EXPECT_EQ(picture->Height, 48);
  EXPECT_GT(picture->Packets, 0);
  std::filesystem::remove_all(folder);
}
