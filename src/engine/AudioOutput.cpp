// Audio output: keeping the output in step with the input clock (dropping,
// inserting silence, stretching through the resampler), rate, channel and
// sample format change in one converter, framing through the sample FIFO,
// and encoding. Decoded audio arrives interleaved in its input's carrier
// format.
#include "AudioOutput.h"
#include "AudioFormats.h"
#include "EngineText.h"
#include "FFmpeg.h"

#include <algorithm>
#include <cmath>
#include <cstring>

namespace kestro {

struct TAudioSink {
  AVCodecContext* Enc;
  int Channels;
  AVSampleFormat Packed; // the FIFO holds the packed form of the encoder's format
  int SampleBytes;       // bytes of one sample of one channel
  int FrameBytes;        // bytes of one sample of every channel

  explicit TAudioSink(AVCodecContext* enc)
      : Enc(enc), Channels(enc->ch_layout.nb_channels),
        Packed(avutil::av_get_packed_sample_fmt(enc->sample_fmt)),
        SampleBytes(avutil::av_get_bytes_per_sample(enc->sample_fmt)),
        FrameBytes(SampleBytes * Channels) {}
};

namespace {

constexpr size_t WorkBufferFloor = 262144;
constexpr int64_t SilenceCap = 131072; // a chunk never grows beyond this by silence

uint8_t* Reserve(std::vector<uint8_t>& buffer, size_t bytes, size_t floor = 0) {
  const size_t wanted = std::max(bytes, floor);
  if (buffer.size() < wanted)
    buffer.resize(wanted);
  return buffer.data();
}

// A channel layout the resampler can work with: unordered layouts become
// the usual layout for their channel count.
struct TLayout {
  AVChannelLayout Layout{};
  explicit TLayout(const AVChannelLayout& from) {
    if (from.order == AV_CHANNEL_ORDER_UNSPEC)
      avutil::av_channel_layout_default(&Layout, from.nb_channels);
    else
      avutil::av_channel_layout_copy(&Layout, &from);
  }
  bool Same(const TLayout& other) const {
    return avutil::av_channel_layout_compare(&Layout, &other.Layout) == 0;
  }
  ~TLayout() { avutil::av_channel_layout_uninit(&Layout); }
  TLayout(const TLayout&) = delete;
  TLayout& operator=(const TLayout&) = delete;
};

// A frame of the encoder's format made of packed samples; a planar encoder
// gets one plane per channel.
TFramePtr MakeAudioFrame(const TAudioSink& sink, const uint8_t* packed, int samples) {
  TFramePtr frame(avutil::av_frame_alloc());
  if (!frame)
    return frame;
  frame->nb_samples = samples;
  frame->format = sink.Enc->sample_fmt;
  frame->sample_rate = sink.Enc->sample_rate;
  if (avutil::av_channel_layout_copy(&frame->ch_layout, &sink.Enc->ch_layout) < 0 ||
      avutil::av_frame_get_buffer(frame.get(), 0) < 0)
    return TFramePtr();
  if (!avutil::av_sample_fmt_is_planar(sink.Enc->sample_fmt)) {
    std::memcpy(frame->data[0], packed, size_t(samples) * sink.FrameBytes);
    return frame;
  }
  for (int c = 0; c < sink.Channels; ++c) {
    uint8_t* plane = frame->extended_data[c];
    const uint8_t* from = packed + size_t(c) * sink.SampleBytes;
    for (int i = 0; i < samples; ++i)
      std::memcpy(plane + size_t(i) * sink.SampleBytes, from + size_t(i) * sink.FrameBytes,
                  size_t(sink.SampleBytes));
  }
  return frame;
}

std::string ResampleFailure(const AVCodecContext* dec, const AVCodecContext* enc) {
  return Format("Can not resample %d channels @ %d Hz to %d channels @ %d Hz",
                dec ? dec->ch_layout.nb_channels : 0, dec ? dec->sample_rate : 0,
                enc->ch_layout.nb_channels, enc->sample_rate);
}

} // namespace

void TAudioOutput::SetUp(int sourceRate) {
  SampleFifo.reset(avutil::av_fifo_alloc2(1024, 1, AV_FIFO_FLAG_AUTO_GROW));
  if (!SampleFifo)
    throw FFMpegException("av_fifo_init fail");
  UsesResampler = Stream.Encoder->sample_rate != sourceRate || Owner.SyncMethod() > 1;
}

void TAudioOutput::Close() {
  Resampler.reset();
  SampleFifo.reset();
  WorkBuffer = {};
  SilenceBuffer = {};
  FrameBuffer = {};
}

size_t TAudioOutput::QueuedBytes() const {
  return SampleFifo ? avutil::av_fifo_can_read(SampleFifo.get()) : 0;
}

// Encodes `samples` packed samples as one frame, stamped with SyncPts.
void TAudioOutput::EncodeSamples(const TAudioSink& sink, const uint8_t* packed, int samples) {
  if (samples <= 0)
    return;
  TFramePtr frame = MakeAudioFrame(sink, packed, samples);
  if (!frame)
    throw FFMpegException("Audio encoding failed");
  int64_t pts = Stream.SyncPts;
  if (Stream.NextEncoderPts != NoTimestamp && pts < Stream.NextEncoderPts)
    pts = Stream.NextEncoderPts;
  frame->pts = pts;
  Stream.NextEncoderPts = pts + samples;
  Stream.SyncPts += samples;
  Owner.Encode(Stream, frame.get());
}

AVFifo* TAudioOutput::Queue() const {
  if (!SampleFifo)
    throw FFMpegException("av_fifo_realloc2() failed");
  return SampleFifo.get();
}

void TAudioOutput::EncodeWholeFrames(const TAudioSink& sink) {
  const int frameSize = sink.Enc->frame_size;
  const size_t frameBytes = size_t(frameSize) * sink.FrameBytes;
  AVFifo* fifo = Queue();
  while (avutil::av_fifo_can_read(fifo) >= frameBytes) {
    uint8_t* buffer = Reserve(FrameBuffer, frameBytes);
    avutil::av_fifo_read(fifo, buffer, frameBytes);
    EncodeSamples(sink, buffer, frameSize);
  }
}

// Samples in the encoder's packed format: framed encoders collect them in
// the queue, the others take each chunk as it comes.
void TAudioOutput::Enqueue(const TAudioSink& sink, const uint8_t* samples, size_t bytes) {
  if (sink.Enc->frame_size <= 1) {
    EncodeSamples(sink, samples, int(bytes / sink.FrameBytes));
    return;
  }
  AVFifo* fifo = Queue();
  const size_t room = avutil::av_fifo_can_write(fifo);
  if ((room < bytes && avutil::av_fifo_grow2(fifo, bytes - room) < 0) ||
      (bytes && avutil::av_fifo_write(fifo, samples, bytes) < 0))
    throw FFMpegException("av_fifo_realloc2() failed");
  EncodeWholeFrames(sink);
}

// Converts input samples (null: what the resampler still holds) into the
// work buffer in the encoder's packed format; returns the bytes there.
size_t TAudioOutput::Resample(const TAudioSink& sink, const uint8_t* data, int samples,
                              const AVCodecContext* dec) {
  SwrContext* swr = Resampler.get();
  const int room = swresample::swr_get_out_samples(swr, samples);
  if (room < 0)
    throw FFMpegException(ResampleFailure(dec, sink.Enc));
  uint8_t* buffer = Reserve(WorkBuffer, size_t(room) * sink.FrameBytes, WorkBufferFloor);
  uint8_t* out[1] = {buffer};
  const uint8_t* in[1] = {data};
  // Input that does not fit yet stays inside the resampler.
  const int made =
      room || data ? swresample::swr_convert(swr, out, room, data ? in : nullptr, samples) : 0;
  if (made < 0)
    throw FFMpegException(ResampleFailure(dec, sink.Enc));
  return size_t(made) * sink.FrameBytes;
}

// What the resampler still holds (its filter's last input samples).
void TAudioOutput::FlushResampler(const TAudioSink& sink, const AVCodecContext* dec) {
  if (Resampler)
    while (const size_t bytes = Resample(sink, nullptr, 0, dec))
      Enqueue(sink, WorkBuffer.data(), bytes);
}

void TAudioOutput::MakeResampler(const TAudioSink& sink, const AVChannelLayout& layout,
                                 AVSampleFormat format, int rate, const AVCodecContext* dec) {
  AVCodecContext* enc = sink.Enc;
  TLayout inLayout(layout), outLayout(enc->ch_layout);
  SwrContext* swr = nullptr;
  bool made =
      swresample::swr_alloc_set_opts2(&swr, &outLayout.Layout, sink.Packed, enc->sample_rate,
                                      &inLayout.Layout, format, rate, 0, nullptr) >= 0;
  // With drift compensation the resampler must run even at equal rates.
  if (made && Owner.SyncMethod() > 1)
    made = avutil::av_opt_set_int(swr, "flags", SWR_FLAG_RESAMPLE, 0) >= 0;
  if (!made || swresample::swr_init(swr) < 0 || !ResampleLayout.Assign(layout)) {
    swresample::swr_free(&swr);
    throw FFMpegException(ResampleFailure(dec, enc));
  }
  Resampler.reset(swr);
  ResampleRate = rate;
  ResampleFormat = format;
}

void TAudioOutput::Take(TInputStreamState& input, const uint8_t* data, int size,
                        const TAudioCarrier* carrier) {
  AVCodecContext* enc = Stream.Encoder;
  const AVCodecContext* dec = input.Decoder;
  const TAudioSink sink(enc);
  // The samples come in the carrier format, rate and layout of the decoded
  // audio (the decoder's own when no frame said otherwise).
  const bool decoded = carrier && carrier->Rate > 0;
  const AVChannelLayout& decLayout = decoded ? carrier->Layout.Layout : dec->ch_layout;
  const AVSampleFormat decFormat = decoded ? carrier->Format : CarrierFormat(dec->sample_fmt);
  const int encChannels = sink.Channels, decChannels = decLayout.nb_channels;
  const int encRate = enc->sample_rate, decRate = decoded ? carrier->Rate : dec->sample_rate;
  const int inputSampleBytes =
      decFormat == AV_SAMPLE_FMT_NONE ? 0 : avutil::av_get_bytes_per_sample(decFormat);
  if (encChannels <= 0 || decChannels <= 0 || encRate <= 0 || decRate <= 0 ||
      sink.SampleBytes <= 0 || inputSampleBytes <= 0)
    throw FFMpegException(ResampleFailure(dec, enc));
  if (!data || size < 0)
    size = 0;

  // Converter: rate, layout and sample format at once, and drift
  // compensation. It is remade when the decoded audio changes mid-stream,
  // after giving out what it holds of the audio before the change.
  if (!UsesResampler && (encRate != decRate || decFormat != sink.Packed ||
                         !TLayout(decLayout).Same(TLayout(enc->ch_layout))))
    UsesResampler = true;
  if (Resampler &&
      (ResampleRate != decRate || ResampleFormat != decFormat || !ResampleLayout.Same(decLayout))) {
    FlushResampler(sink, dec);
    Resampler.reset();
  }
  if (UsesResampler && !Resampler)
    MakeResampler(sink, decLayout, decFormat, decRate, dec);

  // Audio sync against the input clock.
  const int syncMethod = Owner.SyncMethod();
  const TInputStreamState& sync = Stream.SyncInput ? *Stream.SyncInput : input;
  const double ipts = double(sync.Pts - Owner.ClockStart()) / 1000000.0;
  const int64_t fifoSamples =
      SampleFifo ? int64_t(avutil::av_fifo_can_read(SampleFifo.get()) / size_t(sink.FrameBytes))
                 : 0;
  if (syncMethod != 0) {
    // Output samples the output lags behind the input clock.
    const double delta = ipts * encRate - double(Stream.SyncPts) - double(fifoSamples);
    const int inputFrameBytes = inputSampleBytes * decChannels;
    int64_t byteDelta = int64_t(std::trunc(delta * decRate / encRate)) * inputFrameBytes;
    if (std::fabs(delta) > 50) {
      if (input.AtStart || std::fabs(delta) > encRate * double(Owner.DriftThreshold())) {
        if (byteDelta < 0) {
          byteDelta = std::max<int64_t>(byteDelta, -size);
          size += int(byteDelta);
          data -= byteDelta;
          if (Owner.Tells())
            Owner.Tell(Format("discarding %d audio samples", int(std::trunc(-delta))));
          if (size == 0)
            return;
          input.AtStart = 0;
        } else {
          if (size + byteDelta > SilenceCap) {
            // Whole samples only, so the channels stay in their places.
            const int64_t room = SilenceCap - size;
            byteDelta = room > 0 ? room - room % inputFrameBytes : 0;
          } else {
            input.AtStart = 0;
          }
          uint8_t* silence = Reserve(SilenceBuffer, size_t(size + byteDelta));
          avutil::av_samples_set_silence(&silence, 0, int(byteDelta / inputFrameBytes), decChannels,
                                         decFormat);
          if (size)
            std::memcpy(silence + byteDelta, data, size_t(size));
          data = silence;
          size += int(byteDelta);
          if (Owner.Tells())
            Owner.Tell(Format("adding %d audio samples of silence", int(std::trunc(delta))));
        }
      } else if (syncMethod > 1) {
        const int comp =
            int(std::clamp(std::trunc(delta), -double(syncMethod), double(syncMethod)));
        if (Owner.Tells())
          Owner.Tell(Format("compensating audio timestamp drift:%.2f compensation:%d in:%d", delta,
                            comp, encRate));
        if (Resampler)
          swresample::swr_set_compensation(Resampler.get(), comp, encRate);
      }
    }
  } else {
    Stream.SyncPts = std::llrint(ipts * encRate) - fifoSamples;
  }

  const uint8_t* samples = data;
  size_t bytes = size_t(size);
  if (UsesResampler) {
    bytes = Resample(sink, data, size / (inputSampleBytes * decChannels), dec);
    samples = WorkBuffer.data();
  }
  Enqueue(sink, samples, bytes);
}

void TAudioOutput::Flush() {
  AVCodecContext* enc = Stream.Encoder;
  const TAudioSink sink(enc);
  if (sink.FrameBytes <= 0)
    return;
  FlushResampler(sink, Stream.SyncInput ? Stream.SyncInput->Decoder : nullptr);

  if (enc->frame_size > 1 && SampleFifo) {
    AVFifo* fifo = SampleFifo.get();
    EncodeWholeFrames(sink);
    const int samples = int(avutil::av_fifo_can_read(fifo) / size_t(sink.FrameBytes));
    const int capabilities = enc->codec ? enc->codec->capabilities : 0;
    // Encoders that cannot take a short frame leave the rest unencoded.
    if (samples > 0 &&
        (capabilities & (AV_CODEC_CAP_SMALL_LAST_FRAME | AV_CODEC_CAP_VARIABLE_FRAME_SIZE))) {
      const size_t bytes = size_t(samples) * sink.FrameBytes;
      uint8_t* buffer = Reserve(FrameBuffer, bytes);
      avutil::av_fifo_read(fifo, buffer, bytes);
      EncodeSamples(sink, buffer, samples);
    }
  }
  Owner.Encode(Stream, nullptr);
}

// ---- The engine's side: its settings, log and encoder path for the stage,
// and the entry points the decoding side calls.

namespace {

class TAudioLink : public TAudioOutputOwner {
public:
  explicit TAudioLink(TCustomFFmpeg& engine) : Engine(engine) {}
  int SyncMethod() const override { return Engine.Settings.AudioSyncMethod; }
  float DriftThreshold() const override { return Engine.Settings.AudioDriftThreshold; }
  int64_t ClockStart() const override { return Engine.Settings.StartTime; }
  bool Tells() const override { return Engine.Settings.Verbose > 2; }
  void Tell(const std::string& text) override { Engine.Log(1, text); }
  void Encode(TOutputStreamState& stream, AVFrame* frame) override {
    Engine.EncodeAndWriteFrame(stream.Output, stream, frame);
  }

private:
  TCustomFFmpeg& Engine;
};

} // namespace

std::unique_ptr<TAudioOutputOwner> MakeAudioLink(TCustomFFmpeg& engine) {
  return std::make_unique<TAudioLink>(engine);
}

std::unique_ptr<TAudioOutput> TCustomFFmpeg::MakeAudioOutput(TOutputStreamState& stream,
                                                             int sourceRate) {
  auto audio = std::make_unique<TAudioOutput>(*AudioLink, stream);
  audio->SetUp(sourceRate);
  return audio;
}

void TCustomFFmpeg::EncodeAndWriteAudio(AVFormatContext*, TOutputStreamState& stream,
                                        TInputStreamState& input, const uint8_t* data, int size,
                                        const TAudioCarrier* carrier) {
  stream.Audio->Take(input, data, size, carrier);
}

void TCustomFFmpeg::FlushAudioFifo(AVFormatContext*, TOutputStreamState& stream) {
  stream.Audio->Flush();
}

} // namespace kestro
