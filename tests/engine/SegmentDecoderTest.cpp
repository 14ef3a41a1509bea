// Decoding a video stream in stretches on several decoders at once: where a
// stream may be cut, and that the pictures come back exactly as one decoder
// gives them, in its order, across cuts, size changes and reordered pictures.
#include "SegmentDecoder.h"
#include "EngineTestSupport.h"
#include "FixtureMedia.h"

#include <gtest/gtest.h>

#include <cstring>
#include <mutex>
#include <string>
#include <vector>

using namespace kestro;
using namespace kestro::test;

namespace {

using TBytes = std::vector<uint8_t>;

TPacketPtr PacketOf(const TBytes& bytes) {
  TPacketPtr packet(avcodec::av_packet_alloc());
  EXPECT_GE(avcodec::av_new_packet(packet.get(), int(bytes.size())), 0);
  if (!bytes.empty())
    std::memcpy(packet->data, bytes.data(), bytes.size());
  return packet;
}

// H.264 units: length-prefixed (4 bytes) or after a start code.
TBytes Prefixed(std::initializer_list<uint8_t> headers) {
  TBytes bytes;
  for (uint8_t header : headers)
    bytes.insert(bytes.end(), {0, 0, 0, 3, header, 0x88, 0x84});
  return bytes;
}
TBytes StartCoded(std::initializer_list<uint8_t> headers) {
  TBytes bytes;
  for (uint8_t header : headers)
    bytes.insert(bytes.end(), {0, 0, 0, 1, header, 0x88, 0x84});
  return bytes;
}
constexpr uint8_t Idr = 0x65, Slice = 0x41, Sps = 0x67, Pps = 0x68, Sei = 0x06;

// MPEG-4 Part 2 pictures: 0 intra, 1 predicted, 2 bidirectional; a stream
// header may come first.
TBytes Vop(int type, bool withHeader = false) {
  TBytes bytes;
  if (withHeader)
    bytes.insert(bytes.end(), {0, 0, 1, 0x20, 0x08, 0xc8});
  bytes.insert(bytes.end(), {0, 0, 1, 0xb6, uint8_t(type << 6), 0x12, 0x34});
  return bytes;
}

// What a decoder gave for one picture: its time, size and a digest of its pixels.
struct TPicture {
  int64_t Pts;
  int Width, Height;
  uint64_t Digest;
  bool operator==(const TPicture&) const = default;
};

uint64_t DigestOf(const AVFrame* frame) {
  EXPECT_EQ(frame->format, AV_PIX_FMT_YUV420P);
  uint64_t hash = 1469598103934665603ull;
  for (int plane = 0; plane < 3; ++plane) {
    const int w = plane ? (frame->width + 1) / 2 : frame->width;
    const int h = plane ? (frame->height + 1) / 2 : frame->height;
    for (int y = 0; y < h; ++y) {
      const uint8_t* row = frame->data[plane] + ptrdiff_t(y) * frame->linesize[plane];
      for (int x = 0; x < w; ++x)
        hash = (hash ^ row[x]) * 1099511628211ull;
    }
  }
  return hash;
}

// A file's first video stream with a decoder opened on it.
struct TVideoSource {
  AVFormatContext* File = nullptr;
  int Index = -1;
  TCodecContextPtr Decoder;

  explicit TVideoSource(const std::string& path) {
    if (avformat::avformat_open_input(&File, path.c_str(), nullptr, nullptr) < 0 ||
        avformat::avformat_find_stream_info(File, nullptr) < 0)
      return;
    for (unsigned i = 0; i < File->nb_streams; ++i)
      if (File->streams[i]->codecpar->codec_type == AVMEDIA_TYPE_VIDEO &&
          File->streams[i]->codecpar->codec_id != AV_CODEC_ID_MPEG2VIDEO) {
        Index = int(i);
        break;
      }
    if (Index < 0)
      return;
    const AVCodecParameters* params = File->streams[Index]->codecpar;
    const AVCodec* codec = avcodec::avcodec_find_decoder(params->codec_id);
    Decoder.reset(avcodec::avcodec_alloc_context3(codec));
    avcodec::avcodec_parameters_to_context(Decoder.get(), params);
    Decoder->pkt_timebase = File->streams[Index]->time_base;
    Decoder->thread_count = 1;
    if (avcodec::avcodec_open2(Decoder.get(), codec, nullptr) < 0)
      Decoder.reset();
  }
  ~TVideoSource() { avformat::avformat_close_input(&File); }
  const AVCodecParameters* Params() const { return File->streams[Index]->codecpar; }

