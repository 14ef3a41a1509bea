// Audio in the formats today's encoders take: the rate, channel layout and
// sample format each encoder is given, and whole conversions that must keep
// the source's tones, channels and sample depth.
#include "ConversionTestSupport.h"
#include "MediaReadBack.h"
#include "OutputTestSupport.h"

#include <gtest/gtest.h>

#include <cmath>
#include <cstring>
#include <numbers>

using namespace kestro;
using namespace kestro::test;

namespace {

// Sign changes per second / 2 of `samples` between the two times.
double ZeroCrossingHz(const std::vector<double>& samples, int rate, double from, double to) {
  int changes = 0;
  const size_t first = size_t(from * rate), last = std::min(samples.size(), size_t(to * rate));
  for (size_t i = first + 1; i < last; ++i)
    changes += (samples[i - 1] < 0) != (samples[i] < 0);
  return changes / 2.0 / (to - from);
}

// Amplitude of the `hz` component of `samples` (Goertzel), leaving out the
// first and last tenth of a second.
double ToneLevel(const std::vector<double>& samples, int rate, double hz) {
  const size_t skip = size_t(rate / 10);
  if (samples.size() <= 2 * skip)
    return 0;
  const size_t count = samples.size() - 2 * skip;
  const double w = 2.0 * std::numbers::pi * hz / rate, coefficient = 2.0 * std::cos(w);
  double s1 = 0, s2 = 0;
  for (size_t i = skip; i < skip + count; ++i) {
    const double s0 = samples[i] + coefficient * s1 - s2;
    s2 = s1;
    s1 = s0;
  }
  const double power = s1 * s1 + s2 * s2 - coefficient * s1 * s2;
  return 2.0 * std::sqrt(std::max(power, 0.0)) / double(count);
}

// Every sample of the file's first stream as decoded, in its own format's
// bytes, with that format.
struct TDecodedBytes {
  AVSampleFormat Format = AV_SAMPLE_FMT_NONE;
  int Channels = 0;
  int BitsPerRawSample = 0;
  std::vector<uint8_t> Bytes; // interleaved
};

TDecodedBytes DecodeBytes(const std::string& path) {
  TDecodedBytes decoded;
  if (TInputContextPtr file = OpenForReading(path))
    decoded.BitsPerRawSample = file->streams[0]->codecpar->bits_per_raw_sample;
  for (const TFramePtr& frame : DecodeFrames(path)) {
    decoded.Format = AVSampleFormat(frame->format);
    decoded.Channels = frame->ch_layout.nb_channels;
    const int bytes = avutil::av_get_bytes_per_sample(decoded.Format);
    for (int i = 0; i < frame->nb_samples; ++i)
      for (int c = 0; c < decoded.Channels; ++c) {
        const uint8_t* p = avutil::av_sample_fmt_is_planar(decoded.Format)
                               ? frame->extended_data[c] + size_t(i) * bytes
                               : frame->data[0] + (size_t(i) * decoded.Channels + c) * bytes;
        decoded.Bytes.insert(decoded.Bytes.end(), p, p + bytes);
      }
  }
  return decoded;
}

template <typename T> std::vector<T> As(const TDecodedBytes& d) {
  std::vector<T> values(d.Bytes.size() / sizeof(T));
  std::memcpy(values.data(), d.Bytes.data(), values.size() * sizeof(T));
  return values;
}

std::string LayoutName(const std::string& path) {
  TInputContextPtr file = OpenForReading(path);
  if (!file)
    return "";
  char name[128] = {};
  avutil::av_channel_layout_describe(&file->streams[0]->codecpar->ch_layout, name, sizeof name);
  return name;
}

class AudioFormat : public ConversionTest {};

} // namespace

