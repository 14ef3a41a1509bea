#include "OutputTestSupport.h"

#include <gtest/gtest.h>

#include <cmath>
#include <numbers>

using namespace kestro;
using namespace kestro::test;

namespace {

// Interleaved 16-bit samples: a ramp per channel that never hits 0, so
// inserted silence, dropped samples and moved channels all show.
std::vector<int16_t> Ramp(int samples, int channels) {
  std::vector<int16_t> chunk(size_t(samples) * channels);
  for (int i = 0; i < samples; ++i)
    for (int c = 0; c < channels; ++c)
      chunk[size_t(i) * channels + c] = int16_t(1 + i % 1000 + 1000 * c);
  return chunk;
}

// Stereo: a tone on the left, the same tone inverted at half level on the right.
std::vector<int16_t> StereoTone(int samples, int rate) {
  std::vector<int16_t> chunk(size_t(samples) * 2);
  for (int i = 0; i < samples; ++i) {
    const auto left = int16_t(std::lround(8000 * std::sin(2 * std::numbers::pi * 440 * i / rate)));
    chunk[size_t(i) * 2] = left;
    chunk[size_t(i) * 2 + 1] = int16_t(-left / 2);
  }
  return chunk;
}

void Feed(TOutputBench& b, const std::vector<int16_t>& chunk) {
  b.E.EncodeAndWriteAudio(b.File(), *b.Out, *b.In, reinterpret_cast<const uint8_t*>(chunk.data()),
                          int(chunk.size() * 2));
}

// The input clock at `samples` samples of `rate`.
int64_t ClockAt(int64_t samples, int rate) {
  return std::llround(double(samples) * 1000000.0 / rate);
}

// Decoder and encoder agree on rate and channels (no resampling), with the
// given codec; runs as the options of an audio bench.
std::function<void(TCustomFFmpeg&)> AudioSettings(const char* codec, int channels, int rate,
                                                  int sampleFormat = -1, int syncMethod = 0) {
  return [=](TCustomFFmpeg& e) {
    e.Settings.AudioCodecName = AvText(codec);
    e.Settings.AudioChannels = channels;
    e.Settings.AudioSampleRate = rate;
    if (sampleFormat >= 0)
      e.Settings.AudioSampleFmt = sampleFormat;
    e.Settings.AudioSyncMethod = syncMethod;
    AVCodecContext* dec = e.InputCodecs[0][0].get();
    dec->sample_rate = rate;
    avutil::av_channel_layout_uninit(&dec->ch_layout);
    avutil::av_channel_layout_default(&dec->ch_layout, channels);
  };
}

std::vector<int16_t> WavSamples(const std::string& path) {
  std::vector<int16_t> samples;
  for (const TReadPacket& p : ReadPackets(path)) {
    const size_t at = samples.size();
    samples.resize(at + p.Data.size() / 2);
    std::memcpy(samples.data() + at, p.Data.data(), p.Data.size() / 2 * 2);
  }
  return samples;
}

double Rms(const std::vector<double>& v) {
  double sum = 0;
  for (double x : v)
    sum += x * x;
  return v.empty() ? 0 : std::sqrt(sum / double(v.size()));
}

} // namespace

