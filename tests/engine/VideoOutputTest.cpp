#include "VideoOutput.h"
#include "EngineText.h"
#include "OutputTestSupport.h"
#include "PictureOps.h"
#include "PictureScaler.h"

#include <gtest/gtest.h>

#include <array>
#include <cctype>
#include <fstream>
#include <optional>
#include <sstream>

using namespace kestro;
using namespace kestro::test;

namespace {

using TColour = std::array<int, 3>; // Y, U, V
constexpr TColour White{235, 128, 128};
constexpr TColour Black{16, 128, 128};
constexpr TColour Red{81, 90, 240};

// The clip's pictures are 320x240.
constexpr int SourceWidth = 320, SourceHeight = 240;

// A pattern where every pixel tells where it came from: Y from the luma
// position, U and V from the chroma position.
int PatternY(int x, int y) {
  return (x + 3 * y) & 255;
}
int PatternU(int cx, int cy) {
  return (2 * cx + 5 * cy) & 255;
}
int PatternV(int cx, int cy) {
  return (7 * cx + cy) & 255;
}

// A 4:2:0 picture, uniform in `colour`, or the pattern (shifted by `phase`
// so that successive pictures differ) when no colour is given.
TFramePtr MakePicture(const TColour* colour, int phase = 0, int width = SourceWidth,
                      int height = SourceHeight) {
  TFramePtr f(avutil::av_frame_alloc());
  f->format = AV_PIX_FMT_YUV420P;
  f->width = width;
  f->height = height;
  EXPECT_GE(avutil::av_frame_get_buffer(f.get(), 0), 0);
  for (int y = 0; y < height; ++y)
    for (int x = 0; x < width; ++x)
      f->data[0][y * f->linesize[0] + x] = uint8_t(colour ? (*colour)[0] : PatternY(x + phase, y));
  for (int y = 0; y < height / 2; ++y)
    for (int x = 0; x < width / 2; ++x) {
      f->data[1][y * f->linesize[1] + x] = uint8_t(colour ? (*colour)[1] : PatternU(x, y));
      f->data[2][y * f->linesize[2] + x] = uint8_t(colour ? (*colour)[2] : PatternV(x, y));
    }
  return f;
}

std::function<void(TCustomFFmpeg&)> VideoCodec(const char* name) {
  return [=](TCustomFFmpeg& e) { e.Settings.VideoCodecName = AvText(name); };
}

// Sets the stage up as a run would, with the engine's pad settings and
// the crop given.
void PreparePicture(TOutputBench& b, int cropTop, int cropLeft) {
  const TCustomFFmpeg& e = b.E;
  b.Out->Video->SetUp({cropTop, 0, cropLeft, 0},
                      {e.Settings.FramePadTop, e.Settings.FramePadBottom, e.Settings.FramePadLeft,
                       e.Settings.FramePadRight});
}

// Hands `picture` over with the input clock at `seconds`.
int Encode(TOutputBench& b, AVFrame* picture, double seconds) {
  b.In->Pts = std::llround(seconds * 1000000);
  int frameSize = -1;
  b.E.EncodeAndWriteVideo(b.File(), *b.Out, *b.In, picture, frameSize);
  return frameSize;
}

std::vector<std::string> Lines(const std::string& path) {
  std::ifstream in(path);
  std::vector<std::string> lines;
  for (std::string line; std::getline(in, line);)
    lines.push_back(line);
  return lines;
}

} // namespace

