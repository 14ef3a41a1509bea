// kestro_floor_bench FILE: what the media libraries alone spend on a 3GPP
// conversion of FILE, the floor the engine is measured against.
//
// Pass 1 reads and decodes every packet of the first video and audio stream
// and times it. Pass 2 decodes again untimed and times only the work the
// conversion adds on top: scaling each picture to 176x144 and encoding it as
// H.263 at 120 kbit/s (one output frame per decoded frame, at the source's
// frame rate), and resampling the audio to 8000 Hz mono 16-bit and encoding
// it as AMR-NB at 10.2 kbit/s. Codecs are single-threaded and set up as the
// engine sets them up; packets are dropped instead of written.
//
// Prints one line: decode=SECONDS encode=SECONDS frames=N samples=N
// duration=SECONDS; decode and encode are CPU seconds of this process inside
// the timed parts, duration is the source's length.
#include "LibPtr.h"

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <string>
#include <vector>

using namespace kestro;

namespace {

constexpr int OutWidth = 176, OutHeight = 144;
constexpr int OutRate = 8000;
constexpr int64_t VideoBitRate = 120000, AudioBitRate = 10200;

double CpuSeconds() {
  timespec now{};
  clock_gettime(CLOCK_PROCESS_CPUTIME_ID, &now);
  return double(now.tv_sec) + double(now.tv_nsec) / 1e9;
}

// Adds the CPU time of its lifetime to a total.
class TCpuTimer {
public:
  explicit TCpuTimer(double& total) : Total(total), Start(CpuSeconds()) {}
  ~TCpuTimer() { Total += CpuSeconds() - Start; }
  TCpuTimer(const TCpuTimer&) = delete;
  TCpuTimer& operator=(const TCpuTimer&) = delete;

private:
  double& Total;
  double Start;
};

[[noreturn]] void Fail(const std::string& what, int error = 0) {
  char text[128] = "";
  if (error)
    avutil::av_strerror(error, text, sizeof text);
  std::fprintf(stderr, "kestro_floor_bench: %s%s%s\n", what.c_str(), error ? ": " : "", text);
  std::exit(1);
}

// The source opened with a decoder for its first video and audio stream.
struct TSource {
  TInputContextPtr Format;
  int VideoIndex = -1, AudioIndex = -1;
  TCodecContextPtr Video, Audio;

  explicit TSource(const char* fileName) {
    AVFormatContext* raw = nullptr;
    if (const int e = avformat::avformat_open_input(&raw, fileName, nullptr, nullptr); e < 0)
      Fail(std::string("cannot open ") + fileName, e);
    Format.reset(raw);
    if (const int e = avformat::avformat_find_stream_info(raw, nullptr); e < 0)
      Fail("no stream information", e);
    VideoIndex = avformat::av_find_best_stream(raw, AVMEDIA_TYPE_VIDEO, -1, -1, nullptr, 0);
    AudioIndex = avformat::av_find_best_stream(raw, AVMEDIA_TYPE_AUDIO, -1, -1, nullptr, 0);
    if (VideoIndex >= 0)
      Video = OpenDecoder(raw->streams[VideoIndex]);
    if (AudioIndex >= 0)
      Audio = OpenDecoder(raw->streams[AudioIndex]);
    if (!Video && !Audio)
      Fail("no video or audio stream");
  }

  static TCodecContextPtr OpenDecoder(const AVStream* stream) {
    const AVCodec* codec = avcodec::avcodec_find_decoder(stream->codecpar->codec_id);
    TCodecContextPtr context(avcodec::avcodec_alloc_context3(codec));
    if (!codec || !context ||
        avcodec::avcodec_parameters_to_context(context.get(), stream->codecpar) < 0)
      Fail("no decoder");
    context->pkt_timebase = stream->time_base;
    context->thread_count = 1; // as the engine runs its codecs
    if (const int e = avcodec::avcodec_open2(context.get(), codec, nullptr); e < 0)
      Fail("cannot open the decoder", e);
    return context;
  }

  AVCodecContext* DecoderFor(int streamIndex) const {
    return streamIndex == VideoIndex   ? Video.get()
           : streamIndex == AudioIndex ? Audio.get()
                                       : nullptr;
  }