// What each encoder is set up with for a source and the options asked: the
// rate nearest to the one asked, a layout it takes (a downmix where it takes
// fewer channels), and the sample format that loses the least.
TEST_F(AudioFormat, EncoderGetsTheNearestRateLayoutAndFormatItTakes) {
  struct Case {
    const char* Source;
    const char* Options;
    int Rate, Channels;
    AVSampleFormat Format;
  } cases[] = {
      {Fixtures::ToneFlac.Name, "acodec=libopus", 48000, 2, AV_SAMPLE_FMT_S16},
      {Fixtures::ToneFlac.Name, "acodec=libopus\nar=22050", 24000, 2, AV_SAMPLE_FMT_S16},
      {Fixtures::ToneFlac.Name, "acodec=libopus\nar=48000", 48000, 2, AV_SAMPLE_FMT_S16},
      {Fixtures::ToneFlac.Name, "acodec=libmp3lame", 44100, 2, AV_SAMPLE_FMT_S16P},
      {Fixtures::ToneFlac.Name, "acodec=libamr_nb", 8000, 1, AV_SAMPLE_FMT_S16},
      {Fixtures::Surround51Flac, "acodec=libmp3lame", 48000, 2, AV_SAMPLE_FMT_S16P},
      {Fixtures::Surround51Flac, "acodec=aac", 48000, 6, AV_SAMPLE_FMT_FLTP},
      {Fixtures::Surround51Flac, "acodec=flac\nac=4", 48000, 4, AV_SAMPLE_FMT_S16},
      {Fixtures::Deep24Flac, "acodec=flac", 48000, 2, AV_SAMPLE_FMT_S32},
      {Fixtures::Deep24Flac, "acodec=libopus", 48000, 2, AV_SAMPLE_FMT_FLT},
      {Fixtures::Deep24Flac, "acodec=libmp3lame", 48000, 2, AV_SAMPLE_FMT_S32P},
      {Fixtures::Deep24Flac, "acodec=pcm_s16le", 48000, 2, AV_SAMPLE_FMT_S16},
      {Fixtures::FloatPeaksWav, "acodec=flac", 44100, 1, AV_SAMPLE_FMT_S32},
      {Fixtures::FloatPeaksWav, "acodec=aac", 44100, 1, AV_SAMPLE_FMT_FLTP},
      // A format asked for wins where the encoder takes it.
      {Fixtures::ToneFlac.Name, "acodec=flac\nsample_fmt=s32", 44100, 2, AV_SAMPLE_FMT_S32},
      {Fixtures::FloatPeaksWav, "acodec=pcm_s16le\nsample_fmt=s32", 44100, 1, AV_SAMPLE_FMT_S16},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(std::string(c.Source) + ": " + c.Options);
    TCustomFFmpeg e;
    e.Reset();
    e.Settings.Verbose = -1;
    ASSERT_TRUE(e.OpenInputFile(Fixtures::MediaPath(c.Source))) << e.LastError;
    e.ParseOptionLines(c.Options);
    ASSERT_TRUE(e.OpenOutputFile(Folder + "/negotiated.mka")) << e.LastError;
    const AVCodecContext* enc = e.OutputCodecs[0][0].get();
    ASSERT_TRUE(enc);
    EXPECT_EQ(enc->sample_rate, c.Rate);
    EXPECT_EQ(enc->time_base.num, 1);
    EXPECT_EQ(enc->time_base.den, c.Rate);
    EXPECT_EQ(enc->ch_layout.nb_channels, c.Channels);
    EXPECT_STREQ(avutil::av_get_sample_fmt_name(enc->sample_fmt),
                 avutil::av_get_sample_fmt_name(c.Format));
    e.ReleaseResources();
  }
}

