// kestro_floor_bench [--row NAME [--seconds N | --frames N]] FILE: what the media
// libraries alone spend on a conversion of FILE, the floor the engine is
// measured against.
//
// Without --row, the 3GPP conversion: pass 1 reads and decodes every packet
// of the first video and audio stream and times it. Pass 2 decodes again
// untimed and times only the work the conversion adds on top: scaling each
// picture to 176x144 and encoding it as H.263 at 120 kbit/s (one output frame
// per decoded frame, at the source's frame rate), and resampling the audio to
// 8000 Hz mono 16-bit and encoding it as AMR-NB at 10.2 kbit/s. Codecs are
// single-threaded and set up as the engine sets them up; packets are dropped
// instead of written.
//
// With --row NAME, the same two passes for a preset row (short name or entry
// text): the option lines the batch plans for this source with that row give
// the encoders, their private options, the picture size, pixel format, frame
// rate and the audio's channels, rate and bit rate. The picture is scaled only
// when its size or pixel format differs, as the engine does. --seconds N
// stops at the source's first N seconds, as the option "t" does; --frames N
// at its first N pictures (and the sound of that time), the span an engine
// run reported, which runs a frame or two past "t". Encoders
// that run threads of their own keep working between the calls, so pass 2 is
// timed whole and "encode" is pass 2 less pass 1.
//
// Prints one line: decode=SECONDS encode=SECONDS frames=N samples=N
// duration=SECONDS; decode and encode are CPU seconds of this process inside
// the timed parts, duration is the source's length (or N). A row adds
// size=WxH video=ENCODER audio=ENCODER.
#include "AVProbe.h"
#include "BatchOutput.h"
#include "LibPtr.h"
#include "PresetTable.h"

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <optional>
#include <sstream>
#include <string>
#include <utility>
#include <vector>

using namespace kestro;

namespace {

constexpr int ClassicWidth = 176, ClassicHeight = 144;
constexpr int ClassicRate = 8000;
constexpr int64_t ClassicVideoBitRate = 120000, ClassicAudioBitRate = 10200;

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

  // Seconds from the start of its stream, for the --seconds limit.
  double SecondsInto(int streamIndex, int64_t timestamp) const {
    const AVStream* stream = Format->streams[streamIndex];
    const int64_t start = stream->start_time != AV_NOPTS_VALUE ? stream->start_time : 0;
    return double(timestamp - start) * stream->time_base.num / stream->time_base.den;
  }

