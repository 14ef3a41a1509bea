// The audio output of one encoded stream: decoded samples kept in step with
// the input clock, converted to the encoder's rate, layout and sample format,
// framed into the encoder's frame size, and encoded.
#pragma once

#include "AudioFormats.h"
#include "FFmpeg.h"

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

namespace kestro {

// What the audio output asks of the run it belongs to. The settings are read
// at each call, as the run has them then.
class TAudioOutputOwner {
public:
  virtual ~TAudioOutputOwner() = default;
  // 0: the output clock follows the input's; 1: samples are dropped or
  // silence inserted to keep up with it; above 1, small drifts are also
  // stretched away by at most that many samples a second.
  virtual int SyncMethod() const = 0;
  // Seconds of drift that stretching may take up; more is dropped or filled.
  virtual float DriftThreshold() const = 0;
  // The input time (microseconds) that is output time 0.
  virtual int64_t ClockStart() const = 0;
  // Whether sync decisions are told, and the telling.
  virtual bool Tells() const = 0;
  virtual void Tell(const std::string& text) = 0;
  // A frame (null: the end) to the stream's encoder, and every packet it
  // gives back to the stream's file.
  virtual void Encode(TOutputStreamState& stream, AVFrame* frame) = 0;
};

// The stream's encoder seen as a sample sink.
struct TAudioSink;

class TAudioOutput {
public:
  TAudioOutput(TAudioOutputOwner& owner, TOutputStreamState& stream)
      : Owner(owner), Stream(stream) {}
  ~TAudioOutput() { Close(); }
  TAudioOutput(const TAudioOutput&) = delete;
  TAudioOutput& operator=(const TAudioOutput&) = delete;

  // Set up for the stream's encoder, fed from a source of `sourceRate`: the
  // resampler is used from the start when the rates differ or drift is
  // stretched, and later as soon as the decoded audio needs converting.
  // Raises when the sample queue cannot be made. The encoder's format and
  // frame size are read at each unit, so this may come before it opens.
  void SetUp(int sourceRate);
  // Take a unit: `size` bytes of `input`'s decoded audio, interleaved in its
  // carrier format (null or empty: nothing but the sync), out to the encoder
  // in its frame size. The stream's clock (SyncPts) moves on by what went out.
  // `carrier` is what the decoding stage carries the audio as (null, or no
  // frame yet: the decoder's own format).
  void Take(TInputStreamState& input, const uint8_t* data, int size,
            const TAudioCarrier* carrier = nullptr);
  // Flush at the end of the input: what the resampler and the queue still
  // hold (a short last frame where the encoder takes one), then the
  // encoder's delay.
  void Flush();
  // Close: the resampler, the queue and the working buffers go.
  void Close();

  bool Resamples() const { return UsesResampler; }
  // Bytes of encoder-format samples waiting for a whole frame.
  size_t QueuedBytes() const;

private:
  void EncodeSamples(const TAudioSink& sink, const uint8_t* packed, int samples);
  AVFifo* Queue() const;
  void EncodeWholeFrames(const TAudioSink& sink);
  void Enqueue(const TAudioSink& sink, const uint8_t* samples, size_t bytes);
  size_t Resample(const TAudioSink& sink, const uint8_t* data, int samples,
                  const AVCodecContext* dec);
  void FlushResampler(const TAudioSink& sink, const AVCodecContext* dec);
  void MakeResampler(const TAudioSink& sink, const AVChannelLayout& layout, AVSampleFormat format,
                     int rate, const AVCodecContext* dec);

  TAudioOutputOwner& Owner;
  TOutputStreamState& Stream;
  bool UsesResampler = false;
  TSwrPtr Resampler;
  // The input the resampler was made for.
  int ResampleRate = 0;
  AVSampleFormat ResampleFormat = AV_SAMPLE_FMT_NONE;
  TChannelLayout ResampleLayout;
  TFifoPtr SampleFifo;
  // Kept between units so a run does not allocate per chunk; each grows to
  // what a unit needs and never shrinks.
  std::vector<uint8_t> WorkBuffer;    // samples converted for the encoder
  std::vector<uint8_t> SilenceBuffer; // inserted silence followed by a chunk
  std::vector<uint8_t> FrameBuffer;   // one encoder frame taken from the queue
};

// Ties the audio output stages of a run to their engine: its settings, its
// log, and its one path from an encoder to a file.
std::unique_ptr<TAudioOutputOwner> MakeAudioLink(TCustomFFmpeg& engine);

} // namespace kestro
