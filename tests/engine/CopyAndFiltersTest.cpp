// Stream copies into containers with their own rules (MP4, 3GPP) and on
// uneven clocks, and bitstream filters that give more or fewer packets than
// they take: the output is read back packet by packet and decoded.
#include "EngineTestSupport.h"
#include "FixtureMedia.h"

#include <gtest/gtest.h>

#include <cmath>
#include <filesystem>
#include <functional>
#include <unistd.h>

using namespace kestro;
using namespace kestro::test;
namespace fs = std::filesystem;

namespace {

struct TPacketTrace {
  double Start = 0, Duration = 0; // seconds
  bool Key = false;
  int Size = 0;
};

// Every packet of one stream, and what decoding all of them gave.
struct TStreamTrace {
  std::vector<TPacketTrace> Packets;
  int DecodeErrors = 0;
  int Frames = 0; // pictures, or audio frames
};

// The packets of the first stream of `type` in `path`, each also decoded.
TStreamTrace Trace(const std::string& path, AVMediaType type) {
  TStreamTrace trace;
  AVFormatContext* raw = nullptr;
  if (avformat::avformat_open_input(&raw, path.c_str(), nullptr, nullptr) < 0) {
    ADD_FAILURE() << "cannot open " << path;
    return trace;
  }
  TInputContextPtr input(raw);
  EXPECT_GE(avformat::avformat_find_stream_info(input.get(), nullptr), 0);
  int index = -1;
  for (unsigned i = 0; i < input->nb_streams && index < 0; ++i)
    if (input->streams[i]->codecpar->codec_type == type)
      index = int(i);
  if (index < 0) {
    ADD_FAILURE() << "no stream of that type in " << path;
    return trace;
  }
  const AVStream* stream = input->streams[index];
  const AVCodec* codec = avcodec::avcodec_find_decoder(stream->codecpar->codec_id);
  TCodecContextPtr decoder(avcodec::avcodec_alloc_context3(codec));
  avcodec::avcodec_parameters_to_context(decoder.get(), stream->codecpar);
  decoder->pkt_timebase = stream->time_base;
  EXPECT_GE(avcodec::avcodec_open2(decoder.get(), codec, nullptr), 0) << path;
  TPacketPtr packet(avcodec::av_packet_alloc());
  TFramePtr frame(avutil::av_frame_alloc());
  const auto drain = [&] {
    int result;
    while ((result = avcodec::avcodec_receive_frame(decoder.get(), frame.get())) >= 0)
      ++trace.Frames;
    if (result != AVERROR(EAGAIN) && result != AVERROR_EOF)
      ++trace.DecodeErrors;
  };
  const double tb = av_q2d(stream->time_base);
  while (avformat::av_read_frame(input.get(), packet.get()) >= 0) {
    if (packet->stream_index == index) {
      const int64_t start = packet->pts != AV_NOPTS_VALUE ? packet->pts : packet->dts;
      trace.Packets.push_back({double(start) * tb, double(packet->duration) * tb,
                               (packet->flags & AV_PKT_FLAG_KEY) != 0, packet->size});
      if (avcodec::avcodec_send_packet(decoder.get(), packet.get()) < 0)
        ++trace.DecodeErrors;
      drain();
    }
    avcodec::av_packet_unref(packet.get());
  }
  avcodec::avcodec_send_packet(decoder.get(), nullptr);
  drain();
  return trace;
}

class CopyAndFilters : public ::testing::Test {
protected:
  void SetUp() override {
    LoadLibrariesOrFail();
    char pattern[] = "/tmp/kestro-copy-XXXXXX";
    Folder = mkdtemp(pattern);
  }
  void TearDown() override { fs::remove_all(Folder); }
  std::string Out(const std::string& name) const { return Folder + "/" + name; }

  // Opens `source`, applies `arrange`, writes `output` and runs to the end.
  void Convert(const std::string& source, const std::string& output,
               const std::function<void(TCustomFFmpeg&)>& arrange) {
    TCustomFFmpeg e;
    e.Reset();
    e.Settings.Verbose = -1;
    TRecorder recorder;
    recorder.Attach(e);
    ASSERT_TRUE(e.OpenInputFile(Fixtures::MediaPath(source.c_str()))) << e.LastError;
    arrange(e);
    ASSERT_TRUE(e.OpenOutputFile(output)) << e.LastError;
    e.Start(false);
    EXPECT_FALSE(e.ExceptionRaised) << e.ExceptionMessage;
    EXPECT_TRUE(e.Finished);
  }
  std::string Folder;
};

} // namespace