  // Reads and decodes every packet, then drains the decoders; `onFrame`
  // sees each decoded frame with its decoder.
  template <typename F> void DecodeAll(F&& onFrame) {
    TPacketPtr packet(avcodec::av_packet_alloc());
    TFramePtr frame(avutil::av_frame_alloc());
    auto receive = [&](AVCodecContext* decoder) {
      while (avcodec::avcodec_receive_frame(decoder, frame.get()) >= 0) {
        onFrame(decoder, frame.get());
        avutil::av_frame_unref(frame.get());
      }
    };
    while (avformat::av_read_frame(Format.get(), packet.get()) >= 0) {
      if (AVCodecContext* decoder = DecoderFor(packet->stream_index)) {
        // A packet the decoder refuses is skipped, as the engine skips it.
        if (avcodec::avcodec_send_packet(decoder, packet.get()) >= 0)
          receive(decoder);
      }
      avcodec::av_packet_unref(packet.get());
    }
    for (AVCodecContext* decoder : {Video.get(), Audio.get()})
      if (decoder) {
        avcodec::avcodec_send_packet(decoder, nullptr);
        receive(decoder);
      }
  }
};

// Sends a frame (null: the end) and drops every packet that comes back.
void Encode(AVCodecContext* encoder, const AVFrame* frame, AVPacket* packet) {
  if (const int e = avcodec::avcodec_send_frame(encoder, frame); e < 0 && e != AVERROR_EOF)
    Fail("encoding failed", e);
  while (avcodec::avcodec_receive_packet(encoder, packet) >= 0)
    avcodec::av_packet_unref(packet);
}

TCodecContextPtr OpenVideoEncoder(AVRational rate) {
  const AVCodec* codec = avcodec::avcodec_find_encoder(AV_CODEC_ID_H263);
  TCodecContextPtr c(avcodec::avcodec_alloc_context3(codec));
  if (!codec || !c)
    Fail("no H.263 encoder");
  c->width = OutWidth;
  c->height = OutHeight;
  c->pix_fmt = AV_PIX_FMT_YUV420P;
  c->framerate = rate;
  c->time_base = {rate.den, rate.num};
  c->bit_rate = VideoBitRate;
  c->thread_count = 1;
  if (const int e = avcodec::avcodec_open2(c.get(), codec, nullptr); e < 0)
    Fail("cannot open the H.263 encoder", e);
  return c;
}

TCodecContextPtr OpenAudioEncoder() {
  const AVCodec* codec = avcodec::avcodec_find_encoder_by_name("libopencore_amrnb");
  if (!codec)
    codec = avcodec::avcodec_find_encoder(AV_CODEC_ID_AMR_NB);
  TCodecContextPtr c(avcodec::avcodec_alloc_context3(codec));
  if (!codec || !c)
    Fail("no AMR-NB encoder");
  c->sample_rate = OutRate;
  c->sample_fmt = AV_SAMPLE_FMT_S16;
  avutil::av_channel_layout_default(&c->ch_layout, 1);
  c->time_base = {1, OutRate};
  c->bit_rate = AudioBitRate;
  c->thread_count = 1;
  if (const int e = avcodec::avcodec_open2(c.get(), codec, nullptr); e < 0)
    Fail("cannot open the AMR-NB encoder", e);
  return c;
}

// Pass 2's timed half: pictures to H.263, samples to AMR-NB.
class TEncodeSide {
public:
  explicit TEncodeSide(const TSource& source) {
    Packet.reset(avcodec::av_packet_alloc());
    if (source.Video) {
      const AVStream* stream = source.Format->streams[source.VideoIndex];
      AVRational rate = stream->r_frame_rate;
      if (!rate.num || !rate.den)
        rate = {25, 1};
      VideoEncoder = OpenVideoEncoder(rate);
      Picture.reset(avutil::av_frame_alloc());
      Picture->format = AV_PIX_FMT_YUV420P;
      Picture->width = OutWidth;
      Picture->height = OutHeight;
      if (avutil::av_frame_get_buffer(Picture.get(), 0) < 0)
        Fail("no picture buffer");
    }
    if (source.Audio) {
      AudioEncoder = OpenAudioEncoder();
      Samples.reset(avutil::av_frame_alloc());
      Samples->format = AV_SAMPLE_FMT_S16;
      Samples->sample_rate = OutRate;
      Samples->nb_samples = AudioEncoder->frame_size;
      avutil::av_channel_layout_default(&Samples->ch_layout, 1);
      if (avutil::av_frame_get_buffer(Samples.get(), 0) < 0)
        Fail("no sample buffer");
    }
  }

  void Video(const AVFrame* decoded) {
    Scaler.reset(swscale::sws_getCachedContext(
        Scaler.release(), decoded->width, decoded->height, AVPixelFormat(decoded->format), OutWidth,
        OutHeight, AV_PIX_FMT_YUV420P, SWS_BICUBIC, nullptr, nullptr, nullptr));
    if (!Scaler || avutil::av_frame_make_writable(Picture.get()) < 0)
      Fail("cannot scale");
    swscale::sws_scale(Scaler.get(), decoded->data, decoded->linesize, 0, decoded->height,
                       Picture->data, Picture->linesize);
    Picture->pts = Frames++;
    Encode(VideoEncoder.get(), Picture.get(), Packet.get());
  }