  // Every packet of the stream, in order; `limit` packets at most.
  std::vector<TPacketPtr> Packets(size_t limit = SIZE_MAX) {
    std::vector<TPacketPtr> packets;
    TPacketPtr packet(avcodec::av_packet_alloc());
    while (packets.size() < limit && avformat::av_read_frame(File, packet.get()) >= 0) {
      if (packet->stream_index == Index)
        packets.emplace_back(avcodec::av_packet_clone(packet.get()));
      avcodec::av_packet_unref(packet.get());
    }
    return packets;
  }
};

void Keep(std::vector<TPicture>& pictures, AVFrame* frame) {
  pictures.push_back({frame->best_effort_timestamp, frame->width, frame->height, DigestOf(frame)});
  avutil::av_frame_unref(frame);
}

std::vector<TPicture> DecodeAtOnce(AVCodecContext* decoder,
                                   const std::vector<TPacketPtr>& packets) {
  std::vector<TPicture> pictures;
  TFramePtr frame(avutil::av_frame_alloc());
  auto drain = [&] {
    while (avcodec::avcodec_receive_frame(decoder, frame.get()) >= 0)
      Keep(pictures, frame.get());
  };
  for (const TPacketPtr& packet : packets) {
    EXPECT_GE(avcodec::avcodec_send_packet(decoder, packet.get()), 0);
    drain();
  }
  avcodec::avcodec_send_packet(decoder, nullptr);
  drain();
  return pictures;
}

// As the decoder stage drives it: a packet that cannot go yet waits while
// what was decoded is received.
std::vector<TPicture> DecodeInStretches(TSegmentDecoder& segments,
                                        const std::vector<TPacketPtr>& packets, bool end) {
  std::vector<TPicture> pictures;
  TFramePtr frame(avutil::av_frame_alloc());
  auto receive = [&] {
    int received;
    while ((received = segments.ReceiveFrame(frame.get())) == 0)
      Keep(pictures, frame.get());
    EXPECT_TRUE(received == AVERROR(EAGAIN) || received == AVERROR_EOF) << received;
  };
  for (const TPacketPtr& packet : packets) {
    int sent;
    while ((sent = segments.SendPacket(packet.get())) == AVERROR(EAGAIN))
      receive();
    EXPECT_EQ(sent, 0);
    receive();
  }
  if (end) {
    EXPECT_EQ(segments.SendPacket(nullptr), 0);
    receive();
    EXPECT_EQ(segments.ReceiveFrame(frame.get()), AVERROR_EOF);
  }
  return pictures;
}

} // namespace

TEST(SegmentDecoder, CutsOnlyWhereNothingBeforeIsNeeded) {
  LoadLibrariesOrFail();
  const TBytes lengthPrefixedSets = {1, 0x64, 0, 0x1f, 0xff, 0xe1, 0};
  const TBytes startCodedSets = {0, 0, 0, 1, Sps, 0x64, 0, 0x1f};
  struct Case {
    const char* Name;
    AVCodecID Codec;
    TBytes Extradata;
    int VideoDelay;
    std::vector<TBytes> Packets;
    std::vector<bool> Starts;
  } cases[] = {
      {"H.264, sets out of band: every refresh, but not its second field",
       AV_CODEC_ID_H264,
       lengthPrefixedSets,
       2,
       {Prefixed({Sei, Idr}), Prefixed({Slice}), Prefixed({Idr}), Prefixed({Idr}),
        Prefixed({Slice}), Prefixed({Idr})},
       {true, false, true, false, false, true}},
      {"H.264, sets in band: only a refresh that brings its own sets",
       AV_CODEC_ID_H264,
       {},
       0,
       {StartCoded({Sps, Pps, Idr}), StartCoded({Slice}), StartCoded({Idr}), StartCoded({Slice}),
        StartCoded({Sps, Pps, Sei, Idr})},
       {true, false, false, false, true}},
      {"H.264, start codes and sets in the header",
       AV_CODEC_ID_H264,
       startCodedSets,
       0,
       {StartCoded({Idr}), StartCoded({Slice}), StartCoded({Slice, Slice}), StartCoded({Idr})},
       {true, false, false, true}},
      {"H.264, a unit whose length runs past the packet is not read",
       AV_CODEC_ID_H264,
       lengthPrefixedSets,
       0,
       {TBytes{0, 0, 0, 200, Idr, 1, 2}, TBytes{}, Prefixed({Idr})},
       {false, false, true}},
      {"MPEG-4 without reordering: intra pictures, until a bidirectional one shows up",
       AV_CODEC_ID_MPEG4,
       {},
       0,
       {Vop(0, true), Vop(1), Vop(0), Vop(1), Vop(2), Vop(0, true), Vop(1)},
       {true, false, true, false, false, false, false}},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.Name);
    AVCodecParameters* params = avcodec::avcodec_parameters_alloc();
    params->codec_type = AVMEDIA_TYPE_VIDEO;
    params->codec_id = c.Codec;
    params->video_delay = c.VideoDelay;
    if (!c.Extradata.empty()) {
      params->extradata = static_cast<uint8_t*>(
          avutil::av_mallocz(c.Extradata.size() + AV_INPUT_BUFFER_PADDING_SIZE));
      std::memcpy(params->extradata, c.Extradata.data(), c.Extradata.size());
      params->extradata_size = int(c.Extradata.size());
    }
    std::unique_ptr<TFreshStarts> starts = TFreshStarts::For(params);
    ASSERT_TRUE(starts);
    std::vector<bool> said;
    for (const TBytes& bytes : c.Packets)
      said.push_back(starts->Starts(PacketOf(bytes).get()));
    EXPECT_EQ(said, c.Starts);
    avcodec::avcodec_parameters_free(&params);
  }

  // Streams whose cuts are not known stay whole.
  AVCodecParameters* params = avcodec::avcodec_parameters_alloc();
  params->codec_type = AVMEDIA_TYPE_VIDEO;
  params->codec_id = AV_CODEC_ID_MPEG4;
  params->video_delay = 1; // bidirectional pictures refer across intra ones
  EXPECT_FALSE(TFreshStarts::For(params));
  params->codec_id = AV_CODEC_ID_MPEG2VIDEO;
  params->video_delay = 0;
  EXPECT_FALSE(TFreshStarts::For(params));
  params->codec_type = AVMEDIA_TYPE_AUDIO;
  params->codec_id = AV_CODEC_ID_H264;
  EXPECT_FALSE(TFreshStarts::For(params));
  avcodec::avcodec_parameters_free(&params);
}

