// The audio output stage on its own, with an owner that keeps what reaches
// the encoder instead of encoding it: no files, no engine.
#include "AudioOutput.h"
#include "EngineTestSupport.h"

#include <gtest/gtest.h>

#include <chrono>
#include <cstring>
#include <future>
#include <latch>
#include <string>
#include <vector>

using namespace kestro;
using namespace kestro::test;

namespace {

class TFrameKeeper : public TAudioOutputOwner {
public:
  int SyncMethod() const override { return 0; }
  float DriftThreshold() const override { return 0.1f; }
  int64_t ClockStart() const override { return 0; }
  bool Tells() const override { return false; }
  void Tell(const std::string&) override {}
  void Encode(TOutputStreamState&, AVFrame* frame) override {
    if (!frame)
      return;
    const auto* first = reinterpret_cast<const int16_t*>(frame->data[0]);
    Samples.insert(Samples.end(), first,
                   first + size_t(frame->nb_samples) * frame->ch_layout.nb_channels);
    FrameSizes.push_back(frame->nb_samples);
  }
  std::vector<int16_t> Samples; // interleaved, as the encoder got them
  std::vector<int> FrameSizes;
};

// A codec context that only describes packed 16-bit audio: the stage reads
// no more of a decoder or an encoder.
TCodecContextPtr Describe(int rate, int channels, int frameSize = 0) {
  TCodecContextPtr context(avcodec::avcodec_alloc_context3(nullptr));
  context->sample_fmt = AV_SAMPLE_FMT_S16;
  context->sample_rate = rate;
  avutil::av_channel_layout_default(&context->ch_layout, channels);
  context->frame_size = frameSize;
  context->time_base = AVRational{1, rate};
  return context;
}

// One stream from a 16-bit source to a framed 16-bit encoder, fed chunks of
// a ramp that differs per chunk and per channel.
struct TStageRun {
  TFrameKeeper Keeper;
  TCodecContextPtr Decoder, Encoder;
  TInputStreamState In;
  TOutputStreamState Out;
  std::unique_ptr<TAudioOutput> Stage;
  int InChannels;

  TStageRun(int inRate, int inChannels, int outRate, int outChannels, int frameSize)
      : Decoder(Describe(inRate, inChannels)), Encoder(Describe(outRate, outChannels, frameSize)),
        InChannels(inChannels) {
    In.Decoder = Decoder.get();
    Out.Encoder = Encoder.get();
    Out.SyncInput = &In;
    Stage = std::make_unique<TAudioOutput>(Keeper, Out);
    Stage->SetUp(inRate);
  }

  void Feed(int chunks, int chunkSamples) {
    std::vector<int16_t> chunk(size_t(chunkSamples) * InChannels);
    for (int n = 0; n < chunks; ++n) {
      for (size_t i = 0; i < chunk.size(); ++i)
        chunk[i] = int16_t((n * 37 + int(i) * 11) % 20000 - 10000);
      Stage->Take(In, reinterpret_cast<const uint8_t*>(chunk.data()), int(chunk.size() * 2));
    }
    Stage->Flush();
  }
};

} // namespace

// Each stream's stage works in buffers of its own: two audio streams taken
// at the same time give each exactly what it gives alone. A working buffer
// shared between them would hand one stream's samples to the other's
// encoder, or read them after the other had grown it.
TEST(AudioStage, StreamsTakenAtTheSameTimeKeepTheirOwnSamples) {
  LoadLibrariesOrFail();
  constexpr int Chunks = 300;
  // Both resampled (work, queue and frame buffers), at other rates, layouts
  // and frame sizes.
  const auto first = [] { return std::make_unique<TStageRun>(44100, 1, 48000, 2, 1024); };
  const auto second = [] { return std::make_unique<TStageRun>(22050, 2, 32000, 2, 1152); };

  auto aloneA = first(), aloneB = second();
  aloneA->Feed(Chunks, 1000);
  aloneB->Feed(Chunks, 777);
  ASSERT_FALSE(aloneA->Keeper.Samples.empty());
  ASSERT_FALSE(aloneB->Keeper.FrameSizes.empty());
  for (int size : aloneB->Keeper.FrameSizes)
    ASSERT_EQ(size, 1152); // whole frames only: this encoder takes no short one

  // Several rounds, each starting both at once, since threads that happen
  // to run one after the other would share nothing.
  for (int round = 0; round < 8; ++round) {
    SCOPED_TRACE(round);
    auto a = first(), b = second();
    std::latch start(2);
    auto doneA = std::async(std::launch::async, [&] {
      start.arrive_and_wait();
      a->Feed(Chunks, 1000);
    });
    auto doneB = std::async(std::launch::async, [&] {
      start.arrive_and_wait();
      b->Feed(Chunks, 777);
    });
    ASSERT_EQ(doneA.wait_for(std::chrono::seconds(60)), std::future_status::ready);
    ASSERT_EQ(doneB.wait_for(std::chrono::seconds(60)), std::future_status::ready);
    doneA.get();
    doneB.get();
    ASSERT_EQ(a->Keeper.FrameSizes, aloneA->Keeper.FrameSizes);
    ASSERT_TRUE(a->Keeper.Samples == aloneA->Keeper.Samples);
    ASSERT_EQ(b->Keeper.FrameSizes, aloneB->Keeper.FrameSizes);
    ASSERT_TRUE(b->Keeper.Samples == aloneB->Keeper.Samples);
  }
}