// 44.1 kHz into an encoder that only runs at 48 kHz and below.
TEST_F(AudioFormat, A44kSourceBecomes48kOpusOfTheSameLengthAndTone) {
  for (const char* name : {"tone.opus", "tone.mkv"}) {
    SCOPED_TRACE(name);
    const TResult run = Convert(Fixtures::ToneFlac.Name, name, "acodec=libopus");
    ASSERT_TRUE(run.Finished) << run.Message;
    const TFileSummary summary = ReadBack(run.Path);
    ASSERT_EQ(summary.Streams.size(), 1u);
    EXPECT_EQ(summary.Streams[0].Codec, "opus");
    EXPECT_EQ(summary.Streams[0].SampleRate, 48000);
    const auto channels = DecodeChannels(run.Path);
    ASSERT_EQ(channels.size(), 2u);
    // Within two 20 ms frames of the source.
    EXPECT_NEAR(double(channels[0].size()) / 48000, Fixtures::ToneFlac.DurationSec, 0.04);
    for (const auto& channel : channels)
      EXPECT_NEAR(ZeroCrossingHz(channel, 48000, 0.2, Fixtures::ToneFlac.DurationSec - 0.2),
                  Fixtures::ToneFlac.Audio[0].ToneHz, 3);
  }
}

// Each output channel carries the tone of the source channel in its place;
// an encoder of at most two channels gets a downmix with the left tones on
// the left and the right ones on the right.
TEST_F(AudioFormat, SurroundKeepsItsSixChannelsOrIsDownmixedToStereo) {
  const auto& hz = Fixtures::SurroundHz;
  {
    const TResult run = Convert(Fixtures::Surround51Flac, "surround.m4a", "acodec=aac\nab=384000");
    ASSERT_TRUE(run.Finished) << run.Message;
    EXPECT_EQ(LayoutName(run.Path).substr(0, 3), "5.1");
    const auto channels = DecodeChannels(run.Path);
    ASSERT_EQ(channels.size(), 6u);
    for (size_t c = 0; c < 6; ++c) {
      SCOPED_TRACE(c);
      const double own = ToneLevel(channels[c], Fixtures::SurroundRate, hz[c]);
      EXPECT_NEAR(own, 0.3, 0.06);
      for (size_t other = 0; other < 6; ++other) {
        if (other == c)
          continue;
        EXPECT_LT(ToneLevel(channels[c], Fixtures::SurroundRate, hz[other]), own / 10)
            << "tone of channel " << other;
      }
    }
  }
  {
    const TResult run = Convert(Fixtures::Surround51Flac, "surround.mp3", "acodec=libmp3lame");
    ASSERT_TRUE(run.Finished) << run.Message;
    EXPECT_EQ(LayoutName(run.Path), "stereo");
    const auto channels = DecodeChannels(run.Path);
    ASSERT_EQ(channels.size(), 2u);
    // Front left, front right, centre, side left, side right.
    const auto level = [&](int side, int source) {
      return ToneLevel(channels[size_t(side)], Fixtures::SurroundRate, hz[source]);
    };
    for (int side = 0; side < 2; ++side) {
      SCOPED_TRACE(side ? "right" : "left");
      EXPECT_GT(level(side, side), 0.05);
      EXPECT_GT(level(side, 4 + side), 0.05);
      EXPECT_GT(level(side, 2), 0.05);
      EXPECT_LT(level(side, 1 - side), 0.01);
      EXPECT_LT(level(side, 5 - side), 0.01);
    }
  }
}

// 24-bit samples reach a 24-bit capable encoder untouched.
TEST_F(AudioFormat, A24BitFlacStaysBitExact) {
  const TResult run = Convert(Fixtures::Deep24Flac, "deep.flac", "acodec=flac");
  ASSERT_TRUE(run.Finished) << run.Message;
  const TDecodedBytes source = DecodeBytes(Fixtures::MediaPath(Fixtures::Deep24Flac));
  const TDecodedBytes output = DecodeBytes(run.Path);
  ASSERT_EQ(source.Format, AV_SAMPLE_FMT_S32);
  ASSERT_EQ(output.Format, AV_SAMPLE_FMT_S32);
  EXPECT_EQ(output.BitsPerRawSample, 24);
  ASSERT_EQ(output.Channels, 2);
  const std::vector<int32_t> from = As<int32_t>(source), to = As<int32_t>(output);
  ASSERT_EQ(to.size(), from.size());
  ASSERT_EQ(from.size(), size_t(Fixtures::DeepRate * Fixtures::DeepSec) * 2);
  for (size_t i = 0; i < from.size(); ++i)
    ASSERT_EQ(to[i], from[i]) << "sample " << i;
}

