// Today's encoders through the engine: their own options, codec threads,
// pixel depth and colour description, whole conversions read back.
#include "ConversionTestSupport.h"
#include "MediaReadBack.h"
#include "OutputTestSupport.h"

#include <gtest/gtest.h>

#include <cstdint>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <string>
#include <vector>

namespace kestro::test {
namespace {

namespace fs = std::filesystem;

class CodecOptions : public ConversionTest {
protected:
  void ExpectConverted(const TResult& r) {
    ASSERT_TRUE(r.Finished) << r.Message;
    ASSERT_FALSE(r.Raised) << r.Message;
  }

  // The first stream of the file's given type, with its parameters.
  static const AVCodecParameters* Parameters(AVFormatContext* file, AVMediaType type) {
    for (unsigned i = 0; i < file->nb_streams; ++i)
      if (file->streams[i]->codecpar->codec_type == type)
        return file->streams[i]->codecpar;
    return nullptr;
  }
};

// ---- Options of one encoder or muxer

TEST_F(CodecOptions, AnEncodersOwnRateFactorChangesTheOutputSize) {
  uintmax_t sizes[2] = {};
  const char* factors[2] = {"18", "40"};
  for (int i = 0; i < 2; ++i) {
    const TResult r = Convert(Fixtures::Cif352Avi.Name, std::string("crf") + factors[i] + ".mp4",
                              std::string("vcodec=libx264\npreset=ultrafast\ncrf=") + factors[i] +
                                  "\nacodec=aac\n");
    ExpectConverted(r);
    sizes[i] = fs::file_size(r.Path);
  }
  // A lower factor is a higher quality: a bigger file, by far.
  EXPECT_GT(sizes[0], 2 * sizes[1]) << sizes[0] << " vs " << sizes[1];
}

TEST_F(CodecOptions, AnOptionNothingTakesFailsWithItsName) {
  const struct Case {
    const char* Options;
    const char* Error;
  } cases[] = {
      {"nosuchoption=1\n", "Unrecognized option 'nosuchoption'"},
      // Another encoder's option, or another container's: never dropped.
      {"vcodec=mpeg4\nacodec=mp2\ncrf=20\n", "Unrecognized option 'crf'"},
      {"vcodec=mpeg4\nacodec=mp2\nmuxrate=1000000\n", "Unrecognized option 'muxrate'"},
  };
  for (const Case& c : cases) {
    const TResult r = Convert(Fixtures::Small176Avi.Name, "refused.mkv", c.Options);
    EXPECT_FALSE(r.Finished) << c.Options;
    EXPECT_EQ(r.Message, c.Error) << c.Options;
    EXPECT_FALSE(fs::exists(r.Path)) << c.Options;
  }
}

TEST_F(CodecOptions, AnEncoderChosenByNameIsTheOneOpened) {
  // SVT-AV1 is not the first AV1 encoder: its own "preset" would be
  // unknown to the first one.
  const TResult r = Convert(Fixtures::Small176Avi.Name, "named.mkv",
                            "vcodec=libsvtav1\npreset=12\ncrf=50\nan\n");
  ExpectConverted(r);
  const TFileSummary summary = ReadBack(r.Path);
  ASSERT_EQ(summary.Streams.size(), 1u);
  EXPECT_EQ(summary.Streams[0].Codec, "av1");
  EXPECT_EQ(summary.Streams[0].Packets, Fixtures::Small176Avi.VideoFrames);
}

// The mux rate an MPEG-1 or MPEG-2 program stream's first pack header
// declares, in units of 50 bytes a second.
int FirstPackMuxRate(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  const std::vector<uint8_t> bytes((std::istreambuf_iterator<char>(in)), {});
  for (size_t i = 0; i + 13 < bytes.size(); ++i)
    if (bytes[i] == 0 && bytes[i + 1] == 0 && bytes[i + 2] == 1 && bytes[i + 3] == 0xBA)
      // An MPEG-2 pack has a longer clock field before the rate than MPEG-1's.
      return (bytes[i + 4] & 0xC0) == 0x40
                 ? (bytes[i + 10] << 14) | (bytes[i + 11] << 6) | (bytes[i + 12] >> 2)
                 : ((bytes[i + 9] & 0x7F) << 15) | (bytes[i + 10] << 7) | (bytes[i + 11] >> 1);
  return -1;
}

TEST_F(CodecOptions, DiscTargetsGiveTheMuxerItsRate) {
  const struct Case {
    const char* Target;
    int BitsPerSecond;
  } cases[] = {{"pal-dvd", 10080000}, {"pal-vcd", 1411200}};
  for (const Case& c : cases) {
    const TResult r = Convert(Fixtures::Small176Avi.Name, std::string(c.Target) + ".mpg",
                              std::string("target=") + c.Target + "\n");
    ExpectConverted(r);
    EXPECT_EQ(FirstPackMuxRate(r.Path), c.BitsPerSecond / 400) << c.Target;
  }
}

// ---- Codec threads

struct TTimedOutput {
  std::vector<TFramePtr> Pictures;
  double VideoStart = 0, AudioStart = 0; // seconds
};

TTimedOutput ReadTimed(const std::string& path) {
  TTimedOutput out;
  out.Pictures = DecodeFrames(path);
  TInputContextPtr file = OpenForReading(path);
  if (!file)
    return out;
  TPacketPtr packet(avcodec::av_packet_alloc());
  bool seen[2] = {false, false};
  while (avformat::av_read_frame(file.get(), packet.get()) >= 0) {
    const AVStream* stream = file->streams[packet->stream_index];
    const int kind = stream->codecpar->codec_type == AVMEDIA_TYPE_VIDEO ? 0 : 1;
    const int64_t t = packet->pts != AV_NOPTS_VALUE ? packet->pts : packet->dts;
    if (!seen[kind] && t != AV_NOPTS_VALUE) {
      (kind ? out.AudioStart : out.VideoStart) =
          double(t) * stream->time_base.num / stream->time_base.den;
      seen[kind] = true;
    }
    avcodec::av_packet_unref(packet.get());
  }
  return out;
}

TEST_F(CodecOptions, ThreadedDecodingKeepsEveryPictureInItsPlace) {
  // H.264 with B-frames: a decoder on several threads gives each picture
  // back a few packets late, which must not move it in time.
  TTimedOutput outputs[2];
  const char* counts[2] = {"1", "0"};
  for (int i = 0; i < 2; ++i) {
    InputOptions = std::string("threads=") + counts[i] + "\n";
    const TResult r = Convert(Fixtures::H264Mp4.Name, std::string("threads") + counts[i] + ".avi",
                              "vcodec=mpeg4\nqscale=2\nacodec=mp2\nthreads=1\n");
    ExpectConverted(r);
    outputs[i] = ReadTimed(r.Path);
  }
  const TTimedOutput &single = outputs[0], &threaded = outputs[1];
  ASSERT_EQ(single.Pictures.size(), size_t(Fixtures::H264Mp4.VideoFrames));
  ASSERT_EQ(threaded.Pictures.size(), single.Pictures.size());
  for (size_t i = 0; i < single.Pictures.size(); ++i) {
    const AVFrame* a = single.Pictures[i].get();
    EXPECT_GT(LumaPsnr(a, threaded.Pictures[i].get(), 0, a->height), 40.0) << "picture " << i;
  }
  const double frame = double(Fixtures::H264Mp4.FpsDen) / Fixtures::H264Mp4.FpsNum;
  EXPECT_NEAR(threaded.AudioStart - threaded.VideoStart, single.AudioStart - single.VideoStart,
              frame);
}

// ---- Pixel depth and colour

TEST_F(CodecOptions, DepthIsKeptWhereAskedForAndTheEncoderTakesIt) {
  const struct Case {
    const char* Codec;
    const char* Asked; // "pix_fmt" line, or none
    AVPixelFormat Written;
  } cases[] = {
      {"libx265", "pix_fmt=yuv420p10le\n", AV_PIX_FMT_YUV420P10LE},
      {"libx265", "", AV_PIX_FMT_YUV420P},
      {"libx264", "", AV_PIX_FMT_YUV420P}, // 10-bit H.264 plays almost nowhere
      {"libx264", "pix_fmt=yuv420p10le\n", AV_PIX_FMT_YUV420P10LE},
      {"mpeg4", "pix_fmt=yuv420p10le\n", AV_PIX_FMT_YUV420P}, // it cannot
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(std::string(c.Codec) + " " + c.Asked);
    const std::string preset = std::string(c.Codec).rfind("libx26", 0) == 0 ? "preset=ultrafast\n" : "";
    const TResult r = Convert(Fixtures::Deep709Mkv, std::string(c.Codec) + ".mkv",
                              std::string("vcodec=") + c.Codec + "\n" + preset + c.Asked);
    ExpectConverted(r);
    TInputContextPtr file = OpenForReading(r.Path);
    ASSERT_TRUE(file);
    const AVCodecParameters* video = Parameters(file.get(), AVMEDIA_TYPE_VIDEO);
    ASSERT_NE(video, nullptr);
    EXPECT_EQ(video->format, c.Written);
    // The colour description goes along.
    EXPECT_EQ(video->color_primaries, AVCOL_PRI_BT709);
    EXPECT_EQ(video->color_trc, AVCOL_TRC_BT709);
    EXPECT_EQ(video->color_space, AVCOL_SPC_BT709);
    EXPECT_EQ(video->color_range, AVCOL_RANGE_MPEG);
    EXPECT_EQ(DecodeFrames(r.Path).size(), size_t(Fixtures::DeepFrames));
  }
}

TEST_F(CodecOptions, PicturesAreConvertedWithTheSourcesMatrix) {
  // BT.709 red read with the BT.601 matrix comes out about 233, not 255.
  const TResult r =
      Convert(Fixtures::Deep709Mkv, "rgb.avi", "vcodec=rawvideo\npix_fmt=bgr24\n");
  ExpectConverted(r);
  const std::vector<TFramePtr> pictures = DecodeFrames(r.Path);
  ASSERT_FALSE(pictures.empty());
  const AVFrame* p = pictures.front().get();
  ASSERT_EQ(p->format, AV_PIX_FMT_BGR24);
  const uint8_t* pixel = p->data[0] + (p->height / 2) * p->linesize[0] + 3 * (p->width / 4);
  EXPECT_LE(pixel[0], 4);   // blue
  EXPECT_LE(pixel[1], 4);   // green
  EXPECT_GE(pixel[2], 250); // red
}

TEST_F(CodecOptions, ScaledPicturesKeepTheirDisplayShape) {
  // 352x288 with 4:3 pixels is 1.63:1 on screen; so must 320x240 be.
  const TResult r =
      Convert(Fixtures::Sar43Avi.Name, "scaled.mp4", "vcodec=libx264\npreset=ultrafast\ns=320x240\n");
  ExpectConverted(r);
  TInputContextPtr file = OpenForReading(r.Path);
  ASSERT_TRUE(file);
  const AVStream* stream = file->streams[0];
  const AVRational sar = stream->sample_aspect_ratio.num ? stream->sample_aspect_ratio
                                                         : stream->codecpar->sample_aspect_ratio;
  ASSERT_GT(sar.num, 0);
  const double source = 352.0 * 4 / (288.0 * 3);
  EXPECT_NEAR(double(sar.num) / sar.den * 320 / 240, source, source * 0.01);
}

} // namespace
} // namespace kestro::test