TEST(VideoOutput, HowOftenAPictureGoesOut) {
  constexpr int NoLimit = INT32_MAX;
  struct Case {
    const char* Name;
    int Method; // "vsync"
    AVRational Tb;
    int64_t SyncPts;
    double Lag; // frames the output lags behind the input clock
    int Written;
    int MaxFrames;
    bool Stop;
    std::vector<int64_t> Pts; // of the packets written
    int64_t SyncPtsAfter;
    int Duplicated, Dropped;
    const char* Line;
  } cases[] = {
      {"lag of 3.4 frames",
       -1,
       {1, 25},
       10,
       3.4,
       0,
       NoLimit,
       false,
       {10, 11, 12},
       13,
       3,
       0,
       "*** 2 dup!"},
      {"ahead by 1.5 frames", -1, {1, 25}, 10, -1.5, 0, NoLimit, false, {}, 10, 0, 1, "*** drop!"},
      {"ahead by 1.0 frame", -1, {1, 25}, 10, -1.0, 0, NoLimit, false, {10}, 11, 0, 0, nullptr},
      {"lag of 1.0 frame", -1, {1, 25}, 10, 1.0, 0, NoLimit, false, {10}, 11, 0, 0, nullptr},
      {"vsync 1 at a fine time base",
       1,
       {1, 10000},
       400,
       3.4,
       0,
       NoLimit,
       false,
       {400, 401, 402},
       403,
       3,
       0,
       "*** 2 dup!"},
      {"vsync 2 re-times instead of duplicating",
       2,
       {1, 25},
       10,
       3.4,
       0,
       NoLimit,
       false,
       {13},
       14,
       0,
       0,
       nullptr},
      {"vsync 2 drops when ahead",
       2,
       {1, 25},
       10,
       -1.5,
       0,
       NoLimit,
       false,
       {},
       10,
       0,
       1,
       "*** drop!"},
      {"vsync 0 re-times", 0, {1, 25}, 10, 3.4, 0, NoLimit, false, {13}, 14, 0, 0, nullptr},
      // 8.5 rounds to the even 8.
      {"vsync 0 never drops", 0, {1, 25}, 10, -1.5, 0, NoLimit, false, {8}, 9, 0, 0, nullptr},
      {"a fine time base behaves as vsync 0",
       -1,
       {1, 10000},
       400,
       600,
       0,
       NoLimit,
       false,
       {1000},
       1001,
       0,
       0,
       nullptr},
      {"vframes cuts a duplicate burst",
       -1,
       {1, 25},
       10,
       3.4,
       10,
       12,
       false,
       {10, 11},
       12,
       3,
       0,
       "*** 2 dup!"},
      {"vframes reached", -1, {1, 25}, 10, 0.0, 12, 12, false, {}, 10, 0, 0, nullptr},
      {"stop requested", -1, {1, 25}, 10, 3.4, 0, NoLimit, true, {}, 10, 3, 0, "*** 2 dup!"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.Name);
    TOutputBench b;
    ASSERT_NO_FATAL_FAILURE(b.Open(Fixtures::ClipAvi, AVMEDIA_TYPE_VIDEO, "sync.nut",
                                   VideoCodec("rawvideo"),
                                   [&](AVCodecContext* enc) { enc->time_base = c.Tb; }));
    b.E.Settings.Verbose = 3;
    b.E.Settings.VideoSyncMethod = c.Method;
    b.E.Settings.MaxFrames[AVMEDIA_TYPE_VIDEO] = c.MaxFrames;
    b.E.StopRequested = c.Stop;
    b.Out->SyncPts = c.SyncPts;
    b.Out->FramesWritten = c.Written;
    const double tb = double(c.Tb.num) / c.Tb.den;
    TFramePtr picture = MakePicture(&Red);
    const int frameSize = Encode(b, picture.get(), (double(c.SyncPts) + c.Lag) * tb);

    EXPECT_EQ(b.Out->SyncPts, c.SyncPtsAfter);
    EXPECT_EQ(b.Out->FramesWritten, c.Written + int(c.Pts.size()));
    EXPECT_EQ(b.E.RunState.FramesDuplicated, c.Duplicated);
    EXPECT_EQ(b.E.RunState.FramesDropped, c.Dropped);
    EXPECT_EQ(frameSize, c.Pts.empty() ? 0 : SourceWidth * SourceHeight * 3 / 2);
    if (c.Line)
      EXPECT_TRUE(b.Log.Logged(c.Line)) << c.Line;
    else
      EXPECT_FALSE(b.Log.Logged("***"));
    ASSERT_NO_FATAL_FAILURE(b.Finish());
    std::vector<int64_t> pts;
    for (const TReadPacket& p : ReadPackets(b.Path))
      pts.push_back(std::llround(p.Seconds / tb));
    EXPECT_EQ(pts, c.Pts);
  }
}

