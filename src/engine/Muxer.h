// The last stage of a run: each output stream's packets through the stream's
// bitstream filters into its file's interleaving muxer.
#pragma once

#include "FFmpeg.h"

#include <string>
#include <vector>

namespace kestro {

class TMuxer;

// What the muxer stage asks of the run it belongs to.
class TMuxerOwner {
public:
  virtual ~TMuxerOwner() = default;
  // A filter refused a packet or the end of its stream: the run raises or
  // logs `text`; the packet then goes on unfiltered.
  virtual void FilterFailed(const std::string& text) = 0;
  // A filtered packet is ready for the file: the run has `muxer` write it
  // now (TMuxer::Write) or in its turn.
  virtual void Deliver(TMuxer& muxer, AVFormatContext* output, AVPacket* packet) = 0;
  // The muxer refused a packet with `code`; raises.
  virtual void WriteFailed(AVFormatContext* output, int code) = 0;
};

class TMuxer {
public:
  explicit TMuxer(TMuxerOwner& owner) : Owner(owner) {}

  // Set up: `stream`'s chain of filters (each "name" or "name=options"),
  // made for the stream's final parameters; the stream then carries the
  // chain's. Raises for a filter that does not exist or does not start.
  void SetUp(TOutputStreamState& stream, const std::vector<std::string>& specs);
  // Take a unit: a packet of `stream`, time stamps in the stream's time
  // base. Keeps the stream's end time. `codec` names the encoder in messages.
  void Take(TOutputStreamState& stream, AVPacket* packet, const char* codec);
  // The muxer call itself, for what Deliver was given.
  void Write(AVFormatContext* output, AVPacket* packet);
  // Flush: every chain is told its stream ended and gives up what it holds.
  void Flush();
  // Close: the chains go (the files' trailers are the run's).
  void Close() { Chains.clear(); }

private:
  struct TChain {
    TOutputStreamState* Stream = nullptr;
    std::vector<TBsfPtr> Filters;
    const char* Codec = "copy";
  };
  TChain* ChainOf(const TOutputStreamState& stream);
  // `packet` (null: the stream's end) through the chain's filters from
  // `first` on; every packet they give back reaches the file.
  void FilterAndDeliver(TChain& chain, AVPacket* packet, size_t first);
  void Deliver(TChain& chain, AVPacket* packet);
  TMuxerOwner& Owner;
  std::vector<TChain> Chains;
};

} // namespace kestro