  void Audio(const AVFrame* decoded) {
    if (!Resampler) {
      SwrContext* swr = nullptr;
      // The library takes the layouts by non-const pointer but only reads them.
      auto* layout = const_cast<AVChannelLayout*>(&decoded->ch_layout);
      if (swresample::swr_alloc_set_opts2(&swr, &Samples->ch_layout, AV_SAMPLE_FMT_S16, OutRate,
                                          layout, AVSampleFormat(decoded->format),
                                          decoded->sample_rate, 0, nullptr) < 0 ||
          swresample::swr_init(swr) < 0)
        Fail("cannot resample");
      Resampler.reset(swr);
    }
    const int room = swresample::swr_get_out_samples(Resampler.get(), decoded->nb_samples);
    if (room < 0)
      Fail("cannot resample", room);
    if (Pending.size() < Held + size_t(room))
      Pending.resize(Held + size_t(room));
    uint8_t* out[1] = {reinterpret_cast<uint8_t*>(Pending.data() + Held)};
    const int made = swresample::swr_convert(Resampler.get(), out, room,
                                             const_cast<const uint8_t**>(decoded->extended_data),
                                             decoded->nb_samples);
    if (made < 0)
      Fail("cannot resample");
    Held += size_t(made);
    EncodeWholeFrames();
  }

  void Finish() {
    if (VideoEncoder)
      Encode(VideoEncoder.get(), nullptr, Packet.get());
    if (AudioEncoder) {
      // What the resampler's filter still holds.
      if (const int room = Resampler ? swresample::swr_get_out_samples(Resampler.get(), 0) : 0;
          room > 0) {
        Pending.resize(Held + size_t(room));
        uint8_t* out[1] = {reinterpret_cast<uint8_t*>(Pending.data() + Held)};
        const int made = swresample::swr_convert(Resampler.get(), out, room, nullptr, 0);
        Held += size_t(made > 0 ? made : 0);
      }
      EncodeWholeFrames();
      Encode(AudioEncoder.get(), nullptr, Packet.get());
    }
  }

  int64_t Frames = 0, SamplesEncoded = 0;

private:
  void EncodeWholeFrames() {
    const size_t frameSize = size_t(Samples->nb_samples);
    size_t used = 0;
    for (; Held - used >= frameSize; used += frameSize) {
      if (avutil::av_frame_make_writable(Samples.get()) < 0)
        Fail("no sample buffer");
      std::memcpy(Samples->data[0], Pending.data() + used, frameSize * sizeof(int16_t));
      Samples->pts = SamplesEncoded;
      SamplesEncoded += int64_t(frameSize);
      Encode(AudioEncoder.get(), Samples.get(), Packet.get());
    }
    std::memmove(Pending.data(), Pending.data() + used, (Held - used) * sizeof(int16_t));
    Held -= used;
  }

  TCodecContextPtr VideoEncoder, AudioEncoder;
  TFramePtr Picture, Samples;
  TPacketPtr Packet;
  TSwsPtr Scaler;
  TSwrPtr Resampler;
  std::vector<int16_t> Pending; // resampled samples not yet a whole frame
  size_t Held = 0;
};

} // namespace

int main(int argc, char** argv) {
  if (argc != 2) {
    std::fprintf(stderr, "usage: kestro_floor_bench FILE\n");
    return 2;
  }
  if (!LoadAllLibraries("", true))
    Fail("cannot load the media libraries: " + LibraryLoadError());
  avutil::av_log_set_level(AV_LOG_ERROR);

  double decodeSeconds = 0, duration = 0;
  {
    TSource source(argv[1]);
    if (source.Format->duration > 0)
      duration = double(source.Format->duration) / AV_TIME_BASE;
    TCpuTimer timer(decodeSeconds);
    source.DecodeAll([](AVCodecContext*, AVFrame*) {});
  }

  double encodeSeconds = 0;
  TSource source(argv[1]);
  TEncodeSide encode(source);
  source.DecodeAll([&](AVCodecContext* decoder, AVFrame* frame) {
    TCpuTimer timer(encodeSeconds);
    if (decoder == source.Video.get())
      encode.Video(frame);
    else
      encode.Audio(frame);
  });
  {
    TCpuTimer timer(encodeSeconds);
    encode.Finish();
  }
  std::printf("decode=%.3f encode=%.3f frames=%lld samples=%lld duration=%.3f\n", decodeSeconds,
              encodeSeconds, (long long)encode.Frames, (long long)encode.SamplesEncoded, duration);
  return 0;
}
