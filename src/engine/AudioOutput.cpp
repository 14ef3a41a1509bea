// Audio output: keeping the output in step with the input clock (dropping,
// inserting silence, stretching through the resampler), rate, channel and
// sample format change in one converter, framing through the sample FIFO,
// and encoding. Decoded audio arrives interleaved in its input's carrier
// format.
#include "AudioFormats.h"
#include "EngineText.h"
#include "FFmpeg.h"

#include <algorithm>
#include <cmath>
#include <cstring>

namespace kestro {

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

// The stream's encoder seen as a sample sink.
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

// One output stream's way from decoded samples to encoded packets, over the
// engine's working buffers.
struct TAudioOutput {
  TCustomFFmpeg& E;
  AVFormatContext* Output;
  TOutputStreamState& Stream;
  TAudioSink Sink;

  TAudioOutput(TCustomFFmpeg& e, AVFormatContext* output, TOutputStreamState& stream)
      : E(e), Output(output), Stream(stream), Sink(stream.Encoder) {}

  // Encodes `samples` packed samples as one frame, stamped with SyncPts.
  void EncodeSamples(const uint8_t* packed, int samples) {
    if (samples <= 0)
      return;
    TFramePtr frame = MakeAudioFrame(Sink, packed, samples);
    if (!frame)
      throw FFMpegException("Audio encoding failed");
    int64_t pts = Stream.SyncPts;
    if (Stream.NextEncoderPts != NoTimestamp && pts < Stream.NextEncoderPts)
      pts = Stream.NextEncoderPts;
    frame->pts = pts;
    Stream.NextEncoderPts = pts + samples;
    Stream.SyncPts += samples;
    E.EncodeAndWriteFrame(Output, Stream, frame.get());
  }

  AVFifo* Fifo() const {
    if (!Stream.SampleFifo)
      throw FFMpegException("av_fifo_realloc2() failed");
    return Stream.SampleFifo.get();
  }

  void EncodeWholeFrames() {
    const int frameSize = Sink.Enc->frame_size;
    const size_t frameBytes = size_t(frameSize) * Sink.FrameBytes;
    AVFifo* fifo = Fifo();
    while (avutil::av_fifo_can_read(fifo) >= frameBytes) {
      uint8_t* buffer = Reserve(E.AudioFrameBuffer, frameBytes);
      avutil::av_fifo_read(fifo, buffer, frameBytes);
      EncodeSamples(buffer, frameSize);
    }
  }

  // Samples in the encoder's packed format: framed encoders collect them in
  // the FIFO, the others take each chunk as it comes.
  void Queue(const uint8_t* samples, size_t bytes) {
    if (Sink.Enc->frame_size <= 1) {
      EncodeSamples(samples, int(bytes / Sink.FrameBytes));
      return;
    }
    AVFifo* fifo = Fifo();
    const size_t room = avutil::av_fifo_can_write(fifo);
    if ((room < bytes && avutil::av_fifo_grow2(fifo, bytes - room) < 0) ||
        (bytes && avutil::av_fifo_write(fifo, samples, bytes) < 0))
      throw FFMpegException("av_fifo_realloc2() failed");
    EncodeWholeFrames();
  }

  // Converts input samples (null: what the resampler still holds) into the
  // work buffer in the encoder's packed format; returns the bytes there.
  size_t Resample(const uint8_t* data, int samples, const AVCodecContext* dec) {
    SwrContext* swr = Stream.Resampler.get();
    const int room = swresample::swr_get_out_samples(swr, samples);
    if (room < 0)
      throw FFMpegException(ResampleFailure(dec, Sink.Enc));
    uint8_t* buffer = Reserve(E.AudioWorkBuffer, size_t(room) * Sink.FrameBytes, WorkBufferFloor);
    uint8_t* out[1] = {buffer};
    const uint8_t* in[1] = {data};
    // Input that does not fit yet stays inside the resampler.
    const int made =
        room || data ? swresample::swr_convert(swr, out, room, data ? in : nullptr, samples) : 0;
    if (made < 0)
      throw FFMpegException(ResampleFailure(dec, Sink.Enc));
    return size_t(made) * Sink.FrameBytes;
  }

  // What the resampler still holds (its filter's last input samples).
  void FlushResampler(const AVCodecContext* dec) {
    if (Stream.Resampler)
      while (const size_t bytes = Resample(nullptr, 0, dec))
        Queue(E.AudioWorkBuffer.data(), bytes);
  }
};

} // namespace

