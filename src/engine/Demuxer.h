// The first stage of a run: one input file's packets, their times moved onto
// the run's clock (the input's offset and scale), and a jump in a stream's
// clock taken out of the offset.
#pragma once

#include "FFmpeg.h"

#include <functional>
#include <string>
#include <vector>

namespace kestro {

class TDemuxer {
public:
  struct TClock {
    int64_t* Offset = nullptr;      // the input's offset (microseconds); a jump moves it
    const double* Scales = nullptr; // per stream (MaxStreams of them), 0: as they are
    double JumpSeconds = 10.0;      // a step between packets beyond this is a jump
    bool CopyTimestamps = false;    // times are kept as they are: no jump is taken out
  };
  enum class TRead {
    Packet,  // `packet` holds the next packet of `stream`
    Skipped, // a packet of a stream nobody reads (already let go)
    Again,   // nothing yet from a live source
    End,     // the input's data ended
    Stopped, // a stop reached a read that was waiting
  };

  // Set up: reads `file`, whose streams' states are `streams`. `log` (may be empty)
  // is told of jumps in the clock; `stopped` says whether a stop was asked.
  TDemuxer(AVFormatContext* file, std::vector<TInputStreamState*> streams, TClock clock,
           std::function<void(const std::string&)> log, std::function<bool()> stopped);

  // Take a unit: the next packet. Raises for a read that failed (not the
  // end of a file, nor of what a damaged or cut file holds), and for data
  // that cannot be read from its very first packet.
  TRead Take(AVPacket* packet, TInputStreamState*& stream);
  // Packets are dumped to the libraries' log as they are read.
  void DumpPackets(bool hex) {
    Dump = true;
    Hex = hex;
  }

private:
  void PutOnRunClock(AVPacket* packet, TInputStreamState& stream);
  AVFormatContext* File;
  std::vector<TInputStreamState*> Streams;
  TClock Clock;
  std::function<void(const std::string&)> LogJump;
  std::function<bool()> Stopped;
  bool Dump = false, Hex = false;
  bool AnyPacket = false; // a packet was read
};

} // namespace kestro
