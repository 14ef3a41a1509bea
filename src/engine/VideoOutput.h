// The video output stage of one encoded stream: how many times a picture
// goes out (sync against the input clock), then crop, scale and pad to the
// encoder's picture, and the encoder.
#pragma once

#include "FFmpeg.h"
#include "PictureScaler.h"

#include <array>
#include <memory>
#include <optional>
#include <string>

namespace kestro {

// The run's settings the stage follows, read afresh for each picture.
struct TVideoRules {
  int SyncMethod = -1;             // "vsync": <0 by the frame rate, 0 none, 1 dup/drop, 2 re-time
  int64_t StartTime = 0;           // microseconds taken off the input clock
  int MaxFrames = INT32_MAX;       // pictures the stream may have in all
  float DtsDeltaThreshold = 10.0f; // seconds: a jump the reader calls a discontinuity
  bool LogsSync = false;           // the sync logs its drops, copies and jumps
  bool StopOnError = false;        // a refused picture raises instead of being logged
  bool FiltersInUse = false;       // the filter graph crops, not this stage
  unsigned SwsFlags = SWS_BICUBIC;
  std::array<int, 3> PadColor{16, 128, 128};
  bool InterlacedCoding = false; // the encoder codes fields: the field order goes along
  int TopFieldFirst = -1;        // -1: the picture's own
  bool SameQuality = false;      // the picture's quality, not the encoder's
  bool KeepPictureType = false;  // the picture's type goes to the encoder
};

// What the video stage asks of the run it belongs to.
class TVideoOutputOwner {
public:
  virtual ~TVideoOutputOwner() = default;
  virtual TVideoRules Rules() const = 0;
  // How long the source of `input` lasts in seconds; -1 when unknown.
  virtual double SourceSeconds(const TInputStreamState& input) const = 0;
  virtual bool StopRequested() const = 0;
  virtual void Log(int level, const std::string& message) = 0;
  // Counts a picture the sync dropped, or the copies it made of one.
  virtual void CountDropped() = 0;
  virtual void CountDuplicated(int copies) = 0;
  // One picture (null: the end) to the stream's encoder; every packet it
  // gives back is written. Returns the bytes written.
  virtual int EncodeAndWrite(TOutputStreamState& stream, AVFrame* frame) = 0;
};

// Ties the video stages of a run to its engine.
std::unique_ptr<TVideoOutputOwner> MakeVideoLink(TCustomFFmpeg& engine);

// Margins of a picture in pixels.
struct TPictureEdges {
  int Top = 0, Bottom = 0, Left = 0, Right = 0;
  bool Any() const { return Top + Bottom + Left + Right != 0; }
};

class TVideoOutput {
public:
  TVideoOutput(TVideoOutputOwner& owner, TOutputStreamState& stream)
      : Owner(owner), Stream(stream) {}
  TVideoOutput(const TVideoOutput&) = delete;
  TVideoOutput& operator=(const TVideoOutput&) = delete;

  // Set up: what is cropped off each picture and padded around it to make
  // the encoder's picture. The scaler and the picture it draws into are made
  // for the first picture that needs them: only the pictures tell their
  // real size.
  void SetUp(const TPictureEdges& crop, const TPictureEdges& pad);
  // Plan (the decoding side): how many times `picture` goes out (0: dropped
  // or refused). The stream's clock and count move on by as many.
  int64_t Plan(TInputStreamState& input, const AVFrame* picture);
  // Take a unit (the output side): crop, scale, pad and encode the copies
  // planned for `picture`; returns the last one's bytes.
  int Take(const AVFrame* picture, const TVideoCopies& copies);
  // Flush: the encoder gives back what it holds.
  void Flush() { Owner.EncodeAndWrite(Stream, nullptr); }
  // Close: the scaler and the pictures go.
  void Close();

  bool HasScaler() const { return Scaler.Made(); }
  // What a decoder may scale its pictures to ahead of this stage, when the
  // stage would do nothing else to them before the encoder (no crop, no
  // padding).
  std::optional<TScaleTarget> AheadTarget() const;

private:
  // The most output frames (of `tb` seconds) a gap in the input's source
  // can fill: its length, or, unknown, the jump the reader calls a
  // discontinuity.
  double AccountableFrames(const TInputStreamState& input, double tb,
                           const TVideoRules& rules) const;
  int Refuse(const TVideoRules& rules, const char* message);

  TVideoOutputOwner& Owner;
  TOutputStreamState& Stream;
  TPictureEdges Crop, Pad;
  // Touched by the plan only.
  // Taken off the input clock (microseconds) after a time stamp jumped by
  // more than the source can account for.
  int64_t ClockShift = 0;
  // Touched by the output side only.
  TPictureScaler Scaler;
  TFramePtr ScaledPicture;
  TFramePtr EncodeFrame; // the picture as handed to the encoder
  // The lowest time stamp the encoder may be given next (encoder time
  // base): re-timed or jittery clocks must not send it back in time.
  int64_t NextEncoderPts = NoTimestamp;
};

} // namespace kestro