TEST(VideoOutput, CropScaleAndPadMakeTheEncodersPicture) {
  struct Case {
    const char* Name;
    int CropTop, CropLeft;
    int PadTop, PadBottom, PadLeft, PadRight;
    int ScaledWidth, ScaledHeight; // 0: no scaling
    TColour Pad;
  } cases[] = {
      {"croptop 8", 8, 0, 0, 0, 0, 0, 0, 0, Black},
      {"croptop 8 and cropleft 16", 8, 16, 0, 0, 0, 0, 0, 0, Black},
      {"padtop 16 and padbottom 16 in white", 0, 0, 16, 16, 0, 0, 0, 0, White},
      {"crop and pad on every side", 8, 16, 8, 8, 16, 16, 0, 0, Black},
      {"scaled, then padded in white", 0, 0, 16, 16, 0, 0, 160, 120, White},
      {"cropped, scaled and padded", 8, 16, 8, 8, 8, 8, 160, 120, White},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.Name);
    const bool scaled = c.ScaledWidth != 0;
    const int innerW = scaled ? c.ScaledWidth : SourceWidth - c.CropLeft;
    const int innerH = scaled ? c.ScaledHeight : SourceHeight - c.CropTop;
    const int w = innerW + c.PadLeft + c.PadRight, h = innerH + c.PadTop + c.PadBottom;
    TOutputBench b;
    ASSERT_NO_FATAL_FAILURE(
        b.Open(Fixtures::ClipAvi, AVMEDIA_TYPE_VIDEO, "picture.nut", [&](TCustomFFmpeg& e) {
          e.Settings.VideoCodecName = AvText("rawvideo");
          e.Settings.FrameWidth = innerW;
          e.Settings.FrameHeight = innerH;
          e.Settings.FramePadTop = c.PadTop;
          e.Settings.FramePadBottom = c.PadBottom;
          e.Settings.FramePadLeft = c.PadLeft;
          e.Settings.FramePadRight = c.PadRight;
          e.Settings.PadColor[0] = c.Pad[0];
          e.Settings.PadColor[1] = c.Pad[1];
          e.Settings.PadColor[2] = c.Pad[2];
        }));
    ASSERT_EQ(b.Enc()->width, w);
    ASSERT_EQ(b.Enc()->height, h);
    ASSERT_NO_FATAL_FAILURE(PreparePicture(b, c.CropTop, c.CropLeft));
    // Scaling blurs a pattern, so scaled pictures are checked on a uniform colour.
    TFramePtr picture = MakePicture(scaled ? &Red : nullptr);
    Encode(b, picture.get(), 0.0);
    ASSERT_NO_FATAL_FAILURE(b.Finish());

    const std::vector<TReadPacket> packets = ReadPackets(b.Path);
    ASSERT_EQ(packets.size(), 1u);
    ASSERT_EQ(packets[0].Data.size(), size_t(w * h * 3 / 2));
    const uint8_t* planes[3] = {packets[0].Data.data(), packets[0].Data.data() + w * h,
                                packets[0].Data.data() + w * h * 5 / 4};
    for (int plane = 0; plane < 3; ++plane) {
      const int shift = plane ? 1 : 0;
      const int pw = w >> shift, ph = h >> shift;
      int wrong = 0;
      for (int y = 0; y < ph && wrong < 5; ++y)
        for (int x = 0; x < pw && wrong < 5; ++x) {
          const int got = planes[plane][y * pw + x];
          const bool border = y < c.PadTop >> shift || y >= ph - (c.PadBottom >> shift) ||
                              x < c.PadLeft >> shift || x >= pw - (c.PadRight >> shift);
          int expected;
          if (border)
            expected = c.Pad[plane];
          else if (scaled)
            expected = Red[plane];
          else {
            const int sx = x - (c.PadLeft >> shift) + (c.CropLeft >> shift);
            const int sy = y - (c.PadTop >> shift) + (c.CropTop >> shift);
            expected = plane == 0   ? PatternY(sx, sy)
                       : plane == 1 ? PatternU(sx, sy)
                                    : PatternV(sx, sy);
          }
          if (std::abs(got - expected) > (scaled && !border ? 2 : 0)) {
            ++wrong;
            ADD_FAILURE() << "plane " << plane << " at " << x << "," << y << ": " << got
                          << " instead of " << expected;
          }
        }
    }
  }
}

