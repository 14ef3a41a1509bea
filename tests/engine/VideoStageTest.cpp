// The video stage on its own: what whole conversions cannot show because
// their sources keep one colour description.
#include "OutputTestSupport.h"
#include "VideoOutput.h"

#include <gtest/gtest.h>

#include <cstring>

using namespace kestro;
using namespace kestro::test;

namespace {

// A uniform 4:2:0 picture of red as coded in `matrix` (limited range).
TFramePtr RedPicture(int width, int height, AVColorSpace matrix) {
  // Red in BT.709 and BT.601, limited range.
  const bool bt709 = matrix == AVCOL_SPC_BT709;
  const int y = bt709 ? 63 : 81, u = bt709 ? 102 : 90, v = 240;
  TFramePtr f(avutil::av_frame_alloc());
  f->format = AV_PIX_FMT_YUV420P;
  f->width = width;
  f->height = height;
  f->colorspace = matrix;
  f->color_range = AVCOL_RANGE_MPEG;
  EXPECT_GE(avutil::av_frame_get_buffer(f.get(), 0), 0);
  for (int r = 0; r < height; ++r)
    std::memset(f->data[0] + r * f->linesize[0], y, size_t(width));
  for (int r = 0; r < height / 2; ++r) {
    std::memset(f->data[1] + r * f->linesize[1], u, size_t(width / 2));
    std::memset(f->data[2] + r * f->linesize[2], v, size_t(width / 2));
  }
  return f;
}

} // namespace

// The scaler is remade when the pictures change size mid-stream; the remade
// one must still convert with the pictures' own matrix, and a matrix that
// changes at the same size must reach the scaler too. Each picture is red in
// its own matrix, so every output picture is pure red; a scaler left on the
// default matrix turns BT.709 red into a dull (233, 0, 0).
TEST(VideoStage, EveryScalerConvertsWithThePicturesMatrix) {
  constexpr int Width = 160, Height = 120;
  const struct {
    int Width, Height;
    AVColorSpace Matrix;
  } pictures[] = {
      {320, 240, AVCOL_SPC_BT709},     {352, 288, AVCOL_SPC_BT709}, {352, 288, AVCOL_SPC_SMPTE170M},
      {320, 240, AVCOL_SPC_SMPTE170M}, {320, 240, AVCOL_SPC_BT709}, {176, 144, AVCOL_SPC_BT709},
  };
  TOutputBench b;
  // An RGB encoder: the matrix decides the colours it is given.
  const auto rgb = [](AVCodecContext* enc) {
    enc->pix_fmt = AV_PIX_FMT_RGB24;
    enc->width = Width;
    enc->height = Height;
  };
  ASSERT_NO_FATAL_FAILURE(b.Open(
      Fixtures::ClipAvi, AVMEDIA_TYPE_VIDEO, "matrix.nut",
      [](TCustomFFmpeg& e) { e.Settings.VideoCodecName = AvText("rawvideo"); }, rgb));
  for (size_t i = 0; i < std::size(pictures); ++i) {
    TFramePtr picture = RedPicture(pictures[i].Width, pictures[i].Height, pictures[i].Matrix);
    b.In->Pts = int64_t(i) * 40000;
    int frameSize = 0;
    b.E.EncodeAndWriteVideo(b.File(), *b.Out, *b.In, picture.get(), frameSize);
    ASSERT_EQ(frameSize, Width * Height * 3) << i;
  }
  ASSERT_NO_FATAL_FAILURE(b.Finish());

  const std::vector<TReadPacket> packets = ReadPackets(b.Path);
  ASSERT_EQ(packets.size(), std::size(pictures));
  for (size_t i = 0; i < packets.size(); ++i) {
    const uint8_t* centre = packets[i].Data.data() + (Height / 2 * Width + Width / 2) * 3;
    EXPECT_GE(centre[0], 250) << "picture " << i << " of " << pictures[i].Width << "x"
                              << pictures[i].Height;
    EXPECT_LE(centre[1], 6) << "picture " << i;
    EXPECT_LE(centre[2], 6) << "picture " << i;
  }
}

// A stream the run never set up as video (its stage missing) refuses a
// picture with the encoder's message instead of touching a stage that is
// not there.
TEST(VideoStage, AStreamWithoutItsStageRefusesPictures) {
  TOutputBench b;
  ASSERT_NO_FATAL_FAILURE(
      b.Open(Fixtures::ClipAvi, AVMEDIA_TYPE_VIDEO, "none.nut",
             [](TCustomFFmpeg& e) { e.Settings.VideoCodecName = AvText("rawvideo"); }));
  b.Out->Video.reset();
  TFramePtr picture = RedPicture(320, 240, AVCOL_SPC_BT709);
  int frameSize = -1;
  try {
    b.E.EncodeAndWriteVideo(b.File(), *b.Out, *b.In, picture.get(), frameSize);
    ADD_FAILURE() << "no exception";
  } catch (const FFMpegException& e) {
    EXPECT_STREQ(e.what(), "Video encoding failed");
  }
  EXPECT_EQ(b.Out->FramesWritten, 0);
  EXPECT_EQ(b.E.RunState.VideoBytesWritten, 0);
}
