// Sources whose picture size or audio layout changes in the middle: every
// picture and every sample after the change must come out as right as the
// ones before it.
#include "ConversionTestSupport.h"
#include "MediaReadBack.h"
#include "OutputTestSupport.h"

#include <gtest/gtest.h>

using namespace kestro;
using namespace kestro::test;

namespace {

struct TPictureCase {
  const char* Name;
  const char* Options;
  int CropTop, CropBottom, CropLeft, CropRight; // of each source picture
  int PadTop, PadBottom;                        // rows of the output picture
  bool Flipped;                                 // upside down ("vflip")
};

// What output picture `out` should show of the source picture `source`:
// cropped, flipped, scaled on its own into the unpadded part of the output.
TFramePtr Expected(const AVFrame* source, const AVFrame* out, const TPictureCase& c) {
  const int width = source->width - c.CropLeft - c.CropRight;
  const int height = source->height - c.CropTop - c.CropBottom;
  const uint8_t* planes[4] = {};
  int strides[4] = {};
  for (int p = 0; p < 3; ++p) {
    const int shift = p ? 1 : 0;
    const int top = c.Flipped ? (c.CropTop + height - 1) >> shift : c.CropTop >> shift;
    planes[p] = source->data[p] + ptrdiff_t(top) * source->linesize[p] + (c.CropLeft >> shift);
    strides[p] = c.Flipped ? -source->linesize[p] : source->linesize[p];
  }
  TFramePtr expected(avutil::av_frame_alloc());
  expected->format = AV_PIX_FMT_YUV420P;
  expected->width = out->width;
  expected->height = out->height - c.PadTop - c.PadBottom;
  EXPECT_GE(avutil::av_frame_get_buffer(expected.get(), 0), 0);
  TSwsPtr scaler(swscale::sws_getContext(width, height, AVPixelFormat(source->format),
                                         expected->width, expected->height, AV_PIX_FMT_YUV420P,
                                         SWS_BICUBIC, nullptr, nullptr, nullptr));
  EXPECT_TRUE(scaler);
  if (scaler)
    swscale::sws_scale(scaler.get(), planes, strides, 0, height, expected->data,
                       expected->linesize);
  return expected;
}

// Sign changes per second / 2 of `samples` between the two times.
double ToneHz(const std::vector<double>& samples, int rate, double from, double to) {
  int changes = 0;
  const size_t first = size_t(from * rate), last = std::min(samples.size(), size_t(to * rate));
  for (size_t i = first + 1; i < last; ++i)
    changes += (samples[i - 1] < 0) != (samples[i] < 0);
  return changes / 2.0 / (to - from);
}

class MidStreamChange : public ConversionTest {};

} // namespace

TEST_F(MidStreamChange, EveryPictureAfterASizeChangeIsTheSourcePicture) {
  const TPictureCase cases[] = {
      {"the header's size", "", 0, 0, 0, 0, 0, 0, false},
      {"scaled", "s=352x288", 0, 0, 0, 0, 0, 0, false},
      {"cropped", "croptop=16\ncropbottom=8\ncropleft=32\ns=320x240", 16, 8, 32, 0, 0, 0, false},
      {"padded", "s=320x208\npadtop=16\npadbottom=16", 0, 0, 0, 0, 16, 16, false},
      {"filtered", "vfilters=vflip", 0, 0, 0, 0, 0, 0, true},
      {"filtered and scaled", "s=352x288\nvfilters=vflip", 0, 0, 0, 0, 0, 0, true},
  };
  const std::vector<TFramePtr> source = DecodeFrames(Fixtures::MediaPath(Fixtures::SizeChangeTs));
  const int frames = Fixtures::ChangeFirstFrames + Fixtures::ChangeSecondFrames;
  ASSERT_EQ(int(source.size()), frames);
  ASSERT_EQ(source.back()->width, Fixtures::ChangeSecondWidth) << "the fixture changes size";
  for (const TPictureCase& c : cases) {
    SCOPED_TRACE(c.Name);
    const TResult run = Convert(Fixtures::SizeChangeTs, std::string(c.Name) + ".mkv",
                                std::string("vcodec=mpeg4\nqscale=2\nan\n") + c.Options);
    ASSERT_TRUE(run.Finished) << run.Message;
    const std::vector<TFramePtr> output = DecodeFrames(run.Path);
    ASSERT_EQ(int(output.size()), frames);
    for (int i = 0; i < frames; ++i) {
      const AVFrame* out = output[size_t(i)].get();
      const TFramePtr expected = Expected(source[size_t(i)].get(), out, c);
      const double psnr = LumaPsnr(out, expected.get(), c.PadTop, expected->height);
      EXPECT_GT(psnr, 26.0) << "picture " << i << " of " << source[size_t(i)]->width << "x"
                            << source[size_t(i)]->height;
      if (psnr <= 26.0)
        break; // one picture says it
    }
  }
}