// Dropping and inserting samples against the input clock, and following
// the clock without sync. 25000 Hz makes every sample exactly 40 µs.
TEST(AudioOutput, SyncAgainstTheInputClock) {
  constexpr int Rate = 25000;
  constexpr int64_t Start = 25000; // output samples before the chunk
  struct Case {
    const char* Name;
    int Method;
    int AtStart;
    int Delta; // output samples the output lags behind the input clock
    int Chunk;
    int Channels;
    int Written; // samples per channel handed to the encoder
    int Silence; // of which inserted in front
    int Dropped; // chunk samples dropped from its start
    int AtStartAfter;
    const char* Line;
  } cases[] = {
      {"within 50 samples", 1, 1, 30, 1000, 1, 1000, 0, 0, 1, nullptr},
      {"behind at start", 1, 1, 200, 1000, 1, 1200, 200, 0, 0,
       "adding 200 audio samples of silence"},
      {"ahead at start", 1, 1, -200, 1000, 1, 800, 0, 200, 0, "discarding 200 audio samples"},
      {"behind within the threshold", 1, 0, 1000, 1000, 1, 1000, 0, 0, 0, nullptr},
      {"behind beyond the threshold", 1, 0, 3000, 1000, 1, 4000, 3000, 0, 0,
       "adding 3000 audio samples of silence"},
      {"ahead by more than the chunk", 1, 1, -5000, 1000, 1, 0, 0, 1000, 1,
       "discarding 5000 audio samples"},
      {"silence capped at 131072 bytes", 1, 1, 10000, 60000, 1, 65536, 5536, 0, 1,
       "adding 10000 audio samples of silence"},
      // 131072 is no whole number of 12-byte samples: the cap rounds down.
      {"capped silence keeps six channels in place", 1, 1, 2000, 10000, 6, 10922, 922, 0, 1,
       "adding 2000 audio samples of silence"},
      {"no sync follows the clock", 0, 1, 300, 1000, 1, 1000, 0, 0, 1, nullptr},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.Name);
    TOutputBench b;
    ASSERT_NO_FATAL_FAILURE(b.Open(Fixtures::ToneWav, AVMEDIA_TYPE_AUDIO, "sync.wav",
                                   AudioSettings("pcm_s16le", c.Channels, Rate, -1, c.Method)));
    b.E.Settings.Verbose = 3;
    b.In->AtStart = c.AtStart;
    b.Out->SyncPts = Start;
    b.In->Pts = ClockAt(Start + c.Delta, Rate);
    const std::vector<int16_t> chunk = Ramp(c.Chunk, c.Channels);
    Feed(b, chunk);

    EXPECT_EQ(b.In->AtStart, c.AtStartAfter);
    EXPECT_EQ(b.Out->SyncPts, Start + (c.Method == 0 ? c.Delta : 0) + c.Written);
    if (c.Line)
      EXPECT_TRUE(b.Log.Logged(c.Line)) << c.Line;
    else
      EXPECT_FALSE(b.Log.Logged("audio samples"));
    ASSERT_NO_FATAL_FAILURE(b.Finish());

    const std::vector<int16_t> written = WavSamples(b.Path);
    ASSERT_EQ(written.size(), size_t(c.Written) * c.Channels);
    const size_t silence = size_t(c.Silence) * c.Channels;
    for (size_t i = 0; i < written.size(); ++i) {
      const int16_t expected =
          i < silence ? 0 : chunk[i - silence + size_t(c.Dropped) * c.Channels];
      ASSERT_EQ(written[i], expected) << "sample " << i;
    }
  }
}

TEST(AudioOutput, DriftIsCompensatedThroughTheResampler) {
  constexpr int Rate = 25000;
  struct Case {
    int Delta;
    const char* Line;
    int Extra; // samples the output gains over one second
  } cases[] = {
      {400, "compensating audio timestamp drift:400.00 compensation:100 in:25000", 100},
      {-400, "compensating audio timestamp drift:-400.00 compensation:-100 in:25000", -100},
      {-30, nullptr, 0},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.Delta);
    TOutputBench b;
    ASSERT_NO_FATAL_FAILURE(b.Open(Fixtures::ToneWav, AVMEDIA_TYPE_AUDIO, "drift.wav",
                                   AudioSettings("pcm_s16le", 1, Rate, -1, 100)));
    ASSERT_TRUE(b.Out->Audio->Resamples()); // set-up's rule for "async" above 1
    b.E.Settings.Verbose = 3;
    b.In->AtStart = 0;
    b.Out->SyncPts = Rate;
    b.In->Pts = ClockAt(Rate + c.Delta, Rate);
    Feed(b, Ramp(Rate, 1));
    b.E.FlushAudioFifo(b.File(), *b.Out);
    if (c.Line)
      EXPECT_TRUE(b.Log.Logged(c.Line)) << c.Line;
    else
      EXPECT_FALSE(b.Log.Logged("compensating"));
    ASSERT_NO_FATAL_FAILURE(b.Finish());
    EXPECT_NEAR(double(WavSamples(b.Path).size()), Rate + c.Extra, 2);
  }
}