// Volume works on the samples in their own precision: float samples
// beyond full scale are halved, not clipped first, and 24-bit samples keep
// their low bits.
TEST_F(AudioFormat, VolumeScalesInTheSourcePrecision) {
  {
    const TResult run = Convert(Fixtures::FloatPeaksWav, "half.wav", "acodec=pcm_f32le\nvol=128");
    ASSERT_TRUE(run.Finished) << run.Message;
    const TDecodedBytes source = DecodeBytes(Fixtures::MediaPath(Fixtures::FloatPeaksWav));
    const TDecodedBytes output = DecodeBytes(run.Path);
    ASSERT_EQ(output.Format, AV_SAMPLE_FMT_FLT);
    const std::vector<float> from = As<float>(source), to = As<float>(output);
    ASSERT_EQ(to.size(), from.size());
    float peak = 0;
    for (size_t i = 0; i < from.size(); ++i) {
      ASSERT_EQ(to[i], from[i] * 0.5f) << "sample " << i;
      peak = std::max(peak, std::fabs(to[i]));
    }
    EXPECT_NEAR(peak, Fixtures::FloatPeak / 2, 0.01);
  }
  {
    const TResult run = Convert(Fixtures::Deep24Flac, "half.flac", "acodec=flac\nvol=128");
    ASSERT_TRUE(run.Finished) << run.Message;
    const std::vector<int32_t> from =
        As<int32_t>(DecodeBytes(Fixtures::MediaPath(Fixtures::Deep24Flac)));
    const std::vector<int32_t> to = As<int32_t>(DecodeBytes(run.Path));
    ASSERT_EQ(to.size(), from.size());
    for (size_t i = 0; i < from.size(); ++i) {
      // Half of a 24-bit value, to within its last bit.
      const int64_t expected = int64_t(from[i]) / 2;
      ASSERT_LE(std::llabs(int64_t(to[i]) - expected), 256) << "sample " << i;
    }
  }
}

// Decoded audio whose sample format changes mid-stream: what the converter
// holds of the audio before the change comes out first, and every sample
// of each part reaches the encoder at its own precision.
TEST(AudioCarrier, AFormatChangeMidStreamLosesNoSample) {
  constexpr int Rate = 22050, Samples = 1000;
  TOutputBench b;
  ASSERT_NO_FATAL_FAILURE(
      b.Open(Fixtures::ToneWav, AVMEDIA_TYPE_AUDIO, "change.wav", [](TCustomFFmpeg& e) {
        e.Settings.AudioCodecName = AvText("pcm_f32le");
        e.Settings.AudioChannels = 1;
        e.Settings.AudioSampleRate = Rate;
      }));
  std::vector<int16_t> s16(Samples);
  std::vector<float> flt(Samples);
  std::vector<int32_t> s32(Samples);
  std::vector<float> expected;
  for (int i = 0; i < Samples; ++i) {
    s16[size_t(i)] = int16_t(1 + i * 31);
    flt[size_t(i)] = 1.25f - float(i) / 400.0f; // beyond full scale at the start
    s32[size_t(i)] = -(1 + i * 31) * 65536;
  }
  for (int16_t v : s16)
    expected.push_back(float(v) / 32768.0f);
  expected.insert(expected.end(), flt.begin(), flt.end());
  for (int32_t v : s32)
    expected.push_back(float(v) / 2147483648.0f);

  AVChannelLayout mono{};
  avutil::av_channel_layout_default(&mono, 1);
  int64_t fed = 0;
  TAudioCarrier carrier;
  const auto feed = [&](AVSampleFormat format, const void* data) {
    carrier.Format = format;
    carrier.Rate = Rate;
    ASSERT_TRUE(carrier.Layout.Assign(mono));
    b.In->Pts = std::llround(double(fed) * 1000000.0 / Rate);
    b.E.EncodeAndWriteAudio(b.File(), *b.Out, *b.In, static_cast<const uint8_t*>(data),
                            Samples * avutil::av_get_bytes_per_sample(format), &carrier);
    fed += Samples;
  };
  feed(AV_SAMPLE_FMT_S16, s16.data());
  feed(AV_SAMPLE_FMT_FLT, flt.data());
  feed(AV_SAMPLE_FMT_S32, s32.data());
  b.E.FlushAudioFifo(b.File(), *b.Out);
  ASSERT_NO_FATAL_FAILURE(b.Finish());

  std::vector<float> written;
  for (const TReadPacket& p : ReadPackets(b.Path)) {
    const size_t at = written.size();
    written.resize(at + p.Data.size() / sizeof(float));
    std::memcpy(written.data() + at, p.Data.data(), (written.size() - at) * sizeof(float));
  }
  ASSERT_EQ(written.size(), expected.size());
  for (size_t i = 0; i < written.size(); ++i)
    ASSERT_EQ(written[i], expected[i]) << "sample " << i;
}