// A decoder may scale its pictures ahead of the stage, on its own thread:
// the picture keeps its description (times, colours) and gets the
// encoder's pixels. The stage then scales nothing, and the encoder gets the
// same bytes as when the stage scales.
TEST(VideoOutput, PicturesScaledAheadGoToTheEncoderAsTheStageWouldScaleThem) {
  std::vector<uint8_t> reference;
  for (const bool scaledAhead : {false, true}) {
    SCOPED_TRACE(scaledAhead ? "scaled ahead" : "scaled by the stage");
    TOutputBench b;
    ASSERT_NO_FATAL_FAILURE(
        b.Open(Fixtures::ClipAvi, AVMEDIA_TYPE_VIDEO, "ahead.nut", [&](TCustomFFmpeg& e) {
          e.Settings.VideoCodecName = AvText("rawvideo");
          e.Settings.FrameWidth = 176;
          e.Settings.FrameHeight = 144;
        }));
    ASSERT_NO_FATAL_FAILURE(PreparePicture(b, 0, 0));
    const std::optional<TScaleTarget> target = b.Out->Video->AheadTarget();
    ASSERT_TRUE(target);
    ASSERT_EQ(target->Width, 176);
    // A pattern in BT.709 colours: the scaler must be told them either way.
    TFramePtr picture = MakePicture(nullptr);
    picture->colorspace = AVCOL_SPC_BT709;
    picture->pts = 1234;
    if (scaledAhead) {
      TScaleAhead ahead(*target);
      ahead(picture.get());
      ASSERT_TRUE(ScaledAheadFor(picture.get(), *target));
      EXPECT_EQ(picture->width, 176);
      EXPECT_EQ(picture->height, 144);
      EXPECT_EQ(picture->colorspace, AVCOL_SPC_BT709);
      EXPECT_EQ(picture->pts, 1234);
      // Scaling ahead once is enough.
      const uint8_t* pixels = picture->data[0];
      ahead(picture.get());
      ASSERT_EQ(picture->data[0], pixels);
    }
    Encode(b, picture.get(), 0.0);
    EXPECT_EQ(b.Out->Video->HasScaler(), !scaledAhead);
    ASSERT_NO_FATAL_FAILURE(b.Finish());
    const std::vector<TReadPacket> packets = ReadPackets(b.Path);
    ASSERT_EQ(packets.size(), 1u);
    if (reference.empty())
      reference = packets[0].Data;
    else
      EXPECT_TRUE(packets[0].Data == reference) << "the encoder got other pixels";
  }

  // Nothing is scaled ahead where the stage crops or pads, nor a picture
  // that already has the encoder's size and format.
  for (const bool pads : {false, true}) {
    TOutputBench b;
    ASSERT_NO_FATAL_FAILURE(
        b.Open(Fixtures::ClipAvi, AVMEDIA_TYPE_VIDEO, "edges.nut", [&](TCustomFFmpeg& e) {
          e.Settings.VideoCodecName = AvText("rawvideo");
          e.Settings.FramePadTop = pads ? 16 : 0;
        }));
    ASSERT_NO_FATAL_FAILURE(PreparePicture(b, pads ? 0 : 8, 0));
    EXPECT_FALSE(b.Out->Video->AheadTarget()) << (pads ? "padded" : "cropped");
  }
  TOutputBench b;
  ASSERT_NO_FATAL_FAILURE(
      b.Open(Fixtures::ClipAvi, AVMEDIA_TYPE_VIDEO, "same.nut", VideoCodec("rawvideo")));
  ASSERT_NO_FATAL_FAILURE(PreparePicture(b, 0, 0));
  const std::optional<TScaleTarget> target = b.Out->Video->AheadTarget();
  ASSERT_TRUE(target);
  TFramePtr picture = MakePicture(&Red);
  TScaleAhead ahead(*target);
  ahead(picture.get());
  EXPECT_FALSE(ScaledAheadFor(picture.get(), *target));
}