void TCustomFFmpeg::EncodeAndWriteAudio(AVFormatContext* output, TOutputStreamState& stream,
                                        TInputStreamState& input, const uint8_t* data, int size) {
  AVCodecContext* enc = stream.Encoder;
  const AVCodecContext* dec = input.Decoder;
  TAudioOutput out(*this, output, stream);
  // The samples come in the carrier format, rate and layout of the decoded
  // audio (the decoder's own when no frame said otherwise).
  const bool decoded = input.CarrierRate > 0;
  const AVChannelLayout& decLayout = decoded ? input.CarrierLayout.Layout : dec->ch_layout;
  const AVSampleFormat decFormat =
      decoded ? input.CarrierFormat : CarrierFormat(dec->sample_fmt);
  const int encChannels = out.Sink.Channels, decChannels = decLayout.nb_channels;
  const int encRate = enc->sample_rate, decRate = decoded ? input.CarrierRate : dec->sample_rate;
  const int inputSampleBytes =
      decFormat == AV_SAMPLE_FMT_NONE ? 0 : avutil::av_get_bytes_per_sample(decFormat);
  if (encChannels <= 0 || decChannels <= 0 || encRate <= 0 || decRate <= 0 ||
      out.Sink.SampleBytes <= 0 || inputSampleBytes <= 0)
    throw FFMpegException(ResampleFailure(dec, enc));
  if (!data || size < 0)
    size = 0;

  // Converter: rate, layout and sample format at once, and drift
  // compensation. It is remade when the decoded audio changes mid-stream,
  // after giving out what it holds of the audio before the change.
  if (!stream.UsesResampler && (encRate != decRate || decFormat != out.Sink.Packed ||
                                !TLayout(decLayout).Same(TLayout(enc->ch_layout))))
    stream.UsesResampler = 1;
  if (stream.Resampler && (stream.ResampleRate != decRate || stream.ResampleFormat != decFormat ||
                           !stream.ResampleLayout.Same(decLayout))) {
    out.FlushResampler(dec);
    stream.Resampler.reset();
  }
  if (stream.UsesResampler && !stream.Resampler) {
    TLayout inLayout(decLayout), outLayout(enc->ch_layout);
    SwrContext* swr = nullptr;
    bool made = swresample::swr_alloc_set_opts2(&swr, &outLayout.Layout, out.Sink.Packed, encRate,
                                                &inLayout.Layout, decFormat, decRate, 0,
                                                nullptr) >= 0;
    // With drift compensation the resampler must run even at equal rates.
    if (made && AudioSyncMethod > 1)
      made = avutil::av_opt_set_int(swr, "flags", SWR_FLAG_RESAMPLE, 0) >= 0;
    if (!made || swresample::swr_init(swr) < 0 || !stream.ResampleLayout.Assign(decLayout)) {
      swresample::swr_free(&swr);
      throw FFMpegException(ResampleFailure(dec, enc));
    }
    stream.Resampler.reset(swr);
    stream.ResampleRate = decRate;
    stream.ResampleFormat = decFormat;
  }

  // Audio sync against the input clock.
  const TInputStreamState& sync = stream.SyncInput ? *stream.SyncInput : input;
  const double ipts = double(sync.Pts - StartTime) / 1000000.0;
  const int64_t fifoSamples =
      stream.SampleFifo
          ? int64_t(avutil::av_fifo_can_read(stream.SampleFifo.get()) / size_t(out.Sink.FrameBytes))
          : 0;
  if (AudioSyncMethod != 0) {
    // Output samples the output lags behind the input clock.
    const double delta = ipts * encRate - double(stream.SyncPts) - double(fifoSamples);
    const int inputFrameBytes = inputSampleBytes * decChannels;
    int64_t byteDelta = int64_t(std::trunc(delta * decRate / encRate)) * inputFrameBytes;
    if (std::fabs(delta) > 50) {
      if (input.AtStart || std::fabs(delta) > encRate * double(AudioDriftThreshold)) {
        if (byteDelta < 0) {
          byteDelta = std::max<int64_t>(byteDelta, -size);
          size += int(byteDelta);
          data -= byteDelta;
          if (Verbose > 2)
            Log(1, Format("discarding %d audio samples", int(std::trunc(-delta))));
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
          uint8_t* silence = Reserve(AudioSilenceBuffer, size_t(size + byteDelta));
          avutil::av_samples_set_silence(&silence, 0, int(byteDelta / inputFrameBytes),
                                         decChannels, decFormat);
          if (size)
            std::memcpy(silence + byteDelta, data, size_t(size));
          data = silence;
          size += int(byteDelta);
          if (Verbose > 2)
            Log(1, Format("adding %d audio samples of silence", int(std::trunc(delta))));
        }
      } else if (AudioSyncMethod > 1) {
        const int comp =
            int(std::clamp(std::trunc(delta), -double(AudioSyncMethod), double(AudioSyncMethod)));
        if (Verbose > 2)
          Log(1, Format("compensating audio timestamp drift:%.2f compensation:%d in:%d", delta,
                        comp, encRate));
        if (stream.Resampler)
          swresample::swr_set_compensation(stream.Resampler.get(), comp, encRate);
      }
    }
  } else {
    stream.SyncPts = std::llrint(ipts * encRate) - fifoSamples;
  }

  const uint8_t* samples = data;
  size_t bytes = size_t(size);
  if (stream.UsesResampler) {
    bytes = out.Resample(data, size / (inputSampleBytes * decChannels), dec);
    samples = AudioWorkBuffer.data();
  }
  out.Queue(samples, bytes);
}

void TCustomFFmpeg::FlushAudioFifo(AVFormatContext* output, TOutputStreamState& stream) {
  AVCodecContext* enc = stream.Encoder;
  TAudioOutput out(*this, output, stream);
  if (out.Sink.FrameBytes <= 0)
    return;
  out.FlushResampler(stream.SyncInput ? stream.SyncInput->Decoder : nullptr);

  if (enc->frame_size > 1 && stream.SampleFifo) {
    AVFifo* fifo = stream.SampleFifo.get();
    out.EncodeWholeFrames();
    const int samples = int(avutil::av_fifo_can_read(fifo) / size_t(out.Sink.FrameBytes));
    const int capabilities = enc->codec ? enc->codec->capabilities : 0;
    // Encoders that cannot take a short frame leave the rest unencoded.
    if (samples > 0 &&
        (capabilities & (AV_CODEC_CAP_SMALL_LAST_FRAME | AV_CODEC_CAP_VARIABLE_FRAME_SIZE))) {
      const size_t bytes = size_t(samples) * out.Sink.FrameBytes;
      uint8_t* buffer = Reserve(AudioFrameBuffer, bytes);
      avutil::av_fifo_read(fifo, buffer, bytes);
      out.EncodeSamples(buffer, samples);
    }
  }
  EncodeAndWriteFrame(output, stream, nullptr);
}

} // namespace kestro