TEST_F(CopyAndFilters, CopiedVideoPlaysBackPacketForPacket) {
  struct Case {
    const char* Source;
    const char* Output;
    std::function<void(TCustomFFmpeg&)> Arrange;
  } cases[] = {
      // The 3GPP preset's picture size, which a copy does not have.
      {Fixtures::ClipAvi.Name, "clip.3gp",
       [](TCustomFFmpeg& e) {
         e.SetOption("s", "176x144");
         e.Settings.VideoStreamCopy = 1;
         e.Settings.AudioDisable = 1;
       }},
      {Fixtures::ClipAvi.Name, "clip.mp4",
       [](TCustomFFmpeg& e) {
         e.SetOption("s", "176x144");
         e.Settings.VideoStreamCopy = e.Settings.AudioStreamCopy = 1;
       }},
      // Frames 10 and 70 ms apart: on the mean frame rate's grid they collide.
      {Fixtures::VariableRateMp4, "variable.mp4",
       [](TCustomFFmpeg& e) { e.Settings.VideoStreamCopy = 1; }},
      {Fixtures::VariableRateMp4, "variable.3gp",
       [](TCustomFFmpeg& e) { e.Settings.VideoStreamCopy = 1; }},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.Output);
    Convert(c.Source, Out(c.Output), c.Arrange);
    const TStreamTrace in = Trace(Fixtures::MediaPath(c.Source), AVMEDIA_TYPE_VIDEO);
    const TStreamTrace out = Trace(Out(c.Output), AVMEDIA_TYPE_VIDEO);
    ASSERT_EQ(out.Packets.size(), in.Packets.size());
    for (size_t i = 0; i < in.Packets.size(); ++i) {
      SCOPED_TRACE("packet " + std::to_string(i));
      EXPECT_NEAR(out.Packets[i].Start, in.Packets[i].Start, 0.0015);
      EXPECT_NEAR(out.Packets[i].Duration, in.Packets[i].Duration, 0.0015);
      EXPECT_EQ(out.Packets[i].Key, in.Packets[i].Key);
      EXPECT_EQ(out.Packets[i].Size, in.Packets[i].Size);
    }
    EXPECT_EQ(out.DecodeErrors, 0);
    EXPECT_EQ(out.Frames, int(in.Packets.size()));
  }
  const TStreamTrace audio = Trace(Out("clip.mp4"), AVMEDIA_TYPE_AUDIO);
  EXPECT_EQ(audio.Packets.size(), Trace(Fixtures::MediaPath(Fixtures::ClipAvi.Name),
                                        AVMEDIA_TYPE_AUDIO).Packets.size());
  EXPECT_EQ(audio.DecodeErrors, 0);
}

// A filter may give several packets for one, or hold one back until the
// stream ends; every sample must still reach the file.
TEST_F(CopyAndFilters, BitstreamFiltersPassOnEveryPacketAndAreFlushed) {
  struct Case {
    std::vector<const char*> Filters;
    int SamplesPerPacket; // what the last filter makes
  } cases[] = {
      {{"pcm_rechunk=nb_out_samples=1000:pad=0"}, 1000},
      {{"pcm_rechunk=nb_out_samples=300:pad=0"}, 300},
      // The second one holds what the first one gives until it has enough.
      {{"pcm_rechunk=nb_out_samples=1000:pad=0", "pcm_rechunk=nb_out_samples=5000:pad=0"}, 5000},
  };
  const TStreamTrace in = Trace(Fixtures::MediaPath(Fixtures::ToneWav.Name), AVMEDIA_TYPE_AUDIO);
  int64_t samples = 0;
  for (const TPacketTrace& p : in.Packets)
    samples += p.Size / 2; // 16-bit mono
  ASSERT_GT(samples, 0);
  int n = 0;
  for (const Case& c : cases) {
    const std::string output = Out("rechunk" + std::to_string(n++) + ".mkv");
    SCOPED_TRACE(c.Filters.back());
    Convert(Fixtures::ToneWav.Name, output, [&](TCustomFFmpeg& e) {
      e.Settings.AudioStreamCopy = 1;
      for (const char* filter : c.Filters)
        e.SetOption("absf", filter);
    });
    const TStreamTrace out = Trace(output, AVMEDIA_TYPE_AUDIO);
    int64_t written = 0;
    for (const TPacketTrace& p : out.Packets)
      written += p.Size / 2;
    EXPECT_EQ(written, samples);
    ASSERT_EQ(int64_t(out.Packets.size()), (samples + c.SamplesPerPacket - 1) / c.SamplesPerPacket);
    for (size_t i = 0; i + 1 < out.Packets.size(); ++i)
      EXPECT_EQ(out.Packets[i].Size, c.SamplesPerPacket * 2) << i;
    EXPECT_EQ(out.DecodeErrors, 0);
  }
}