TEST(AudioOutput, MonoToStereoSwitchesResamplingOn) {
  TOutputBench b;
  ASSERT_NO_FATAL_FAILURE(b.Open(Fixtures::ToneWav, AVMEDIA_TYPE_AUDIO, "stereo.wav",
                                 [](TCustomFFmpeg& e) { e.Settings.AudioChannels = 2; }));
  ASSERT_FALSE(b.Out->Audio->Resamples()); // same rate, no sync: set-up leaves it off
  const std::vector<int16_t> chunk = Ramp(1000, 1);
  Feed(b, chunk);
  EXPECT_TRUE(b.Out->Audio->Resamples());
  b.E.FlushAudioFifo(b.File(), *b.Out);
  ASSERT_NO_FATAL_FAILURE(b.Finish());
  const std::vector<int16_t> written = WavSamples(b.Path);
  ASSERT_EQ(written.size(), 2000u);
  for (size_t i = 0; i < 1000; ++i) {
    ASSERT_EQ(written[2 * i], written[2 * i + 1]) << i;
    ASSERT_GT(written[2 * i], 0) << i;
    ASSERT_LE(written[2 * i], chunk[i]) << i;
  }
}

// Framed encoders collect samples in the FIFO (in their packed sample
// format) and get whole frames; the end of input encodes the rest as a short
// frame when the encoder takes one. Sample-per-packet encoders get each
// chunk as it comes. Chunks follow the input clock ("async" 0).
TEST(AudioOutput, SamplesReachTheEncoderInItsFramesAndFormat) {
  struct Case {
    const char* Codec;
    const char* File;
    int Channels;
    int Rate;
    int SampleFormat; // -1: the encoder's first
    int ForcedFrame;  // frame size imposed after opening, 0 = the encoder's own
    std::vector<int> Chunks;
    size_t FifoBytes; // left after the chunks
    int64_t SyncPts;  // after the chunks
    size_t FifoBytesAtEnd;
    int64_t SyncPtsAtEnd;
    std::vector<int> PacketSizes; // checked when given
    bool Lossless;
  } cases[] = {
      // 1024 stereo 16-bit samples: one packet per 4096 FIFO bytes.
      {"pcm_s16le",
       "framed.nut",
       2,
       44100,
       -1,
       1024,
       {1500, 1500},
       3808,
       2048,
       0,
       3000,
       {4096, 4096, 3808},
       true},
      // Each chunk at once, converted to float.
      {"pcm_f32le",
       "float.nut",
       1,
       22050,
       -1,
       0,
       {1000, 500},
       0,
       1500,
       0,
       1500,
       {4000, 2000},
       true},
      // Planar 16-bit: the planes are split from the FIFO's packed samples.
      {"alac",
       "planar.m4a",
       2,
       44100,
       AV_SAMPLE_FMT_S16P,
       0,
       {1500, 3000},
       1616,
       4096,
       0,
       4500,
       {},
       true},
      // Planar float: 8 FIFO bytes per stereo sample.
      {"aac", "float.m4a", 2, 44100, -1, 0, {1500, 1500}, 7616, 2048, 0, 3000, {}, false},
      // No short last frame: the rest stays unencoded.
      {"mp2", "framed.mp2", 2, 44100, -1, 0, {1500, 1500}, 2784, 2304, 2784, 2304, {}, false},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.Codec);
    TOutputBench b;
    ASSERT_NO_FATAL_FAILURE(b.Open(Fixtures::ToneWav, AVMEDIA_TYPE_AUDIO, c.File,
                                   AudioSettings(c.Codec, c.Channels, c.Rate, c.SampleFormat)));
    if (c.ForcedFrame)
      b.Enc()->frame_size = c.ForcedFrame;
    std::vector<int16_t> all;
    int64_t fed = 0;
    for (int samples : c.Chunks) {
      const std::vector<int16_t> chunk =
          c.Channels == 2 ? StereoTone(samples, c.Rate) : Ramp(samples, c.Channels);
      b.In->Pts = ClockAt(fed, c.Rate);
      Feed(b, chunk);
      fed += samples;
      all.insert(all.end(), chunk.begin(), chunk.end());
    }
    EXPECT_EQ(b.Out->Audio->QueuedBytes(), c.FifoBytes);
    EXPECT_EQ(b.Out->SyncPts, c.SyncPts);
    b.E.FlushAudioFifo(b.File(), *b.Out);
    EXPECT_EQ(b.Out->Audio->QueuedBytes(), c.FifoBytesAtEnd);
    EXPECT_EQ(b.Out->SyncPts, c.SyncPtsAtEnd);
    EXPECT_GT(b.E.RunState.AudioBytesWritten, 0);
    ASSERT_NO_FATAL_FAILURE(b.Finish());

    if (!c.PacketSizes.empty()) {
      std::vector<int> sizes;
      for (const TReadPacket& p : ReadPackets(b.Path))
        sizes.push_back(int(p.Data.size()));
      EXPECT_EQ(sizes, c.PacketSizes);
    }
    const std::vector<std::vector<double>> decoded = DecodeChannels(b.Path);
    ASSERT_EQ(decoded.size(), size_t(c.Channels));
    if (c.Lossless) {
      ASSERT_EQ(decoded[0].size(), size_t(c.SyncPtsAtEnd));
      for (size_t i = 0; i < decoded[0].size(); ++i)
        for (int ch = 0; ch < c.Channels; ++ch)
          ASSERT_EQ(decoded[size_t(ch)][i], all[i * c.Channels + ch] / 32768.0)
              << "sample " << i << " channel " << ch;
    } else {
      // The right channel is the left one inverted at half level.
      const double ratio = Rms(decoded[1]) / Rms(decoded[0]);
      EXPECT_NEAR(ratio, 0.5, 0.1);
      double product = 0;
      for (size_t i = 0; i < decoded[0].size(); ++i)
        product += decoded[0][i] * decoded[1][i];
      EXPECT_LT(product, 0);
    }
  }
}

