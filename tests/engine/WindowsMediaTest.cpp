// Windows Media files: their packets carry millisecond presentation times
// after a preroll, and their video often has no times of its own; a run
// must end with what the source holds, never more.
#include "ConversionTestSupport.h"
#include "MediaReadBack.h"
#include "OutputTestSupport.h"

#include <gtest/gtest.h>

#include <filesystem>

using namespace kestro;
using namespace kestro::test;

namespace {

class WindowsMedia : public ConversionTest {};


} // namespace

TEST_F(WindowsMedia, AsfWithVideoAndAudioConvertsToItsLength) {
  const Fixtures::Media& source = Fixtures::WmvAsf;
  struct Case {
    const char* Name;
    const char* Options;
    bool Video, Audio;
  } cases[] = {
      {"both.3gp", "", true, true},
      {"video.3gp", "an", true, false},
      {"audio.3gp", "vn", false, true},
  };
  RunLimitSec = 60;
  for (const Case& c : cases) {
    SCOPED_TRACE(c.Name);
    const TResult run = Convert(source.Name, c.Name, std::string(ThreeGpp) + "\n" + c.Options);
    ASSERT_FALSE(run.TimedOut) << "the run did not end";
    ASSERT_TRUE(run.Finished) << run.Message;
    // Nothing beyond what the source accounts for: a 3 s source at these
    // rates is some tens of kilobytes.
    EXPECT_LT(std::filesystem::file_size(run.Path), 200u * 1024);
    const TFileSummary out = ReadBack(run.Path);
    ASSERT_TRUE(out.Opened);
    EXPECT_NEAR(out.DurationSec, source.DurationSec, 0.2);
    const TStreamSummary* video = out.First(AVMEDIA_TYPE_VIDEO);
    ASSERT_EQ(video != nullptr, c.Video);
    if (video) {
      EXPECT_NEAR(video->Packets, source.VideoFrames, 3);
      EXPECT_NEAR(video->DurationSec, source.DurationSec, 0.1);
    }
    const TStreamSummary* audio = out.First(AVMEDIA_TYPE_AUDIO);
    ASSERT_EQ(audio != nullptr, c.Audio);
    if (audio) {
      EXPECT_NEAR(audio->DurationSec, source.DurationSec, 0.2);
    }
  }
}

namespace {

// A flat gray picture of the encoder's size (null when it cannot be made).
TFramePtr GrayPicture(const AVCodecContext* enc) {
  TFramePtr picture(avutil::av_frame_alloc());
  picture->format = AV_PIX_FMT_YUV420P;
  picture->width = enc->width;
  picture->height = enc->height;
  if (avutil::av_frame_get_buffer(picture.get(), 0) < 0)
    return nullptr;
  for (int p = 0; p < 3; ++p)
    std::memset(picture->data[p], 128,
                size_t(picture->linesize[p]) * (p ? picture->height / 2 : picture->height));
  return picture;
}

} // namespace

// How often one picture goes out when the input clock jumped: a gap the
// source is long enough to hold is filled, a larger jump is a broken time
// stamp and the picture goes out once, with the next ones following it.
TEST(VideoSync, JumpsBeyondTheSourceAreNotFilled) {
  struct Case {
    const char* Name;
    double JumpSec; // after a first picture at 0
    int Copies;     // of the second picture
  } cases[] = {
      {"a pause the 4 s source can hold", 2.0, 49},
      {"a jump of 50000 s", 50000.0, 1},
      {"a jump of 2^32 ms", 4294967.296, 1},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.Name);
    TOutputBench b;
    ASSERT_NO_FATAL_FAILURE(
        b.Open(Fixtures::ClipAvi, AVMEDIA_TYPE_VIDEO, "jump.avi",
               [](TCustomFFmpeg& e) { e.Settings.VideoCodecName = AvText("mpeg4"); }));
    b.E.Settings.MaxFrames[AVMEDIA_TYPE_VIDEO] = 500; // what a broken run may write here
    TFramePtr picture = GrayPicture(b.Enc());
    ASSERT_NE(picture, nullptr);
    int frameSize = 0;
    auto send = [&](double seconds) {
      b.In->Pts = std::llround(seconds * 1000000);
      b.E.EncodeAndWriteVideo(b.File(), *b.Out, *b.In, picture.get(), frameSize);
    };
    send(0.0);
    ASSERT_EQ(b.Out->FramesWritten, 1);
    send(c.JumpSec);
    EXPECT_EQ(b.Out->FramesWritten, 1 + c.Copies);
    // The next picture, one frame later, goes out once.
    send(c.JumpSec + 0.04);
    EXPECT_EQ(b.Out->FramesWritten, 2 + c.Copies);
    ASSERT_NO_FATAL_FAILURE(b.Finish());
  }
}

// Clock steps each short enough for the source, but many of them: the
// copies stop where the 4 s source ends (plus a second), not an hour later.
TEST(VideoSync, CopiesNeverRunPastTheSource) {
  TOutputBench b;
  ASSERT_NO_FATAL_FAILURE(
      b.Open(Fixtures::ClipAvi, AVMEDIA_TYPE_VIDEO, "steps.avi",
             [](TCustomFFmpeg& e) { e.Settings.VideoCodecName = AvText("mpeg4"); }));
  TFramePtr picture = GrayPicture(b.Enc());
  ASSERT_NE(picture, nullptr);
  int frameSize = 0;
  for (int step = 0; step < 40; ++step) {
    b.In->Pts = int64_t(step) * 3000000; // 3 s apart
    b.E.EncodeAndWriteVideo(b.File(), *b.Out, *b.In, picture.get(), frameSize);
  }
  // 4 s + 1 s at 25 fps, and the pictures that came after that once each.
  EXPECT_LE(b.Out->FramesWritten, 125 + 40);
  EXPECT_GE(b.Out->FramesWritten, 100);
  ASSERT_NO_FATAL_FAILURE(b.Finish());
}
