// The decoding stage of one input stream: each packet read goes to the
// streams that copy it, then is decoded, and every decoded unit (sound in its
// carrier format, a picture, a cue) is handed on; the stream's clock moves
// with what was decoded.
#pragma once

#include "AudioFormats.h"
#include "FFmpeg.h"
#include "SegmentDecoder.h"

#include <memory>
#include <mutex>

namespace kestro {

// What a decoder stage asks of the run it belongs to. `index` is the input
// stream's place in the run, which the output streams name as their source.
class TDecoderOwner {
public:
  virtual ~TDecoderOwner() = default;
  // A packet as read, to every stream that copies the input stream.
  virtual void Copy(TInputStreamState& input, int index, const AVPacket* packet) = 0;
  // Decoded sound of `size` bytes, interleaved as `carrier` says, to every
  // stream that encodes the input stream.
  virtual void Sound(TInputStreamState& input, int index, const TAudioCarrier& carrier,
                     const uint8_t* data, int size) = 0;
  // A decoded picture, to the stream's picture stage (turn, hooks, filter
  // graph) and on to every stream that encodes it; at the end, what the
  // picture stage still holds.
  virtual void Picture(TInputStreamState& input, int index, AVFrame* picture) = 0;
  virtual void DrainPictures(TInputStreamState& input, int index) = 0;
  // A decoded cue from a packet stamped `pts`, encoded into `buffer`.
  virtual void Subtitle(TInputStreamState& input, int index, const AVSubtitle* subtitle,
                        int64_t pts, std::vector<uint8_t>& buffer) = 0;
  // The input stream ended: its encoding streams give out what they hold.
  virtual void End(TInputStreamState& input, int index) = 0;
  // Sound level, 256: as decoded.
  virtual int Volume() const = 0;
  // Whether a packet that decodes to several units is told, and the telling.
  virtual bool Tells() const = 0;
  virtual void Tell(const std::string& text) = 0;
};

class TDecoder {
public:
  TDecoder(TDecoderOwner& owner, TInputStreamState& input, int index);
  ~TDecoder();
  TDecoder(const TDecoder&) = delete;
  TDecoder& operator=(const TDecoder&) = delete;

  // Set up: the picture every decoded unit is received into. Raises when it
  // cannot be made. The stream's decoder is opened by the run.
  void SetUp();
  // Decodes the (video) stream in stretches cut where `starts` says, on
  // `decoders` decoders at once, instead of on the stream's own. Raises when
  // they cannot be made.
  void DecodeInSegments(int decoders, std::unique_ptr<TFreshStarts> starts, std::mutex& codecLock,
                        const TSegmentDecoder::TPictureWork& work = {});
  // Take a unit: a packet of the stream (not null), copied on, then decoded
  // when the stream is, each unit it gives handed on. Returns -1 when the
  // packet could not be decoded.
  int Take(AVPacket* packet);
  // Flush at the end of the input: the decoder's delayed units, the filter
  // graph's held pictures, then the encoding streams' ends, all once.
  int Flush();
  // Close: the converter and working storage go.
  void Close();

  const TAudioCarrier& Carrier() const { return Carried; }
  bool Drained() const { return DecoderDrained; }

private:
  int Decode(AVPacket* packet);
  // Receives every unit ready and hands each on; -1 when one failed.
  int HandOn(const AVPacket* packet, AVFrame* frame);
  int DecodeSubtitle(AVPacket* packet);
  // Brings a decoded audio frame to interleaved samples of its carrier
  // format in DecodedAudio; returns the samples per channel.
  int ToCarrier(const AVFrame* frame);
  void PaceToRealTime();

  TDecoderOwner& Owner;
  TInputStreamState& Input;
  const int Index;
  // Interleaves frames of DecodedFormat into the carrier.
  TSwrPtr CarrierConverter;
  int DecodedFormat = -1;
  TAudioCarrier Carried;
  bool DecoderDrained = false;
  // Kept between packets so that a run does not allocate per unit.
  TFramePtr DecodedFrame;
  std::vector<uint8_t> DecodedAudio;
  std::vector<uint8_t> SubtitleBuffer;
  std::unique_ptr<TSegmentDecoder> Segments;
};

// Ties the decoder stages of a run to their engine: its settings, its log,
// the copy path, the picture stages and the output stages.
std::unique_ptr<TDecoderOwner> MakeDecoderLink(TCustomFFmpeg& engine);

} // namespace kestro
