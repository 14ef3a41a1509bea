// The tables one run builds for its inputs and outputs; they live in the
// engine while the run lasts so that the end-of-run clean-up can still reach
// the codecs they list.
#pragma once

#include "Decoder.h"
#include "Demuxer.h"
#include "FFmpeg.h"
#include "OrderedWorker.h"

#include <vector>

namespace kestro {

// Ties the muxer stage to its engine: errors, logging, and writing on the
// output side when the run has one.
std::unique_ptr<TMuxerOwner> MakeMuxerLink(TCustomFFmpeg& engine);

// What goes out of an input stream once decoded: nothing before the start
// time, and only to the output streams that encode it (`index`: the input
// stream's place in the run), which must be of the unit's own type.
inline bool DueAt(const TCustomFFmpeg& engine, const TInputStreamState& input) {
  return engine.Settings.StartTime == 0 || input.Pts >= engine.Settings.StartTime;
}
inline bool EncodesInput(const TOutputStreamState& output, int index) {
  return output.SourceStreamIndex == index && output.MustEncode;
}
inline void EnsureEncoderType(const TOutputStreamState& output, AVMediaType type) {
  if (output.Encoder->codec_type != type)
    throw FFMpegException("invalid codec_type");
}

struct TRunTables {
  std::vector<TInputFileState> InputFileStates;
  std::vector<std::unique_ptr<TInputStreamState>> InputStreams;
  std::vector<std::unique_ptr<TOutputStreamState>> OutputStreams;
  std::vector<std::unique_ptr<TDemuxer>> Demuxers; // one per input file
  // Per input stream, made at its first packet (null before).
  std::vector<std::unique_ptr<TDecoder>> Decoders;
  int64_t LastReportTime = 0; // wall clock of the last progress report
  // The output side's thread (none: the run is on one thread), and the
  // first output's size as of its last packet, for the progress report.
  std::unique_ptr<TOrderedWorker> OutputSide;
  std::atomic<int64_t> OutputSize{0};
};

} // namespace kestro
