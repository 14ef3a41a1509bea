// The decoder stage: one packet of an input stream decoded, the stream's
// clock kept, and every decoded unit (or, for copied streams, the packet
// itself) handed to the output streams it feeds through the engine's link.
#include "Decoder.h"
#include "EngineText.h"
#include "FFmpeg.h"
#include "PictureStage.h"
#include "RunTables.h"
#include "SegmentDecoder.h"
#include "VideoOutput.h"

#include <chrono>
#include <cstring>
#include <thread>

namespace kestro {

namespace {

int64_t FrameStep(const AVCodecContext* codec) {
  if (!codec || !codec->time_base.num || !codec->time_base.den)
    return 0;
  return int64_t(1000000) * codec->time_base.num / codec->time_base.den;
}

struct TSubtitleOwner {
  AVSubtitle* Subtitle = nullptr;
  ~TSubtitleOwner() {
    if (Subtitle)
      avcodec::avsubtitle_free(Subtitle);
  }
};

} // namespace

TDecoder::TDecoder(TDecoderOwner& owner, TInputStreamState& input, int index)
    : Owner(owner), Input(input), Index(index) {}

TDecoder::~TDecoder() {
  Close();
}

void TDecoder::SetUp() {
  if (Input.MustDecode && !DecodedFrame) {
    DecodedFrame.reset(avutil::av_frame_alloc());
    if (!DecodedFrame)
      throw FFMpegException("av_mallocz fail");
  }
}

void TDecoder::DecodeInSegments(int decoders, std::unique_ptr<TFreshStarts> starts,
                                std::mutex& codecLock, const TSegmentDecoder::TPictureWork& work) {
  auto segments = std::make_unique<TSegmentDecoder>(Input.Decoder, decoders, std::move(starts));
  segments->SetUp(codecLock, work);
  Segments = std::move(segments);
}

void TDecoder::Close() {
  Segments.reset();
  CarrierConverter.reset();
  DecodedFrame.reset();
  std::vector<uint8_t>().swap(DecodedAudio);
  std::vector<uint8_t>().swap(SubtitleBuffer);
}

int TDecoder::ToCarrier(const AVFrame* frame) {
  const int channels = frame->ch_layout.nb_channels;
  if (!CarrierConverter || DecodedFormat != frame->format || Carried.Rate != frame->sample_rate ||
      !Carried.Layout.Same(frame->ch_layout)) {
    const AVSampleFormat carrier = CarrierFormat(AVSampleFormat(frame->format));
    SwrContext* swr = nullptr;
    // The library takes the layouts by non-const pointer but only reads them.
    auto* layout = const_cast<AVChannelLayout*>(&frame->ch_layout);
    if (carrier == AV_SAMPLE_FMT_NONE ||
        swresample::swr_alloc_set_opts2(&swr, layout, carrier, frame->sample_rate, layout,
                                        AVSampleFormat(frame->format), frame->sample_rate, 0,
                                        nullptr) < 0 ||
        swresample::swr_init(swr) < 0) {
      swresample::swr_free(&swr);
      return -1;
    }
    CarrierConverter.reset(swr);
    if (!Carried.Layout.Assign(frame->ch_layout))
      return -1;
    DecodedFormat = frame->format;
    Carried.Format = carrier;
    Carried.Rate = frame->sample_rate;
  }
  const size_t bytes =
      size_t(frame->nb_samples) * channels * avutil::av_get_bytes_per_sample(Carried.Format);
  if (DecodedAudio.size() < bytes)
    DecodedAudio.resize(bytes);
  uint8_t* planes[1] = {DecodedAudio.data()};
  return swresample::swr_convert(CarrierConverter.get(), planes, frame->nb_samples,
                                 const_cast<const uint8_t**>(frame->extended_data),
                                 frame->nb_samples);
}

int TDecoder::Take(AVPacket* packet) {
  return packet ? Decode(packet) : Flush();
}

int TDecoder::Flush() {
  return Decode(nullptr);
}

int TDecoder::Decode(AVPacket* packet) {
  TInputStreamState& ist = Input;
  AVCodecContext* dec = ist.Decoder;
  const AVMediaType type = ist.Stream->codecpar->codec_type;
  if (ist.NextPts == NoTimestamp)
    ist.NextPts = ist.Pts;
  if (packet && packet->dts != AV_NOPTS_VALUE)
    ist.Pts = ist.NextPts = avutil::av_rescale_q(packet->dts, ist.Stream->time_base, AV_TIME_BASE_Q);
  if (packet && packet->size <= 0)
    return 0;

  // Copied streams get each packet exactly once, with its own payload,
  // whatever the decoder makes of it.
  if (packet)
    Owner.Copy(ist, Index, packet);

  if (!ist.MustDecode) {
    // Only the clock moves.
    if (packet) {
      if (type == AVMEDIA_TYPE_AUDIO && ist.Stream->codecpar->sample_rate > 0)
        ist.NextPts += int64_t(1000000) * ist.Stream->codecpar->frame_size /
                       ist.Stream->codecpar->sample_rate;
      else if (type == AVMEDIA_TYPE_VIDEO)
        ist.NextPts += FrameStep(dec);
      ist.Pts = ist.NextPts;
    }
    return 0;
  }
  if (type != AVMEDIA_TYPE_AUDIO && type != AVMEDIA_TYPE_VIDEO && type != AVMEDIA_TYPE_SUBTITLE)
    return -1;
  if (type == AVMEDIA_TYPE_SUBTITLE)
    return DecodeSubtitle(packet);

  SetUp();
  AVFrame* frame = DecodedFrame.get();
  if (!packet) {
    if (DecoderDrained)
      return 0;
    DecoderDrained = true;
  }
  int result = 0;
  if (Segments) {
    // With every decoder busy, the pictures they made go on before the
    // packet is taken; an error among them is told once all is through.
    int sent;
    while ((sent = Segments->SendPacket(packet)) == AVERROR(EAGAIN))
      if (HandOn(packet, frame) < 0)
        result = -1;
    if (sent < 0 && sent != AVERROR_EOF)
      return -1;
    // At the end every stretch is given out, past a picture that failed.
    for (;;) {
      const bool failed = HandOn(packet, frame) < 0;
      if (failed)
        result = -1;
      if (!failed || packet)
        break;
    }
  } else {
    const int sent = avcodec::avcodec_send_packet(dec, packet);
    if (packet && sent < 0 && sent != AVERROR(EAGAIN))
      return -1;
    result = HandOn(packet, frame);
  }
  if (result < 0)
    return -1;

  if (!packet) {
    // The picture stage may still hold pictures.
    if (type == AVMEDIA_TYPE_VIDEO)
      Owner.DrainPictures(ist, Index);
    Owner.End(ist, Index);
  }
  return 0;
}

int TDecoder::HandOn(const AVPacket* packet, AVFrame* frame) {
  TInputStreamState& ist = Input;
  const AVCodecContext* dec = ist.Decoder;
  const AVMediaType type = ist.Stream->codecpar->codec_type;
  for (int unit = 0;; ++unit) {
    const int received = Segments ? Segments->ReceiveFrame(frame)
                                  : avcodec::avcodec_receive_frame(ist.Decoder, frame);
    if (received == AVERROR(EAGAIN) || received == AVERROR_EOF)
      break;
    if (received < 0)
      return -1;
    ist.Pts = ist.NextPts;
    if (unit > 0 && packet && !Segments && Owner.Tells())
      Owner.Tell(Format("Multiple frames in a packet from stream %d", packet->stream_index));

    int audioBytes = 0;
    if (type == AVMEDIA_TYPE_AUDIO) {
      const int samples = ToCarrier(frame);
      if (samples < 0) {
        avutil::av_frame_unref(frame);
        return -1;
      }
      const int channels = frame->ch_layout.nb_channels;
      audioBytes = samples * channels * avutil::av_get_bytes_per_sample(Carried.Format);
      if (frame->sample_rate > 0)
        ist.NextPts += int64_t(1000000) * samples / frame->sample_rate;
      const int volume = Owner.Volume();
      if (volume != 256)
        ApplyVolume(DecodedAudio.data(), int64_t(samples) * channels, Carried.Format, volume);
    } else {
      // The picture's own time, not its packet's: a decoder working on
      // several pictures at once gives each back packets after its own.
      if (frame->best_effort_timestamp != AV_NOPTS_VALUE)
        ist.Pts = avutil::av_rescale_q(frame->best_effort_timestamp, ist.Stream->time_base,
                                       AV_TIME_BASE_Q);
      ist.NextPts = ist.Pts + FrameStep(dec);
    }

    if (ist.RateEmulation)
      PaceToRealTime();

    if (type == AVMEDIA_TYPE_AUDIO)
      Owner.Sound(ist, Index, Carried, DecodedAudio.data(), audioBytes);
    else
      Owner.Picture(ist, Index, frame);
    avutil::av_frame_unref(frame);
  }
  return 0;
}

int TDecoder::DecodeSubtitle(AVPacket* packet) {
  if (!packet)
    return 0;
  AVSubtitle subtitle{};
  int got = 0;
  if (avcodec::avcodec_decode_subtitle2(Input.Decoder, &subtitle, &got, packet) < 0)
    return -1;
  if (!got)
    return 0;
  TSubtitleOwner owner{&subtitle};
  Input.Pts = Input.NextPts;
  Owner.Subtitle(Input, Index, &subtitle, packet->pts, SubtitleBuffer);
  return 0;
}

// Reads no faster than real time: the stream's pictures or sound units are
// due at their rate from the start of reading.
void TDecoder::PaceToRealTime() {
  TInputStreamState& ist = Input;
  const AVCodecContext* dec = ist.Decoder;
  const int64_t target =
      avutil::av_rescale(int64_t(ist.FramesRead) * dec->time_base.num, 1000000,
                         dec->time_base.den ? dec->time_base.den : 1);
  const int64_t ahead = target - (avutil::av_gettime() - ist.ReadStart);
  if (ahead > 50000)
    std::this_thread::sleep_for(std::chrono::milliseconds(ahead / 1000));
  ++ist.FramesRead;
}

namespace {

class TDecoderLink : public TDecoderOwner {
public:
  explicit TDecoderLink(TCustomFFmpeg& engine) : Engine(engine) {}
  int Volume() const override { return Engine.Settings.AudioVolume; }
  bool Tells() const override { return Engine.Settings.Verbose > 0 && Engine.LogCallback; }
  void Tell(const std::string& text) override { Engine.Log(0, text); }

