// A hand-made run for the output stages: an input opened from a fixture, an
// output with one encoded stream whose encoder is open and whose header is
// written, and the stream records the run set-up would fill. Tests then feed
// the output functions directly and read the written file back.
#pragma once

#include "AudioOutput.h"
#include "EngineTestSupport.h"
#include "FixtureMedia.h"
#include "RunTables.h"
#include "VideoOutput.h"

#include <gtest/gtest.h>

#include <cstring>
#include <filesystem>
#include <functional>
#include <string>
#include <unistd.h>
#include <vector>

namespace kestro::test {

struct TOutputBench {
  TCustomFFmpeg E;
  TRecorder Log;
  std::string Folder;
  std::string Path;
  TInputStreamState* In = nullptr;
  TOutputStreamState* Out = nullptr;
  // What the video stage of Out asks of E.
  std::unique_ptr<TVideoOutputOwner> VideoLink = MakeVideoLink(E);

  TOutputBench() {
    char pattern[] = "/tmp/kestro-output-XXXXXX";
    Folder = mkdtemp(pattern);
  }
  ~TOutputBench() {
    E.Run.reset();
    E.ReleaseResources();
    std::filesystem::remove_all(Folder);
  }

  // Opens `source` and the output `name` with one stream of `type`.
  // `options` runs between the two (engine settings of the output), `tune`
  // on the encoder before it opens.
  void Open(const Fixtures::Media& source, AVMediaType type, const std::string& name,
            const std::function<void(TCustomFFmpeg&)>& options = {},
            const std::function<void(AVCodecContext*)>& tune = {}) {
    LoadLibrariesOrFail();
    E.Reset();
    E.Settings.Verbose = -1; // no format dumps in the test log
    Log.Attach(E);
    ASSERT_TRUE(E.OpenInputFile(Fixtures::MediaPath(source.Name))) << E.LastError;
    (type == AVMEDIA_TYPE_VIDEO ? E.Settings.AudioDisable : E.Settings.VideoDisable) = 1;
    E.Settings.SubtitleDisable = 1;
    if (options)
      options(E);
    Path = Folder + "/" + name;
    ASSERT_TRUE(E.OpenOutputFile(Path)) << E.LastError;
    AVFormatContext* file = E.OutputFiles[0].get();
    ASSERT_EQ(file->nb_streams, 1u);
    AVCodecContext* enc = E.OutputCodecs[0][0].get();
    if (tune)
      tune(enc);
    ASSERT_GE(avcodec::avcodec_open2(enc, avcodec::avcodec_find_encoder(enc->codec_id), nullptr),
              0);
    ASSERT_GE(avcodec::avcodec_parameters_from_context(file->streams[0]->codecpar, enc), 0);
    file->streams[0]->time_base = enc->time_base;

    AVFormatContext* input = E.InputFiles[0].get();
    int source_index = -1;
    for (unsigned s = 0; s < input->nb_streams && source_index < 0; ++s)
      if (input->streams[s]->codecpar->codec_type == type)
        source_index = int(s);
    ASSERT_GE(source_index, 0);
    auto run = std::make_unique<TRunTables>();
    auto in = std::make_unique<TInputStreamState>();
    in->Stream = input->streams[source_index];
    in->StreamIndex = source_index;
    in->Decoder = E.InputCodecs[0][source_index].get();
    in->MustDecode = 1;
    auto out = std::make_unique<TOutputStreamState>();
    out->Output = file;
    out->Stream = file->streams[0];
    out->Encoder = enc;
    out->SourceStreamIndex = source_index;
    out->MustEncode = 1;
    out->SyncInput = in.get();
    if (type == AVMEDIA_TYPE_VIDEO) {
      out->Video = std::make_unique<TVideoOutput>(*VideoLink, *out);
      out->Video->SetUp({E.Settings.FrameTopCrop, E.Settings.FrameBottomCrop,
                         E.Settings.FrameLeftCrop, E.Settings.FrameRightCrop},
                        {E.Settings.FramePadTop, E.Settings.FramePadBottom, E.Settings.FramePadLeft,
                         E.Settings.FramePadRight});
    }
    if (type == AVMEDIA_TYPE_AUDIO)
      out->Audio = E.MakeAudioOutput(*out, in->Decoder->sample_rate);
    In = in.get();
    Out = out.get();
    run->InputStreams.push_back(std::move(in));
    run->OutputStreams.push_back(std::move(out));
    E.Run = std::move(run);
    ASSERT_GE(avformat::avformat_write_header(file, nullptr), 0);
    Log.Clear();
  }

  AVCodecContext* Enc() const { return Out->Encoder; }

  // Points the stream at an encoder context that was never opened: it
  // refuses every frame.
  void UseUnopenedEncoder() {
    Unopened.reset(avcodec::avcodec_alloc_context3(nullptr));
    ASSERT_GE(avcodec::avcodec_parameters_to_context(Unopened.get(), Out->Stream->codecpar), 0);
    Unopened->time_base = Out->Encoder->time_base;
    Out->Encoder = Unopened.get();
  }
  TCodecContextPtr Unopened;
  AVFormatContext* File() const { return Out->Output; }