TEST(SegmentDecoder, GivesThePicturesOneDecoderGives) {
  LoadLibrariesOrFail();
  struct Case {
    const char* Name;
    std::string File;
    int Decoders;
  } cases[] = {
      // Reordered pictures, parameter sets in the stream header.
      {"H.264 with B-frames", Fixtures::H264Mp4.Name, 2},
      // More decoders than stretches in flight at first.
      {"MPEG-4 Part 2", Fixtures::ClipAvi.Name, 3},
      // Parameter sets in band, and the picture size changes mid-stream.
      {"H.264 whose size changes", Fixtures::SizeChangeTs, 2},
  };
  std::mutex codecLock;
  for (const Case& c : cases) {
    SCOPED_TRACE(c.Name);
    TVideoSource once(Fixtures::MediaPath(c.File.c_str()));
    TVideoSource split(Fixtures::MediaPath(c.File.c_str()));
    ASSERT_TRUE(once.Decoder && split.Decoder);
    const std::vector<TPacketPtr> packets = once.Packets();
    const std::vector<TPicture> expected = DecodeAtOnce(once.Decoder.get(), packets);
    ASSERT_GT(expected.size(), 24u);

    std::unique_ptr<TFreshStarts> starts = TFreshStarts::For(split.Params());
    ASSERT_TRUE(starts);
    int cuts = 0;
    for (const TPacketPtr& packet : packets)
      cuts += starts->Starts(packet.get()) ? 1 : 0;
    EXPECT_GE(cuts, 3) << "the stream was not cut: this case shows nothing";

    TSegmentDecoder segments(split.Decoder.get(), c.Decoders, TFreshStarts::For(split.Params()));
    segments.SetUp(codecLock);
    const std::vector<TPicture> got = DecodeInStretches(segments, packets, true);
    ASSERT_EQ(got.size(), expected.size());
    for (size_t i = 0; i < got.size(); ++i)
      EXPECT_EQ(got[i], expected[i]) << "picture " << i;
  }
}

TEST(SegmentDecoder, GoingAwayMidStreamDropsWhatItHolds) {
  LoadLibrariesOrFail();
  std::mutex codecLock;
  TVideoSource source(Fixtures::MediaPath(Fixtures::H264Mp4.Name));
  ASSERT_TRUE(source.Decoder);
  const std::vector<TPacketPtr> packets = source.Packets(40);
  for (int decoders : {2, 3}) {
    TSegmentDecoder segments(source.Decoder.get(), decoders, TFreshStarts::For(source.Params()));
    segments.SetUp(codecLock);
    // Packets of several stretches go in, the end never does; the
    // decoders' threads are stopped and joined when it goes.
    DecodeInStretches(segments, packets, false);
  }
}

TEST(SegmentDecoder, ShortStretchesWaitAheadWithinThePictureBudget) {
  // Nothing is received, so what the decoders make stays held: the stream
  // (cut every dozen pictures) is sent over and over until the decoder
  // refuses more. Both decoders must have had more than two stretches each
  // to work ahead on, and what they hold must stay within 64 pictures
  // each, plus the stretch being filled and a picture or two inside each
  // decoder.
  LoadLibrariesOrFail();
  std::mutex codecLock;
  TVideoSource source(Fixtures::MediaPath(Fixtures::Sar43Avi.Name));
  ASSERT_TRUE(source.Decoder);
  const std::vector<TPacketPtr> packets = source.Packets();
  ASSERT_GE(packets.size(), 24u);
  TSegmentDecoder segments(source.Decoder.get(), 2, TFreshStarts::For(source.Params()));
  segments.SetUp(codecLock);
  size_t sent = 0;
  bool refused = false;
  while (!refused && sent < 2000) {
    for (const TPacketPtr& packet : packets) {
      const int result = segments.SendPacket(packet.get());
      if (result == AVERROR(EAGAIN)) {
        refused = true;
        break;
      }
      ASSERT_EQ(result, 0);
      ++sent;
    }
  }
  ASSERT_TRUE(refused) << "sent " << sent << " packets and none waited";
  EXPECT_GT(sent, size_t(2 * 2 * Fixtures::GopSize));
  EXPECT_LE(sent, size_t(2 * 64 + Fixtures::GopSize + 2 * 2));
}