  void Copy(TInputStreamState& ist, int index, const AVPacket* packet) override {
    if (!DueAt(Engine, ist))
      return;
    const AVMediaType type = ist.Stream->codecpar->codec_type;
    for (auto& ost : Engine.Run->OutputStreams) {
      if (ost->SourceStreamIndex != index || ost->MustEncode)
        continue;
      if (ost->FramesWritten == 0 && !(packet->flags & AV_PKT_FLAG_KEY))
        continue; // a copy starts at a key frame
      if (type == AVMEDIA_TYPE_AUDIO)
        Engine.RunState.AudioBytesWritten += packet->size;
      else if (type == AVMEDIA_TYPE_VIDEO) {
        Engine.RunState.VideoBytesWritten += packet->size;
        ++ost->SyncPts;
      }
      TPacketPtr copy(avcodec::av_packet_clone(packet));
      if (!copy)
        throw FFMpegException("av_mallocz fail");
      const AVRational from = ist.Stream->time_base, to = ost->Stream->time_base;
      copy->stream_index = ost->StreamIndex;
      copy->pts = packet->pts == AV_NOPTS_VALUE ? AV_NOPTS_VALUE
                                                : avutil::av_rescale_q(packet->pts, from, to);
      copy->dts = packet->dts == AV_NOPTS_VALUE ? avutil::av_rescale_q(ist.Pts, AV_TIME_BASE_Q, to)
                                                : avutil::av_rescale_q(packet->dts, from, to);
      copy->duration = avutil::av_rescale_q(packet->duration, from, to);
      Engine.WritePacket(*ost, copy.get());
      ++ost->Encoder->frame_number;
      ++ost->FramesWritten;
    }
  }

