// The last picture of a video lasts as long as the others: every output
// holds as many pictures as its source, for as long, and a source of a
// single picture becomes a video of that picture.
#include "ConversionTestSupport.h"
#include "MediaReadBack.h"
#include "OutputTestSupport.h"

#include <gtest/gtest.h>

using namespace kestro;
using namespace kestro::test;

namespace {

class LastFrame : public ConversionTest {};


} // namespace

TEST_F(LastFrame, EveryOutputHoldsEverySourcePicture) {
  struct Case {
    const Fixtures::Media& Source;
    const char* Name;
    const char* Options;
  } cases[] = {
      {Fixtures::ClipAvi, "clip.3gp", ThreeGpp},
      {Fixtures::H264Mp4, "h264.3gp", ThreeGpp},
      {Fixtures::Mpeg2Vob, "vob.3gp", ThreeGpp},
      {Fixtures::SubtitlesMkv, "subtitles.3gp", ThreeGpp},
      {Fixtures::RawBgr24Avi, "raw.3gp", ThreeGpp},
      {Fixtures::ClipAvi, "clip.mp4", "vcodec=mpeg4\nan"},
      {Fixtures::ClipAvi, "clip.mkv", "vcodec=mpeg4\nan"},
      {Fixtures::ClipAvi, "clip.avi", "vcodec=mpeg4\nan"},
      {Fixtures::ClipAvi, "x264.mp4", "vcodec=libx264\nan"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.Name);
    const TResult run = Convert(c.Source.Name, c.Name, c.Options);
    ASSERT_TRUE(run.Finished) << run.Message;
    const TFileSummary out = ReadBack(run.Path);
    const TStreamSummary* video = out.First(AVMEDIA_TYPE_VIDEO);
    ASSERT_NE(video, nullptr);
    EXPECT_EQ(video->Packets, c.Source.VideoFrames);
    EXPECT_EQ(video->DiscardedPackets, 0);
    // The last packet's own duration included.
    const double halfFrame = 0.5 * c.Source.FpsDen / c.Source.FpsNum;
    EXPECT_NEAR(video->DurationSec, c.Source.DurationSec, halfFrame);
    if (c.Options != ThreeGpp) { // the audio may end later
      EXPECT_NEAR(out.DurationSec, c.Source.DurationSec, halfFrame);
    }
  }
}

TEST_F(LastFrame, ASinglePictureBecomesAOneFrameVideo) {
  for (const Fixtures::Media* source : {&Fixtures::OneFrameAvi, &Fixtures::StillJpeg}) {
    SCOPED_TRACE(source->Name);
    const TResult run = Convert(source->Name, "one.3gp", std::string(ThreeGpp) + "\nan");
    ASSERT_TRUE(run.Finished) << run.Message;
    const TFileSummary out = ReadBack(run.Path);
    ASSERT_TRUE(out.Opened);
    const TStreamSummary* video = out.First(AVMEDIA_TYPE_VIDEO);
    ASSERT_NE(video, nullptr);
    EXPECT_EQ(video->Packets, 1);
    EXPECT_EQ(video->DiscardedPackets, 0);
    EXPECT_NEAR(video->DurationSec, 1.0 / 25, 0.005);
    EXPECT_NEAR(out.DurationSec, 1.0 / 25, 0.005);
    // It decodes to the picture.
    const std::vector<TFramePtr> frames = DecodeFrames(run.Path);
    ASSERT_EQ(frames.size(), 1u);
    EXPECT_EQ(frames[0]->width, 176);
  }
}