  // Writes the trailer and closes the file (and the statistics file).
  void Finish() {
    ASSERT_GE(avformat::av_write_trailer(File()), 0);
    E.Run.reset();
    In = nullptr;
    Out = nullptr;
    E.ReleaseResources();
  }
};

struct TReadPacket {
  double Seconds = 0; // presentation time
  int Flags = 0;
  std::vector<uint8_t> Data;
};

// `path` opened for reading with its streams probed; null when it does not open.
inline TInputContextPtr OpenForReading(const std::string& path) {
  AVFormatContext* raw = nullptr;
  if (avformat::avformat_open_input(&raw, path.c_str(), nullptr, nullptr) < 0)
    return TInputContextPtr();
  TInputContextPtr file(raw);
  if (avformat::avformat_find_stream_info(file.get(), nullptr) < 0)
    return TInputContextPtr();
  return file;
}

// Hands every packet of the file's first stream to `use`, in file order.
inline void ForEachPacket(AVFormatContext* file, const std::function<void(AVPacket*)>& use) {
  TPacketPtr packet(avcodec::av_packet_alloc());
  while (avformat::av_read_frame(file, packet.get()) >= 0) {
    if (packet->stream_index == 0)
      use(packet.get());
    avcodec::av_packet_unref(packet.get());
  }
}

// Every packet of the file's first stream, as stored.
inline std::vector<TReadPacket> ReadPackets(const std::string& path) {
  std::vector<TReadPacket> packets;
  TInputContextPtr file = OpenForReading(path);
  if (!file)
    return packets;
  const AVRational tb = file->streams[0]->time_base;
  ForEachPacket(file.get(), [&](AVPacket* p) {
    packets.push_back({double(p->pts) * tb.num / tb.den, p->flags,
                       std::vector<uint8_t>(p->data, p->data + p->size)});
  });
  return packets;
}

// Every decoded frame of the file's first stream, in presentation order.
inline std::vector<TFramePtr> DecodeFrames(const std::string& path) {
  std::vector<TFramePtr> frames;
  TInputContextPtr file = OpenForReading(path);
  if (!file)
    return frames;
  const AVCodecParameters* par = file->streams[0]->codecpar;
  const AVCodec* codec = avcodec::avcodec_find_decoder(par->codec_id);
  TCodecContextPtr dec(avcodec::avcodec_alloc_context3(codec));
  if (!dec || avcodec::avcodec_parameters_to_context(dec.get(), par) < 0 ||
      avcodec::avcodec_open2(dec.get(), codec, nullptr) < 0)
    return frames;
  auto receive = [&] {
    for (;;) {
      TFramePtr frame(avutil::av_frame_alloc());
      if (avcodec::avcodec_receive_frame(dec.get(), frame.get()) < 0)
        return;
      frames.push_back(std::move(frame));
    }
  };
  ForEachPacket(file.get(), [&](AVPacket* p) {
    if (avcodec::avcodec_send_packet(dec.get(), p) >= 0)
      receive();
  });
  avcodec::avcodec_send_packet(dec.get(), nullptr);
  receive();
  return frames;
}

// Decoded audio of the file's first stream as one vector per channel, in
// the range -1..1.
inline std::vector<std::vector<double>> DecodeChannels(const std::string& path) {
  std::vector<std::vector<double>> channels;
  for (const TFramePtr& frame : DecodeFrames(path)) {
    const auto format = AVSampleFormat(frame->format);
    const int count = frame->ch_layout.nb_channels;
    channels.resize(size_t(count));
    const bool planar = avutil::av_sample_fmt_is_planar(format);
    const int bytes = avutil::av_get_bytes_per_sample(format);
    for (int c = 0; c < count; ++c)
      for (int i = 0; i < frame->nb_samples; ++i) {
        const uint8_t* p = planar ? frame->extended_data[c] + size_t(i) * bytes
                                  : frame->data[0] + (size_t(i) * count + c) * bytes;
        double v = 0;
        switch (avutil::av_get_packed_sample_fmt(format)) {
        case AV_SAMPLE_FMT_S16: {
          int16_t s;
          std::memcpy(&s, p, 2);
          v = s / 32768.0;
          break;
        }
        case AV_SAMPLE_FMT_S32: {
          int32_t s;
          std::memcpy(&s, p, 4);
          v = s / 2147483648.0;
          break;
        }
        case AV_SAMPLE_FMT_FLT: {
          float s;
          std::memcpy(&s, p, 4);
          v = s;
          break;
        }
        default:
          ADD_FAILURE() << "unexpected sample format " << format;
          return channels;
        }
        channels[size_t(c)].push_back(v);
      }
  }
  return channels;
}

} // namespace kestro::test
