// The decoder stage on its own, with an owner that keeps what each stream's
// stage hands on: no files, no engine. Two sound streams decoded turn about,
// as a run reads an interleaved file.
#include "Decoder.h"
#include "EngineTestSupport.h"

#include <gtest/gtest.h>

#include <cstring>
#include <map>
#include <vector>

using namespace kestro;
using namespace kestro::test;

namespace {

class TUnitKeeper : public TDecoderOwner {
public:
  struct TSound {
    const uint8_t* Data;           // where the stage had the samples
    std::vector<uint8_t> Bytes;    // what they were when handed on
    AVSampleFormat Format;
    int Rate, Channels;
  };
  int Volume() const override { return 256; }
  bool Tells() const override { return false; }
  void Tell(const std::string&) override {}
  void Copy(TInputStreamState&, int, const AVPacket*) override {}
  void Sound(TInputStreamState&, int index, const TAudioCarrier& carrier, const uint8_t* data,
             int size) override {
    Sounds[index].push_back({data, std::vector<uint8_t>(data, data + size), carrier.Format,
                             carrier.Rate, carrier.Layout.Layout.nb_channels});
  }
  void Picture(TInputStreamState&, int, AVFrame*) override {}
  void DrainPictures(TInputStreamState&, int) override {}
  void Subtitle(TInputStreamState&, int, const AVSubtitle*, int64_t,
                std::vector<uint8_t>&) override {}
  void End(TInputStreamState&, int index) override { ++Ends[index]; }
  std::map<int, std::vector<TSound>> Sounds;
  std::map<int, int> Ends;
};

// One decoded PCM stream: its decoder open, its stream header, its stage.
struct TSoundStream {
  TCodecContextPtr Codec;
  AVCodecParameters* Params = nullptr;
  AVStream Stream{};
  TInputStreamState In;
  std::unique_ptr<TDecoder> Stage;
  int Rate, Channels, SampleBytes;

  TSoundStream(TUnitKeeper& keeper, int index, AVCodecID id, int rate, int channels,
               int sampleBytes)
      : Rate(rate), Channels(channels), SampleBytes(sampleBytes) {
    const AVCodec* codec = avcodec::avcodec_find_decoder(id);
    Codec.reset(avcodec::avcodec_alloc_context3(codec));
    Codec->sample_rate = rate;
    avutil::av_channel_layout_default(&Codec->ch_layout, channels);
    EXPECT_GE(avcodec::avcodec_open2(Codec.get(), codec, nullptr), 0);
    Params = avcodec::avcodec_parameters_alloc();
    Params->codec_type = AVMEDIA_TYPE_AUDIO;
    Params->sample_rate = rate;
    Stream.codecpar = Params;
    Stream.time_base = AVRational{1, rate};
    In.Stream = &Stream;
    In.Decoder = Codec.get();
    In.MustDecode = 1;
    Stage = std::make_unique<TDecoder>(keeper, In, index);
    Stage->SetUp();
  }
  ~TSoundStream() { avcodec::avcodec_parameters_free(&Params); }

  // A packet of `samples` whose every byte says which packet it is.
  int Take(int n, int samples) {
    TPacketPtr packet(avcodec::av_packet_alloc());
    const int size = samples * Channels * SampleBytes;
    EXPECT_GE(avcodec::av_new_packet(packet.get(), size), 0);
    std::memset(packet->data, 1 + n % 250, size_t(size));
    packet->dts = packet->pts = int64_t(n) * samples;
    return Stage->Take(packet.get());
  }
};

} // namespace

// Each stream's stage decodes into storage of its own and carries its own
// format: what one stream handed on is still its own samples after the
// other stream decoded, and each unit says its stream's format. Storage
// shared by the stages would leave the first stream's unit holding the
// second one's samples.
TEST(DecoderStage, TwoSoundStreamsKeepTheirOwnSamplesAndFormat) {
  LoadLibrariesOrFail();
  TUnitKeeper keeper;
  TSoundStream mono(keeper, 0, AV_CODEC_ID_PCM_S16LE, 8000, 1, 2);
  TSoundStream stereo(keeper, 1, AV_CODEC_ID_PCM_F32LE, 16000, 2, 4);
  constexpr int Packets = 6;
  for (int n = 0; n < Packets; ++n) {
    ASSERT_EQ(mono.Take(n, 160), 0);
    ASSERT_EQ(stereo.Take(n + 100, 320), 0);
  }
  ASSERT_EQ(keeper.Sounds[0].size(), size_t(Packets));
  ASSERT_EQ(keeper.Sounds[1].size(), size_t(Packets));
  struct TCase {
    int Index, Offset;
    AVSampleFormat Format;
    int Rate, Channels;
    size_t Bytes;
  };
  for (const TCase& c : {TCase{0, 0, AV_SAMPLE_FMT_S16, 8000, 1, 320},
                         TCase{1, 100, AV_SAMPLE_FMT_FLT, 16000, 2, 2560}}) {
    SCOPED_TRACE(c.Index);
    const auto& sounds = keeper.Sounds[c.Index];
    const auto& last = sounds.back();
    EXPECT_EQ(last.Format, c.Format);
    EXPECT_EQ(last.Rate, c.Rate);
    EXPECT_EQ(last.Channels, c.Channels);
    for (int n = 0; n < Packets; ++n) {
      ASSERT_EQ(sounds[n].Bytes.size(), c.Bytes);
      EXPECT_EQ(sounds[n].Bytes, std::vector<uint8_t>(c.Bytes, uint8_t(1 + (n + c.Offset) % 250)))
          << "unit " << n;
    }
    // The stage's storage still holds its own last unit.
    EXPECT_EQ(std::memcmp(last.Data, last.Bytes.data(), last.Bytes.size()), 0);
  }
  EXPECT_EQ(mono.Stage->Carrier().Format, AV_SAMPLE_FMT_S16);
  EXPECT_EQ(stereo.Stage->Carrier().Format, AV_SAMPLE_FMT_FLT);
}

// A stream is drained once: a second flush hands nothing on and does not end
// its outputs again, and one stream's drain leaves the other's to come.
TEST(DecoderStage, AStreamIsDrainedOnceAndOnItsOwn) {
  LoadLibrariesOrFail();
  TUnitKeeper keeper;
  TSoundStream first(keeper, 0, AV_CODEC_ID_PCM_S16LE, 8000, 1, 2);
  TSoundStream second(keeper, 1, AV_CODEC_ID_PCM_S16LE, 8000, 2, 2);
  ASSERT_EQ(first.Take(0, 80), 0);
  ASSERT_EQ(second.Take(0, 80), 0);
  EXPECT_FALSE(first.Stage->Drained());
  ASSERT_EQ(first.Stage->Flush(), 0);
  ASSERT_EQ(first.Stage->Flush(), 0);
  EXPECT_TRUE(first.Stage->Drained());
  EXPECT_FALSE(second.Stage->Drained());
  EXPECT_EQ(keeper.Ends[0], 1);
  EXPECT_EQ(keeper.Ends[1], 0);
  ASSERT_EQ(second.Stage->Flush(), 0);
  ASSERT_EQ(second.Stage->Flush(), 0);
  EXPECT_EQ(keeper.Ends[1], 1);
  EXPECT_EQ(keeper.Sounds[0].size(), 1u);
  EXPECT_EQ(keeper.Sounds[1].size(), 1u);
}
