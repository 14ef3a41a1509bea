#include "EngineTestSupport.h"
#include "PictureStage.h"

#include <gtest/gtest.h>

#include <cstring>

using namespace kestro;
using namespace kestro::test;

namespace {

struct TPassed {
  int Width, Height;
  int64_t Pts;    // input.PicturePts, or the input's clock when none
  uint8_t Corner; // the top left luma sample
};

// Records what the stage hands on, and how often it asked for the hooks.
struct TPassRecorder : TPictureStageOwner {
  void Hook(TInputStreamState&, AVFrame*) override { ++Hooked; }
  void Pass(TInputStreamState& input, int, AVFrame* picture) override {
    Passed.push_back({picture->width, picture->height,
                      input.PicturePts != NoTimestamp ? input.PicturePts : input.Pts,
                      picture->data[0][0]});
  }
  int Hooked = 0;
  std::vector<TPassed> Passed;
};

// A stream header, and the encoder a graph feeds.
class PictureStage : public ::testing::Test {
protected:
  void SetUp() override {
    LoadLibrariesOrFail();
    Format.reset(avformat::avformat_alloc_context());
    AVStream* stream = avformat::avformat_new_stream(Format.get(), nullptr);
    stream->codecpar->codec_type = AVMEDIA_TYPE_VIDEO;
    stream->codecpar->width = 176;
    stream->codecpar->height = 144;
    stream->codecpar->format = AV_PIX_FMT_YUV420P;
    Input.Stream = stream;
    Encoder.reset(avcodec::avcodec_alloc_context3(nullptr));
    Encoder->width = 176;
    Encoder->height = 144;
    Encoder->pix_fmt = AV_PIX_FMT_YUV420P;
    Output.Encoder = Encoder.get();
  }
  // A grey picture whose top left sample is `corner`, at `pts` on the
  // input's clock.
  AVFrame* Picture(int w, int h, int64_t pts, uint8_t corner = 128) {
    Frame.reset(avutil::av_frame_alloc());
    Frame->format = AV_PIX_FMT_YUV420P;
    Frame->width = w;
    Frame->height = h;
    EXPECT_GE(avutil::av_frame_get_buffer(Frame.get(), 0), 0);
    for (int p = 0; p < 3; ++p)
      for (int y = 0; y < (p ? h / 2 : h); ++y)
        std::memset(Frame->data[p] + y * Frame->linesize[p], 128, size_t(p ? w / 2 : w));
    Frame->data[0][0] = corner;
    Input.Pts = pts;
    return Frame.get();
  }
  TFormatContextPtr Format;
  TCodecContextPtr Encoder;
  TInputStreamState Input;
  TOutputStreamState Output;
  TFramePtr Frame;
  TPassRecorder Owner;
};

} // namespace

TEST_F(PictureStage, ANewPictureSizeDrainsTheGraphAndItsTimesKeepGoing) {
  TPictureRules rules;
  rules.Chain = "setpts=PTS-STARTPTS";
  TPictureStage stage(Owner, Input, 0, rules);
  ASSERT_TRUE(stage.SetUp(Output)) << stage.Error();
  for (int i = 0; i < 3; ++i)
    stage.Take(Picture(176, 144, 1000000 + i * 40000));
  // The source changes size: the new graph starts its clock over at 0.
  for (int i = 3; i < 5; ++i)
    stage.Take(Picture(352, 288, 1000000 + i * 40000));
  stage.Flush();
  ASSERT_EQ(Owner.Passed.size(), 5u);
  EXPECT_EQ(Owner.Hooked, 5);
  for (size_t i = 0; i < Owner.Passed.size(); ++i) {
    SCOPED_TRACE(i);
    // The remade graph scales to the encoder's picture, which keeps its size.
    EXPECT_EQ(Owner.Passed[i].Width, 176);
    EXPECT_EQ(Owner.Passed[i].Height, 144);
    EXPECT_EQ(Owner.Passed[i].Pts, int64_t(i) * 40000);
  }
}

TEST_F(PictureStage, TurnsPicturesUprightWithoutAGraph) {
  struct Case {
    int Turns;
    int Width, Height;
    uint8_t Corner; // where the marked top left sample ends up: still there or not
  } cases[] = {{0, 176, 144, 200}, {1, 144, 176, 128}, {2, 176, 144, 128}, {3, 144, 176, 128}};
  for (const Case& c : cases) {
    SCOPED_TRACE(c.Turns);
    TPassRecorder owner;
    TPictureRules rules;
    rules.QuarterTurns = c.Turns;
    TPictureStage stage(owner, Input, 0, rules);
    ASSERT_TRUE(stage.SetUp(Output));
    EXPECT_EQ(stage.FilterGraph(), nullptr);
    stage.Take(Picture(176, 144, 40000, 200));
    ASSERT_EQ(owner.Passed.size(), 1u);
    EXPECT_EQ(owner.Passed[0].Width, c.Width);
    EXPECT_EQ(owner.Passed[0].Height, c.Height);
    EXPECT_EQ(owner.Passed[0].Pts, 40000);
    EXPECT_EQ(owner.Passed[0].Corner, c.Corner);
    EXPECT_EQ(owner.Hooked, 1);
  }
}