// An encoder may keep pictures it was given (here: frame threads encode
// them later). Neither the next scaled picture nor a hook's next private
// copy may change a picture it still holds.
TEST(VideoOutput, PicturesHeldByTheEncoderStayIntact) {
  const int shades[] = {40, 80, 120, 160, 200, 60, 100, 140, 180, 220};
  for (const bool scaled : {true, false}) {
    SCOPED_TRACE(scaled ? "scaled picture" : "hook's private copy");
    const int width = scaled ? 160 : SourceWidth, height = scaled ? 120 : SourceHeight;
    TOutputBench b;
    ASSERT_NO_FATAL_FAILURE(b.Open(
        Fixtures::ClipAvi, AVMEDIA_TYPE_VIDEO, "held.nut",
        [&](TCustomFFmpeg& e) {
          e.Settings.VideoCodecName = AvText("mjpeg");
          e.Settings.FrameWidth = width;
          e.Settings.FrameHeight = height;
        },
        [](AVCodecContext* enc) {
          enc->thread_count = 4;
          enc->thread_type = FF_THREAD_FRAME;
          enc->strict_std_compliance = FF_COMPLIANCE_UNOFFICIAL;
          enc->flags |= AV_CODEC_FLAG_QSCALE;
          enc->global_quality = 2 * FF_QP2LAMBDA;
        }));
    ASSERT_NO_FATAL_FAILURE(PreparePicture(b, 0, 0));
    // The planes of a decoded picture pointed at one reused private copy.
    TFramePtr copy = MakePicture(&Black);
    for (size_t i = 0; i < std::size(shades); ++i) {
      const TColour shade{shades[i], 128, 128};
      TFramePtr picture = MakePicture(&shade);
      if (!scaled) {
        CopyPicture(PictureOf(copy.get()), PictureOf(picture.get()), AV_PIX_FMT_YUV420P,
                    SourceWidth, SourceHeight);
        for (int p = 0; p < 3; ++p)
          picture->data[p] = copy->data[p];
      }
      Encode(b, picture.get(), double(i) / 25);
    }
    ASSERT_EQ(b.Out->Video->HasScaler(), scaled);
    b.E.EncodeAndWriteFrame(b.File(), *b.Out, nullptr);
    ASSERT_NO_FATAL_FAILURE(b.Finish());

    const std::vector<TFramePtr> frames = DecodeFrames(b.Path);
    ASSERT_EQ(frames.size(), std::size(shades));
    for (size_t i = 0; i < frames.size(); ++i)
      EXPECT_NEAR(frames[i]->data[0][height / 2 * frames[i]->linesize[0] + width / 2], shades[i], 3)
          << i;
  }
}

// Re-timed clocks ("vsync" 0) can map two pictures on one frame slot; the
// encoder and muxer still get rising time stamps.
TEST(VideoOutput, RetimedPicturesNeverGoBackInTime) {
  TOutputBench b;
  ASSERT_NO_FATAL_FAILURE(
      b.Open(Fixtures::ClipAvi, AVMEDIA_TYPE_VIDEO, "retimed.nut", VideoCodec("mpeg4")));
  b.E.Settings.VideoSyncMethod = 0;
  for (int i = 0; i < 3; ++i) {
    TFramePtr picture = MakePicture(nullptr, i);
    Encode(b, picture.get(), 0.40 + 0.01 * i);
  }
  b.E.EncodeAndWriteFrame(b.File(), *b.Out, nullptr);
  ASSERT_NO_FATAL_FAILURE(b.Finish());
  std::vector<int64_t> slots;
  for (const TReadPacket& p : ReadPackets(b.Path))
    slots.push_back(std::llround(p.Seconds * 25));
  EXPECT_EQ(slots, (std::vector<int64_t>{10, 11, 12}));
}