TEST_F(MidStreamChange, AudioKeepsItsTonesAcrossAChannelAndRateChange) {
  // Before the change a mono tone reaches both channels; after it each
  // channel carries its own tone.
  for (const char* options : {"acodec=pcm_s16le\nar=44100\nac=2", "acodec=pcm_s16le\nar=48000\nac=2",
                              "acodec=pcm_s16le\nar=32000\nac=2"}) {
    SCOPED_TRACE(options);
    const TResult run = Convert(Fixtures::SizeChangeTs, "tones.wav", std::string("vn\n") + options);
    ASSERT_TRUE(run.Finished) << run.Message;
    const TFileSummary summary = ReadBack(run.Path);
    ASSERT_EQ(summary.Streams.size(), 1u);
    const int rate = summary.Streams[0].SampleRate;
    const auto channels = DecodeChannels(run.Path);
    ASSERT_EQ(channels.size(), 2u);
    EXPECT_NEAR(double(channels[0].size()) / rate, Fixtures::ChangeDurationSec, 0.1);
    const double change = double(Fixtures::ChangeFirstFrames) / Fixtures::ChangeFps;
    for (int side = 0; side < 2; ++side) {
      SCOPED_TRACE(side ? "right" : "left");
      EXPECT_NEAR(ToneHz(channels[size_t(side)], rate, 0.2, change - 0.2), Fixtures::ChangeLeftHz,
                  10);
      EXPECT_NEAR(ToneHz(channels[size_t(side)], rate, change + 0.2, Fixtures::ChangeDurationSec - 0.2),
                  side ? Fixtures::ChangeRightHz : Fixtures::ChangeLeftHz, 20);
    }
  }
}

TEST_F(MidStreamChange, TheCustomHookDrawsOnEveryPictureAtItsSize) {
  struct TSeen {
    std::vector<std::pair<int, int>> Sizes;
    static void On(void* self, TCustomFFmpeg*, THookBitmap& bitmap, int, int64_t, bool& update,
                   bool&) {
      static_cast<TSeen*>(self)->Sizes.emplace_back(bitmap.Width, bitmap.Height);
      update = false;
    }
  } seen;
  const TResult run = Convert(Fixtures::SizeChangeTs, "hooked.mkv", "vcodec=mpeg4\nan", nullptr, -1,
                              [&](TCustomFFmpeg& e) { e.CustomHookCallback = {&TSeen::On, &seen}; });
  ASSERT_TRUE(run.Finished) << run.Message;
  const int frames = Fixtures::ChangeFirstFrames + Fixtures::ChangeSecondFrames;
  ASSERT_EQ(int(seen.Sizes.size()), frames);
  for (int i = 0; i < frames; ++i) {
    const bool first = i < Fixtures::ChangeFirstFrames;
    EXPECT_EQ(seen.Sizes[size_t(i)],
              std::make_pair(first ? Fixtures::ChangeFirstWidth : Fixtures::ChangeSecondWidth,
                             first ? Fixtures::ChangeFirstHeight : Fixtures::ChangeSecondHeight))
        << "picture " << i;
  }
}