  // Reads and decodes every packet, then drains the decoders; `onFrame`
  // sees each decoded frame with its decoder. With a limit, frames from
  // `limit` seconds on are dropped, and reading stops once each decoder has
  // given one (they come in display order, so nothing earlier is still due).
  template <typename F> void DecodeAll(F&& onFrame, double limit = 0) {
    TPacketPtr packet(avcodec::av_packet_alloc());
    TFramePtr frame(avutil::av_frame_alloc());
    bool past[2] = {!Video, !Audio};
    auto receive = [&](AVCodecContext* decoder) {
      const bool video = decoder == Video.get();
      while (avcodec::avcodec_receive_frame(decoder, frame.get()) >= 0) {
        const int64_t when = frame->best_effort_timestamp;
        if (limit <= 0 || when == AV_NOPTS_VALUE ||
            SecondsInto(video ? VideoIndex : AudioIndex, when) < limit)
          onFrame(decoder, frame.get());
        else
          past[video ? 0 : 1] = true;
        avutil::av_frame_unref(frame.get());
      }
    };
    while (!(limit > 0 && past[0] && past[1]) &&
           avformat::av_read_frame(Format.get(), packet.get()) >= 0) {
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

using TOptionList = std::vector<std::pair<std::string, std::string>>;

// How the pictures are encoded.
struct TVideoPlan {
  std::string Encoder; // by name; empty: the first encoder of Id
  AVCodecID Id = AV_CODEC_ID_NONE;
  int Width = 0, Height = 0;
  AVPixelFormat PixelFormat = AV_PIX_FMT_YUV420P;
  AVRational Rate{0, 0}; // {0, 0}: the source's
  int64_t BitRate = 0;   // 0: the encoder's default
  unsigned Tag = 0;
  bool GlobalHeader = false;
  TOptionList Options; // generic and private options, as the engine hands them over
};

// How the sound is encoded.
struct TAudioPlan {
  std::string Encoder;
  AVCodecID Id = AV_CODEC_ID_NONE;
  int SampleRate = 0, Channels = 0;                    // 0: the source's
  AVSampleFormat SampleFormat = AV_SAMPLE_FMT_NONE;    // none: as the engine picks
  int64_t BitRate = 0;
  bool GlobalHeader = false;
  TOptionList Options;
};

const AVCodec* FindEncoder(const std::string& name, AVCodecID id) {
  const AVCodec* codec = name.empty() ? nullptr : avcodec::avcodec_find_encoder_by_name(name.c_str());
  if (!codec && id != AV_CODEC_ID_NONE)
    codec = avcodec::avcodec_find_encoder(id);
  if (!codec)
    Fail("no encoder " + (name.empty() ? std::string(avcodec::avcodec_get_name(id)) : name));
  return codec;
}

// Opens with the options; one that neither the context nor the encoder
// takes fails, as it fails the engine's output.
void OpenWithOptions(AVCodecContext* c, const AVCodec* codec, const TOptionList& options) {
  TDictionary dict;
  for (const auto& [name, value] : options)
    avutil::av_dict_set(&dict.Dict, name.c_str(), value.c_str(), 0);
  if (const int e = avcodec::avcodec_open2(c, codec, &dict.Dict); e < 0)
    Fail(std::string("cannot open the encoder ") + codec->name, e);
  if (const AVDictionaryEntry* left = dict.First())
    Fail(std::string("the encoder ") + codec->name + " takes no option '" + left->key + "'");
}

TCodecContextPtr OpenVideoEncoder(const TVideoPlan& plan) {
  const AVCodec* codec = FindEncoder(plan.Encoder, plan.Id);
  TCodecContextPtr c(avcodec::avcodec_alloc_context3(codec));
  if (!c)
    Fail("no video encoder context");
  c->thread_count = 1; // the engine's default
  c->codec_tag = plan.Tag;
  if (plan.GlobalHeader)
    c->flags |= AV_CODEC_FLAG_GLOBAL_HEADER;
  c->width = plan.Width;
  c->height = plan.Height;
  c->pix_fmt = plan.PixelFormat;
  c->framerate = plan.Rate;
  c->time_base = {plan.Rate.den, plan.Rate.num};
  if (plan.BitRate > 0)
    c->bit_rate = plan.BitRate;
  OpenWithOptions(c.get(), codec, plan.Options);
  return c;
}

// The engine's choices among what an encoder takes: the nearest rate, and the
// asked sample format, its packed or planar twin, else the encoder's first.
int NearestRate(const AVCodec* codec, int wanted) {
  if (!codec->supported_samplerates || wanted <= 0)
    return wanted;
  int best = 0;
  for (const int* rate = codec->supported_samplerates; *rate; ++rate)
    if (!best || std::llabs(int64_t(*rate) - wanted) < std::llabs(int64_t(best) - wanted) ||
        (std::llabs(int64_t(*rate) - wanted) == std::llabs(int64_t(best) - wanted) && *rate > best))
      best = *rate;
  return best ? best : wanted;
}

AVSampleFormat NearestFormat(const AVCodec* codec, AVSampleFormat wanted) {
  if (!codec->sample_fmts)
    return wanted;
  const AVSampleFormat* twin = nullptr;
  for (const AVSampleFormat* f = codec->sample_fmts; *f != AV_SAMPLE_FMT_NONE; ++f) {
    if (*f == wanted)
      return wanted;
    if (!twin && avutil::av_get_packed_sample_fmt(*f) == avutil::av_get_packed_sample_fmt(wanted))
      twin = f;
  }
  return twin ? *twin : codec->sample_fmts[0];
}

TCodecContextPtr OpenAudioEncoder(const TAudioPlan& plan, const AVCodecContext* decoder) {
  const AVCodec* codec = FindEncoder(plan.Encoder, plan.Id);
  TCodecContextPtr c(avcodec::avcodec_alloc_context3(codec));
  if (!c)
    Fail("no audio encoder context");
  c->thread_count = 1;
  if (plan.GlobalHeader)
    c->flags |= AV_CODEC_FLAG_GLOBAL_HEADER;
  c->sample_rate = NearestRate(codec, plan.SampleRate > 0 ? plan.SampleRate : decoder->sample_rate);
  c->sample_fmt = plan.SampleFormat != AV_SAMPLE_FMT_NONE
                      ? plan.SampleFormat
                      : NearestFormat(codec, decoder->sample_fmt);
  avutil::av_channel_layout_default(
      &c->ch_layout, plan.Channels > 0 ? plan.Channels : decoder->ch_layout.nb_channels);
  c->time_base = {1, c->sample_rate};
  if (plan.BitRate > 0)
    c->bit_rate = plan.BitRate;
  OpenWithOptions(c.get(), codec, plan.Options);
  return c;
}

// Pass 2's timed half: pictures and samples to their encoders.
class TEncodeSide {
public:
  TEncodeSide(const TSource& source, const TVideoPlan& video, const TAudioPlan& audio) {
    Packet.reset(avcodec::av_packet_alloc());
    if (source.Video) {
      TVideoPlan plan = video;
      if (!plan.Rate.num || !plan.Rate.den) {
        plan.Rate = source.Format->streams[source.VideoIndex]->r_frame_rate;
        if (!plan.Rate.num || !plan.Rate.den)
          plan.Rate = {25, 1};
      }
      VideoEncoder = OpenVideoEncoder(plan);
      Picture.reset(avutil::av_frame_alloc());
      Picture->format = VideoEncoder->pix_fmt;
      Picture->width = VideoEncoder->width;
      Picture->height = VideoEncoder->height;
      if (avutil::av_frame_get_buffer(Picture.get(), 0) < 0)
        Fail("no picture buffer");
      Unscaled.reset(avutil::av_frame_alloc());
    }
    if (source.Audio) {
      AudioEncoder = OpenAudioEncoder(audio, source.Audio.get());
      Samples.reset(avutil::av_frame_alloc());
      Samples->format = AudioEncoder->sample_fmt;
      Samples->sample_rate = AudioEncoder->sample_rate;
      // An encoder that takes any count gets the engine's usual 1024.
      Samples->nb_samples = AudioEncoder->frame_size > 0 ? AudioEncoder->frame_size : 1024;
      avutil::av_channel_layout_copy(&Samples->ch_layout, &AudioEncoder->ch_layout);
      if (avutil::av_frame_get_buffer(Samples.get(), 0) < 0)
        Fail("no sample buffer");
      const auto format = AVSampleFormat(Samples->format);
      const int channels = Samples->ch_layout.nb_channels;
      const bool planar = avutil::av_sample_fmt_is_planar(format);
      Pending.resize(planar ? size_t(channels) : 1);
      SampleBytes = size_t(avutil::av_get_bytes_per_sample(format)) * (planar ? 1 : channels);
    }
  }

  void Video(AVFrame* decoded) {
    AVFrame* out = Picture.get();
    if (decoded->width == Picture->width && decoded->height == Picture->height &&
        decoded->format == Picture->format) {
      // Nothing to scale: the decoded picture itself, as the engine sends it.
      avutil::av_frame_unref(Unscaled.get());
      if (avutil::av_frame_ref(Unscaled.get(), decoded) < 0)
        Fail("no picture reference");
      out = Unscaled.get();
      out->pict_type = AV_PICTURE_TYPE_NONE;
    } else {
      Scaler.reset(swscale::sws_getCachedContext(
          Scaler.release(), decoded->width, decoded->height, AVPixelFormat(decoded->format),
          Picture->width, Picture->height, AVPixelFormat(Picture->format), SWS_BICUBIC, nullptr,
          nullptr, nullptr));
      if (!Scaler || avutil::av_frame_make_writable(Picture.get()) < 0)
        Fail("cannot scale");
      swscale::sws_scale(Scaler.get(), decoded->data, decoded->linesize, 0, decoded->height,
                         Picture->data, Picture->linesize);
    }
    out->pts = Frames++;
    Encode(VideoEncoder.get(), out, Packet.get());
  }

  void Audio(const AVFrame* decoded) {
    if (!Resampler) {
      SwrContext* swr = nullptr;
      // The library takes the layouts by non-const pointer but only reads them.
      auto* layout = const_cast<AVChannelLayout*>(&decoded->ch_layout);
      if (swresample::swr_alloc_set_opts2(&swr, &Samples->ch_layout,
                                          AVSampleFormat(Samples->format), Samples->sample_rate,
                                          layout, AVSampleFormat(decoded->format),
                                          decoded->sample_rate, 0, nullptr) < 0 ||
          swresample::swr_init(swr) < 0)
        Fail("cannot resample");
      Resampler.reset(swr);
    }
    const int room = swresample::swr_get_out_samples(Resampler.get(), decoded->nb_samples);
    if (room < 0)
      Fail("cannot resample", room);
    const int made = Resample(room, const_cast<const uint8_t**>(decoded->extended_data),
                              decoded->nb_samples);
    if (made < 0)
      Fail("cannot resample");
    EncodeWholeFrames();
  }

  void Finish() {
    if (VideoEncoder)
      Encode(VideoEncoder.get(), nullptr, Packet.get());
    if (AudioEncoder) {
      // What the resampler's filter still holds.
      if (const int room = Resampler ? swresample::swr_get_out_samples(Resampler.get(), 0) : 0;
          room > 0)
        Resample(room, nullptr, 0);
      EncodeWholeFrames();
      Encode(AudioEncoder.get(), nullptr, Packet.get());
    }
  }

  int64_t Frames = 0, SamplesEncoded = 0;

private:
  // Resamples into the pending samples, room for `room` more; returns how
  // many were made, or the library's error.
  int Resample(int room, const uint8_t** in, int count) {
    std::vector<uint8_t*> out(Pending.size());
    for (size_t p = 0; p < Pending.size(); ++p) {
      Pending[p].resize((Held + size_t(room)) * SampleBytes);
      out[p] = Pending[p].data() + Held * SampleBytes;
    }
    const int made = swresample::swr_convert(Resampler.get(), out.data(), room, in, count);
    Held += size_t(made > 0 ? made : 0);
    return made;
  }

  void EncodeWholeFrames() {
    const size_t frameSize = size_t(Samples->nb_samples);
    size_t used = 0;
    for (; Held - used >= frameSize; used += frameSize) {
      if (avutil::av_frame_make_writable(Samples.get()) < 0)
        Fail("no sample buffer");
      for (size_t p = 0; p < Pending.size(); ++p)
        std::memcpy(Samples->data[p], Pending[p].data() + used * SampleBytes,
                    frameSize * SampleBytes);
      Samples->pts = SamplesEncoded;
      SamplesEncoded += int64_t(frameSize);
      Encode(AudioEncoder.get(), Samples.get(), Packet.get());
    }
    for (std::vector<uint8_t>& plane : Pending)
      std::memmove(plane.data(), plane.data() + used * SampleBytes, (Held - used) * SampleBytes);
    Held -= used;
  }

  TCodecContextPtr VideoEncoder, AudioEncoder;
  TFramePtr Picture, Unscaled, Samples;
  TPacketPtr Packet;
  TSwsPtr Scaler;
  TSwrPtr Resampler;
  // Resampled samples not yet a whole frame: one buffer per plane.
  std::vector<std::vector<uint8_t>> Pending;
  size_t Held = 0, SampleBytes = 0;
};

// The seed's 3GPP conversion.
std::pair<TVideoPlan, TAudioPlan> ClassicPlans() {
  TVideoPlan video;
  video.Id = AV_CODEC_ID_H263;
  video.Width = ClassicWidth;
  video.Height = ClassicHeight;
  video.BitRate = ClassicVideoBitRate;
  TAudioPlan audio;
  audio.Encoder = "libopencore_amrnb";
  audio.Id = AV_CODEC_ID_AMR_NB;
  audio.SampleRate = ClassicRate;
  audio.Channels = 1;
  audio.SampleFormat = AV_SAMPLE_FMT_S16;
  audio.BitRate = ClassicAudioBitRate;
  return {video, audio};
}

// A row's option lines for this source, as the batch plans them, made into
// encoder settings. Lines up to "acodec" are the pictures', the rest the
// sound's; the engine's own names become fields and the rest go to the
// encoder as options ("b" of "vb" and "ab" included).
std::pair<TVideoPlan, TAudioPlan> RowPlans(const TPresetRow& row, AVFormatContext* format) {
  if (row.Classic || row.VideoCodec.empty() || row.VideoCodec == "copy" ||
      row.AudioCodec == "copy")
    Fail("row '" + row.Name + "' does not encode both video and audio");
  TAVProbe probe;
  probe.Attach(format);
  TOutputOptions record;
  InitOutputOptions(record);
  FillOutputOptions(record, row, false, probe);
  probe.Close();

  const AVOutputFormat* muxer =
      avformat::av_guess_format(row.Format.empty() ? nullptr : row.Format.c_str(),
                                ("x" + row.Extension).c_str(), nullptr);
  const bool globalHeader = muxer && (muxer->flags & AVFMT_GLOBALHEADER);
  TVideoPlan video;
  TAudioPlan audio;
  video.GlobalHeader = audio.GlobalHeader = globalHeader;
  bool sound = false;
  std::istringstream lines(record.ExtraOptions);
  for (std::string line; std::getline(lines, line);) {
    const size_t equals = line.find('=');
    if (equals == std::string::npos)
      Fail("unexpected option line '" + line + "'");
    const std::string name = line.substr(0, equals), value = line.substr(equals + 1);
    if (name == "acodec") {
      sound = true;
      audio.Encoder = value;
    } else if (name == "vcodec") {
      video.Encoder = value;
    } else if (name == "s") {
      if (avutil::av_parse_video_size(&video.Width, &video.Height, value.c_str()) < 0)
        Fail("bad size '" + value + "'");
    } else if (name == "r") {
      video.Rate = {std::stoi(value), 1};
    } else if (name == "pix_fmt") {
      video.PixelFormat = avutil::av_get_pix_fmt(value.c_str());
    } else if (name == "vtag" && value.size() == 4) {
      video.Tag = MKTAG(value[0], value[1], value[2], value[3]);
    } else if (name == "vb") {
      video.Options.emplace_back("b", value);
    } else if (sound && name == "ac") {
      audio.Channels = std::stoi(value);
    } else if (sound && name == "ar") {
      audio.SampleRate = std::stoi(value);
    } else if (sound && name == "sample_fmt") {
      audio.SampleFormat = avutil::av_get_sample_fmt(value.c_str());
    } else if (sound && name == "ab") {
      audio.Options.emplace_back("b", value);
    } else {
      (sound ? audio.Options : video.Options).emplace_back(name, value);
    }
  }
  if (video.Width <= 0 || video.Height <= 0)
    Fail("the row gives no picture size for this source");
  return {video, audio};
}

struct TArguments {
  std::string File, Row;
  double Seconds = 0;
  long Frames = 0;
};

std::optional<TArguments> ParseArguments(int argc, char** argv) {
  TArguments a;
  for (int i = 1; i < argc; ++i) {
    const std::string arg = argv[i];
    if (arg == "--row" && i + 1 < argc)
      a.Row = argv[++i];
    else if (arg == "--seconds" && i + 1 < argc)
      a.Seconds = std::atof(argv[++i]);
    else if (arg == "--frames" && i + 1 < argc)
      a.Frames = std::atol(argv[++i]);
    else if (!arg.empty() && arg[0] != '-' && a.File.empty())
      a.File = arg;
    else
      return std::nullopt;
  }
  if (a.File.empty() || ((a.Seconds > 0 || a.Frames > 0) && a.Row.empty()) ||
      (a.Seconds > 0 && a.Frames > 0))
    return std::nullopt;
  return a;
}

} // namespace

int main(int argc, char** argv) {
  const std::optional<TArguments> arguments = ParseArguments(argc, argv);
  if (!arguments) {
    std::fprintf(stderr, "usage: kestro_floor_bench [--row NAME [--seconds N | --frames N]] FILE\n");
    return 2;
  }
  const TArguments& a = *arguments;
  if (!LoadAllLibraries("", true))
    Fail("cannot load the media libraries: " + LibraryLoadError());
  avutil::av_log_set_level(AV_LOG_ERROR);
  const char* file = a.File.c_str();

  const TPresetRow* row = nullptr;
  const TPresetTable table = LoadPresetTable();
  if (!a.Row.empty() && !(row = table.Find(a.Row)))
    Fail("no preset row '" + a.Row + "'");

  double decodeSeconds = 0, duration = 0, limit = a.Seconds, span = a.Seconds;
  {
    TSource source(file);
    if (source.Format->duration > 0)
      duration = double(source.Format->duration) / AV_TIME_BASE;
    if (a.Frames > 0 && source.Video) {
      // Half a frame short of picture N + 1, whatever the rounding.
      const AVRational rate = source.Format->streams[source.VideoIndex]->r_frame_rate;
      if (rate.num > 0 && rate.den > 0) {
        limit = (double(a.Frames) - 0.5) * rate.den / rate.num;
        span = double(a.Frames) * rate.den / rate.num;
      }
    }
    TCpuTimer timer(decodeSeconds);
    source.DecodeAll([](AVCodecContext*, AVFrame*) {}, limit);
  }
  if (span > 0 && (duration <= 0 || span < duration))
    duration = span;

  double encodeSeconds = 0;
  TSource source(file);
  const auto [videoPlan, audioPlan] = row ? RowPlans(*row, source.Format.get()) : ClassicPlans();
  TEncodeSide encode(source, videoPlan, audioPlan);
  const auto onFrame = [&](AVCodecContext* decoder, AVFrame* frame) {
    if (decoder == source.Video.get())
      encode.Video(frame);
    else
      encode.Audio(frame);
  };
  if (row) {
    // Timed whole: an encoder's own threads work between the calls too.
    double pass2 = 0;
    {
      TCpuTimer timer(pass2);
      source.DecodeAll(onFrame, limit);
      encode.Finish();
    }
    encodeSeconds = pass2 - decodeSeconds;
  } else {
    source.DecodeAll([&](AVCodecContext* decoder, AVFrame* frame) {
      TCpuTimer timer(encodeSeconds);
      onFrame(decoder, frame);
    });
    TCpuTimer timer(encodeSeconds);
    encode.Finish();
  }
  std::printf("decode=%.3f encode=%.3f frames=%lld samples=%lld duration=%.3f", decodeSeconds,
              encodeSeconds, (long long)encode.Frames, (long long)encode.SamplesEncoded, duration);
  if (row)
    std::printf(" size=%dx%d video=%s audio=%s", videoPlan.Width, videoPlan.Height,
                videoPlan.Encoder.c_str(), audioPlan.Encoder.c_str());
  std::printf("\n");
  return 0;
}