TEST(VideoOutput, StatisticsFileHasALinePerEncodedFrame) {
  TOutputBench b;
  const std::string statsPath = b.Folder + "/vstats.log";
  ASSERT_NO_FATAL_FAILURE(b.Open(
      Fixtures::ClipAvi, AVMEDIA_TYPE_VIDEO, "stats.avi",
      [&](TCustomFFmpeg& e) {
        e.Settings.VideoCodecName = AvText("mpeg4");
        e.Settings.VStatsFileName = AvText(statsPath.c_str());
      },
      [](AVCodecContext* enc) {
        enc->flags |= AV_CODEC_FLAG_PSNR;
        enc->max_b_frames = 0;
      }));
  constexpr int Frames = 5;
  std::vector<int> sizes;
  for (int i = 0; i < Frames; ++i) {
    TFramePtr picture = MakePicture(nullptr, 4 * i);
    const int frameSize = Encode(b, picture.get(), i / 25.0);
    ASSERT_GT(frameSize, 0) << "mpeg4 without B-frames gives a packet per picture";
    b.E.WriteVideoStats(b.File(), *b.Out, frameSize);
    sizes.push_back(frameSize);
  }
  const int64_t total = b.E.RunState.VideoBytesWritten;
  ASSERT_NO_FATAL_FAILURE(b.Finish()); // closes the statistics file

  // Label, value, label, value, ...: the value tokens of one line, after
  // checking that every label is where it belongs.
  const std::vector<std::string> labels = {
      "frame=", "q=", "PSNR=", "f_size=", "s_size=", "time=", "br=", "avg_br=", "type="};
  auto values = [&](const std::string& line) {
    std::istringstream in(line);
    std::vector<std::string> tokens;
    for (std::string t; in >> t;)
      tokens.push_back(t);
    std::vector<std::string> v;
    EXPECT_EQ(tokens.size(), 2 * labels.size());
    for (size_t i = 0; i + 1 < tokens.size() && i / 2 < labels.size(); i += 2) {
      EXPECT_EQ(tokens[i], labels[i / 2]);
      v.push_back(tokens[i + 1]);
    }
    v.resize(labels.size());
    return v;
  };
  auto decimals = [](const std::string& number) {
    const size_t dot = number.find('.');
    if (dot == std::string::npos)
      return 0;
    size_t end = dot + 1;
    while (end < number.size() && std::isdigit(static_cast<unsigned char>(number[end])))
      ++end;
    return int(end - dot - 1);
  };
  auto endsWith = [](const std::string& text, const std::string& tail) {
    return text.size() >= tail.size() &&
           text.compare(text.size() - tail.size(), tail.size(), tail) == 0;
  };
  const std::vector<std::string> lines = Lines(statsPath);
  ASSERT_EQ(lines.size(), size_t(Frames));
  int64_t sum = 0;
  for (int i = 0; i < Frames; ++i) {
    SCOPED_TRACE(lines[size_t(i)]);
    const std::vector<std::string> v = values(lines[size_t(i)]);
    sum += sizes[size_t(i)];
    EXPECT_EQ(std::stoi(v[0]), i + 1);
    EXPECT_EQ(decimals(v[1]), 1);
    EXPECT_GT(std::stod(v[1]), 0.0);
    EXPECT_LE(std::stod(v[1]), 31.0);
    EXPECT_EQ(decimals(v[2]), 2);
    EXPECT_GT(std::stod(v[2]), 20.0);
    EXPECT_EQ(std::stoi(v[3]), sizes[size_t(i)]);
    EXPECT_TRUE(endsWith(v[4], "kB"));
    EXPECT_NEAR(std::stod(v[4]), double(sum) / 1024, 0.5);
    EXPECT_EQ(v[5], Format("%0.3f", (i + 1) / 25.0));
    EXPECT_EQ(decimals(v[6]), 1);
    EXPECT_NEAR(std::stod(v[6]), sizes[size_t(i)] * 8 * 25 / 1000.0, 0.06);
    EXPECT_TRUE(endsWith(v[6], "kbits/s") && endsWith(v[7], "kbits/s"));
    EXPECT_NEAR(std::stod(v[7]), double(sum) * 8 / ((i + 1) / 25.0) / 1000, 0.06);
    EXPECT_EQ(v[8], i == 0 ? "I" : "P");
  }
  EXPECT_EQ(sum, total);
}