TEST(AudioOutput, ResamplingToTheEncoderRateKeepsTheDuration) {
  TOutputBench b;
  ASSERT_NO_FATAL_FAILURE(b.Open(Fixtures::ToneWav, AVMEDIA_TYPE_AUDIO, "8k.wav",
                                 [](TCustomFFmpeg& e) { e.Settings.AudioSampleRate = 8000; }));
  ASSERT_TRUE(b.Out->Audio->Resamples());
  const int rate = b.In->Decoder->sample_rate;
  for (int second = 0; second < 2; ++second) {
    b.In->Pts = int64_t(second) * 1000000;
    Feed(b, Ramp(rate, 1));
  }
  // What the resampler's filter still held comes out at the end.
  b.E.FlushAudioFifo(b.File(), *b.Out);
  ASSERT_NO_FATAL_FAILURE(b.Finish());
  EXPECT_NEAR(double(WavSamples(b.Path).size()), 16000, 1);
}

TEST(AudioOutput, Failures) {
  struct Case {
    const char* Name;
    std::function<void(TOutputBench&)> Break;
    const char* Message;
  } cases[] = {
      {"resampler cannot be made", [](TOutputBench& b) { b.In->Decoder->sample_rate = 0; },
       "Can not resample 1 channels @ 0 Hz to 1 channels @ 22050 Hz"},
      {"encoder refuses the frame", [](TOutputBench& b) { b.UseUnopenedEncoder(); },
       "Audio encoding failed"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.Name);
    TOutputBench b;
    ASSERT_NO_FATAL_FAILURE(b.Open(Fixtures::ToneWav, AVMEDIA_TYPE_AUDIO, "fail.wav"));
    ASSERT_NO_FATAL_FAILURE(c.Break(b));
    try {
      Feed(b, Ramp(1000, 1));
      ADD_FAILURE() << "no exception";
    } catch (const FFMpegException& e) {
      EXPECT_STREQ(e.what(), c.Message);
    }
  }
}