  void Sound(TInputStreamState& ist, int index, const TAudioCarrier& carrier, const uint8_t* data,
             int size) override {
    if (!DueAt(Engine, ist))
      return;
    for (auto& ost : Engine.Run->OutputStreams)
      if (EncodesInput(*ost, index)) {
        EnsureEncoderType(*ost, AVMEDIA_TYPE_AUDIO);
        Engine.EncodeAndWriteAudio(ost->Output, *ost, ist, data, size, &carrier);
      }
  }

  // Set-up gives every decoded video stream its picture stage.
  void Picture(TInputStreamState& ist, int, AVFrame* picture) override {
    if (ist.Pictures)
      ist.Pictures->Take(picture);
  }

  void DrainPictures(TInputStreamState& ist, int) override {
    if (ist.Pictures)
      ist.Pictures->Flush();
  }

  void Subtitle(TInputStreamState& ist, int index, const AVSubtitle* subtitle, int64_t pts,
                std::vector<uint8_t>& buffer) override {
    if (!DueAt(Engine, ist))
      return;
    for (auto& ost : Engine.Run->OutputStreams)
      if (EncodesInput(*ost, index))
        Engine.EncodeAndWriteSubtitle(ost->Output, *ost, ist, subtitle, pts, buffer);
  }

  void End(TInputStreamState&, int index) override {
    for (auto& ost : Engine.Run->OutputStreams) {
      if (!EncodesInput(*ost, index))
        continue;
      if (ost->Encoder->codec_type == AVMEDIA_TYPE_AUDIO)
        Engine.FlushAudioFifo(ost->Output, *ost);
      else if (ost->Encoder->codec_type == AVMEDIA_TYPE_VIDEO)
        Engine.PostOutputWork([&stream = *ost] { stream.Video->Flush(); });
    }
  }

private:
  TCustomFFmpeg& Engine;
};

// The picture an input stream's decoders may scale its pictures to: when
// one encoded video stream takes them and nothing turns, hooks, filters,
// deinterlaces, crops or pads them before its scaler.
std::optional<TScaleTarget> ScaleAheadTarget(TCustomFFmpeg& engine, const TInputStreamState& ist,
                                             int index) {
  const auto& settings = engine.Settings;
  if (settings.FiltersInUse || settings.Deinterlace || settings.FrameHooksInUse ||
      engine.CustomHookCallback || engine.BeforeHookCallback ||
      engine.PictureRules(ist).QuarterTurns != 0)
    return std::nullopt;
  TOutputStreamState* only = nullptr;
  for (auto& ost : engine.Run->OutputStreams) {
    if (!EncodesInput(*ost, index))
      continue;
    if (only)
      return std::nullopt;
    only = ost.get();
  }
  if (!only || !only->Video || !only->Encoder || only->Encoder->codec_type != AVMEDIA_TYPE_VIDEO)
    return std::nullopt;
  return only->Video->AheadTarget();
}

} // namespace

std::unique_ptr<TDecoderOwner> MakeDecoderLink(TCustomFFmpeg& engine) {
  return std::make_unique<TDecoderLink>(engine);
}

int TCustomFFmpeg::DecodeAndDispatchPacket(TInputStreamState& ist, int inputIndex,
                                           AVPacket* packet) {
  auto& decoders = Run->Decoders;
  if (decoders.size() <= size_t(inputIndex))
    decoders.resize(size_t(inputIndex) + 1);
  auto& decoder = decoders[size_t(inputIndex)];
  if (!decoder) {
    decoder = std::make_unique<TDecoder>(*DecoderLink, ist, inputIndex);
    decoder->SetUp();
    if (SegmentDecodingFits(ist)) {
      // Where nothing else happens to the pictures on their way to the one
      // encoder they go to, the decoders also scale them, each on its own
      // thread, while the pixels are fresh in its cache.
      TSegmentDecoder::TPictureWork work;
      if (const auto target = ScaleAheadTarget(*this, ist, inputIndex))
        work = [target = *target] {
          auto ahead = std::make_shared<TScaleAhead>(target);
          return [ahead](AVFrame* picture) { (*ahead)(picture); };
        };
      decoder->DecodeInSegments(CoresForRun(), TFreshStarts::For(ist.Stream->codecpar), CodecLock(),
                                work);
      if (Settings.Verbose > 1 && LogCallback)
        Log(1, Format("Decoding stream #%d.%d in stretches, on %d decoders at once", ist.FileIndex,
                      ist.StreamIndex, CoresForRun()));
    }
  }
  return packet ? decoder->Take(packet) : decoder->Flush();
}

void TCustomFFmpeg::EncodeAndWriteSubtitle(AVFormatContext*, TOutputStreamState& ost,
                                           TInputStreamState& ist, const AVSubtitle* subtitle,
                                           int64_t pts, std::vector<uint8_t>& buffer) {
  if (pts == AV_NOPTS_VALUE) {
    if (Settings.StopOnError)
      throw FFMpegException("Subtitle packets must have a pts");
    Log(0, "Subtitle packets must have a pts");
    return;
  }
  AVCodecContext* enc = ost.Encoder;
  // DVB subtitles are shown by one packet and cleared by a second.
  const int packets = enc->codec_id == AV_CODEC_ID_DVB_SUBTITLE ? 2 : 1;
  if (buffer.size() < 65536)
    buffer.resize(65536);
  // The encoders take a cue that starts at its own time: the decoder's
  // display delay moves into the time stamp.
  const AVRational ms{1, 1000};
  AVSubtitle timed = *subtitle;
  timed.pts = avutil::av_rescale_q(pts, ist.Stream->time_base, AV_TIME_BASE_Q) +
              avutil::av_rescale_q(subtitle->start_display_time, ms, AV_TIME_BASE_Q) -
              Settings.StartTime;
  timed.end_display_time -= timed.start_display_time;
  timed.start_display_time = 0;
  for (int i = 0; i < packets; ++i) {
    if (i == 1)
      timed.num_rects = 0;
    const int size = avcodec::avcodec_encode_subtitle(enc, buffer.data(),
                                                      int(buffer.size()), &timed);
    if (size < 0)
      throw FFMpegException("Subtitle encoding failed");
    TPacketPtr packet(avcodec::av_packet_alloc());
    if (!packet || avcodec::av_new_packet(packet.get(), size) < 0)
      throw FFMpegException("av_mallocz fail");
    std::memcpy(packet->data, buffer.data(), size_t(size));
    packet->stream_index = ost.StreamIndex;
    packet->pts = avutil::av_rescale_q(timed.pts, AV_TIME_BASE_Q, ost.Stream->time_base);
    if (packets == 2) {
      if (i == 1)
        packet->pts += avutil::av_rescale_q(timed.end_display_time, ms, ost.Stream->time_base);
    } else {
      packet->duration =
          avutil::av_rescale_q(timed.end_display_time, ms, ost.Stream->time_base);
    }
    packet->dts = packet->pts;
    WritePacket(ost, packet.get());
  }
}

} // namespace kestro