TEST(VideoOutput, FirstPassStatisticsDriveTheSecondPass) {
  constexpr int Frames = 10;
  std::string log;
  for (int pass = 1; pass <= 2; ++pass) {
    SCOPED_TRACE(pass);
    TOutputBench b;
    ASSERT_NO_FATAL_FAILURE(b.Open(Fixtures::ClipAvi, AVMEDIA_TYPE_VIDEO, "pass.avi",
                                   VideoCodec("mpeg4"), [&](AVCodecContext* enc) {
                                     enc->bit_rate = 400000;
                                     if (pass == 1) {
                                       enc->flags |= AV_CODEC_FLAG_PASS1;
                                     } else {
                                       enc->flags |= AV_CODEC_FLAG_PASS2;
                                       enc->stats_in = avutil::av_strdup(log.c_str());
                                     }
                                   }));
    const std::string logPath = b.Folder + "/pass-0.log";
    if (pass == 1)
      b.Out->PassLogFile = myutil::my_fopen(logPath.c_str(), "w");
    for (int i = 0; i < Frames; ++i) {
      TFramePtr picture = MakePicture(nullptr, 8 * i);
      Encode(b, picture.get(), i / 25.0);
    }
    b.E.EncodeAndWriteFrame(b.File(), *b.Out, nullptr);
    if (pass == 1) {
      myutil::my_fclose(b.Out->PassLogFile);
      b.Out->PassLogFile = nullptr;
      std::ostringstream text;
      text << std::ifstream(logPath).rdbuf();
      log = text.str();
    } else {
      avutil::av_freep(&b.Enc()->stats_in);
    }
    ASSERT_NO_FATAL_FAILURE(b.Finish());
    EXPECT_EQ(ReadPackets(b.Path).size(), size_t(Frames));
    if (pass == 1) {
      // One statistics line per coded picture.
      std::vector<std::string> lines;
      std::istringstream in(log);
      for (std::string l; std::getline(in, l);)
        if (!l.empty())
          lines.push_back(l);
      ASSERT_EQ(lines.size(), size_t(Frames)) << log;
      EXPECT_EQ(lines[0].rfind("in:0 ", 0), 0u) << lines[0];
    }
  }
}

TEST(VideoOutput, Failures) {
  struct Case {
    const char* Name;
    bool StopOnError;
    std::function<void(TOutputBench&)> Break;
    const char* Message;
    bool Raised;
  } cases[] = {
      {"crop outside the picture, stop on error", true,
       [](TOutputBench& b) { b.Out->Video->SetUp({SourceHeight, 0, 0, 0}, {}); },
       "error cropping picture", true},
      {"crop outside the picture", false,
       [](TOutputBench& b) { b.Out->Video->SetUp({SourceHeight, 0, 0, 0}, {}); },
       "error cropping picture", false},
      {"pad outside the picture", false,
       [](TOutputBench& b) {
         b.Out->Video->SetUp({}, {b.Enc()->height, 0, 0, 0});
       },
       "error padding picture", false},
      {"encoder refuses the picture", false, [](TOutputBench& b) { b.UseUnopenedEncoder(); },
       "Video encoding failed", true},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.Name);
    TOutputBench b;
    ASSERT_NO_FATAL_FAILURE(
        b.Open(Fixtures::ClipAvi, AVMEDIA_TYPE_VIDEO, "fail.nut", VideoCodec("rawvideo")));
    b.E.Settings.StopOnError = c.StopOnError;
    ASSERT_NO_FATAL_FAILURE(c.Break(b));
    TFramePtr picture = MakePicture(&Red);
    bool raised = false;
    try {
      EXPECT_EQ(Encode(b, picture.get(), 0.0), 0);
    } catch (const FFMpegException& e) {
      raised = true;
      EXPECT_STREQ(e.what(), c.Message);
    }
    EXPECT_EQ(raised, c.Raised);
    if (!raised) {
      EXPECT_TRUE(b.Log.Logged(c.Message));
      EXPECT_EQ(b.Out->FramesWritten, 0);
      EXPECT_EQ(b.E.RunState.VideoBytesWritten, 0);
    }
  }

  TOutputBench b;
  ASSERT_NO_FATAL_FAILURE(
      b.Open(Fixtures::ClipAvi, AVMEDIA_TYPE_VIDEO, "stats.nut", [](TCustomFFmpeg& e) {
        e.Settings.VideoCodecName = AvText("rawvideo");
        e.Settings.VStatsFileName = AvText("/nonexistent-folder/vstats.log");
      }));
  try {
    b.E.WriteVideoStats(b.File(), *b.Out, 100);
    ADD_FAILURE() << "no exception";
  } catch (const FFMpegException& e) {
    EXPECT_STREQ(e.what(), "fopen fail: /nonexistent-folder/vstats.log");
  }
}