// Keeping step with the input clock counts whole samples of the carrier
// format: silence put in front and samples dropped from the start are as
// many samples as the clock says, whatever their size.
TEST(AudioCarrier, SyncInsertsAndDropsWholeSamplesOfTheCarrier) {
  constexpr int Rate = 25000, Chunk = 1000, Channels = 2;
  struct Case {
    const char* Codec;
    AVSampleFormat Format;
    int Delta; // output samples the output lags behind the input clock
  } cases[] = {
      {"pcm_f32le", AV_SAMPLE_FMT_FLT, 200},
      {"pcm_s32le", AV_SAMPLE_FMT_S32, -300},
      {"pcm_f64le", AV_SAMPLE_FMT_DBL, 400},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.Codec);
    TOutputBench b;
    ASSERT_NO_FATAL_FAILURE(
        b.Open(Fixtures::ToneWav, AVMEDIA_TYPE_AUDIO, "sync.nut", [&](TCustomFFmpeg& e) {
          e.Settings.AudioCodecName = AvText(c.Codec);
          e.Settings.AudioChannels = Channels;
          e.Settings.AudioSampleRate = Rate;
          e.Settings.AudioSyncMethod = 1;
        }));
    ASSERT_EQ(b.Enc()->sample_fmt, c.Format);
    const int bytes = avutil::av_get_bytes_per_sample(c.Format);
    // Every sample of every channel its own non-zero bytes.
    std::vector<uint8_t> chunk(size_t(Chunk) * Channels * bytes);
    for (size_t i = 0; i < chunk.size(); ++i)
      chunk[i] = uint8_t(1 + i % 251);
    AVChannelLayout stereo{};
    avutil::av_channel_layout_default(&stereo, Channels);
    TAudioCarrier carrier;
    carrier.Format = c.Format;
    carrier.Rate = Rate;
    ASSERT_TRUE(carrier.Layout.Assign(stereo));
    b.In->AtStart = 1;
    b.Out->SyncPts = Rate;
    b.In->Pts = std::llround(double(Rate + c.Delta) * 1000000.0 / Rate);
    b.E.EncodeAndWriteAudio(b.File(), *b.Out, *b.In, chunk.data(), int(chunk.size()), &carrier);
    EXPECT_EQ(b.Out->SyncPts, Rate + Chunk + c.Delta);
    ASSERT_NO_FATAL_FAILURE(b.Finish());

    std::vector<uint8_t> written;
    for (const TReadPacket& p : ReadPackets(b.Path))
      written.insert(written.end(), p.Data.begin(), p.Data.end());
    const size_t frameBytes = size_t(Channels) * bytes;
    const size_t silence = c.Delta > 0 ? size_t(c.Delta) * frameBytes : 0;
    const size_t dropped = c.Delta < 0 ? size_t(-c.Delta) * frameBytes : 0;
    ASSERT_EQ(written.size(), silence + chunk.size() - dropped);
    for (size_t i = 0; i < written.size(); ++i)
      ASSERT_EQ(written[i], i < silence ? 0 : chunk[i - silence + dropped]) << "byte " << i;
  }
}
