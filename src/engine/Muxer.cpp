#include "Muxer.h"

#include "EngineText.h"

#include <algorithm>

namespace kestro {

void TMuxer::SetUp(TOutputStreamState& stream, const std::vector<std::string>& specs) {
  TChain chain;
  chain.Stream = &stream;
  const AVCodecParameters* parameters = stream.Stream->codecpar;
  AVRational timeBase = stream.Stream->time_base;
  for (const std::string& spec : specs) {
    AVBSFContext* raw = nullptr;
    if (avcodec::av_bsf_list_parse_str(spec.c_str(), &raw) < 0 || !raw)
      throw FFMpegException("Unknown bitstream filter " + spec);
    TBsfPtr filter(raw);
    avcodec::avcodec_parameters_copy(filter->par_in, parameters);
    filter->time_base_in = timeBase;
    if (avcodec::av_bsf_init(filter.get()) < 0)
      throw FFMpegException("Error initializing bitstream filter " + spec);
    parameters = filter->par_out;
    timeBase = filter->time_base_out;
    chain.Filters.push_back(std::move(filter));
  }
  if (!chain.Filters.empty())
    avcodec::avcodec_parameters_copy(stream.Stream->codecpar, parameters);
  Chains.push_back(std::move(chain));
}

TMuxer::TChain* TMuxer::ChainOf(const TOutputStreamState& stream) {
  for (TChain& chain : Chains)
    if (chain.Stream == &stream)
      return &chain;
  return nullptr;
}

void TMuxer::Take(TOutputStreamState& stream, AVPacket* packet, const char* codec) {
  TChain* chain = ChainOf(stream);
  if (!chain) { // a stream the run did not set up: no filters
    Chains.push_back({&stream, {}, codec});
    chain = &Chains.back();
  }
  chain->Codec = codec;
  // The filters count time on their own clocks, set when they were made;
  // the muxer may have changed the stream's since.
  if (!chain->Filters.empty())
    avcodec::av_packet_rescale_ts(packet, stream.Stream->time_base,
                                  chain->Filters.front()->time_base_in);
  FilterAndDeliver(*chain, packet, 0);
}

void TMuxer::Flush() {
  for (TChain& chain : Chains)
    if (!chain.Filters.empty())
      FilterAndDeliver(chain, nullptr, 0);
}

void TMuxer::FilterAndDeliver(TChain& chain, AVPacket* packet, size_t first) {
  if (first >= chain.Filters.size()) {
    if (!packet)
      return;
    if (!chain.Filters.empty())
      avcodec::av_packet_rescale_ts(packet, chain.Filters.back()->time_base_out,
                                    chain.Stream->Stream->time_base);
    Deliver(chain, packet);
    return;
  }
  AVBSFContext* filter = chain.Filters[first].get();
  const int streamIndex = chain.Stream->StreamIndex;
  const auto report = [&](int code) {
    Owner.FilterFailed(TCustomFFmpeg::FormatOpenError(
        Format("%s failed for stream %d, codec %s", filter->filter->name, streamIndex,
               chain.Codec),
        code));
  };
  // A filter that refuses the packet must not lose it: it goes on unfiltered.
  TPacketPtr original(packet ? avcodec::av_packet_clone(packet) : nullptr);
  int result = avcodec::av_bsf_send_packet(filter, packet); // null: the stream ends
  if (result < 0) {
    report(result);
    FilterAndDeliver(chain, original ? original.get() : packet, first + 1);
    return;
  }
  // A filter gives back any number of packets for one it took, some only
  // once it knows the stream has ended; each goes through the rest of the chain.
  TPacketPtr filtered(avcodec::av_packet_alloc());
  if (!filtered)
    throw FFMpegException("av_mallocz fail");
  bool gaveAny = false;
  while ((result = avcodec::av_bsf_receive_packet(filter, filtered.get())) >= 0) {
    gaveAny = true;
    filtered->stream_index = streamIndex;
    FilterAndDeliver(chain, filtered.get(), first + 1);
    avcodec::av_packet_unref(filtered.get());
  }
  if (result != AVERROR(EAGAIN) && result != AVERROR_EOF) {
    report(result);
    if (!gaveAny && original)
      FilterAndDeliver(chain, original.get(), first + 1);
  }
  if (!packet) // the end travels down the chain behind what this filter held
    FilterAndDeliver(chain, nullptr, first + 1);
}

void TMuxer::Deliver(TChain& chain, AVPacket* packet) {
  TOutputStreamState& stream = *chain.Stream;
  const int64_t start = packet->pts != AV_NOPTS_VALUE ? packet->pts : packet->dts;
  if (start != AV_NOPTS_VALUE) {
    const AVRational tb = stream.Stream->time_base;
    const double end = double(start + std::max<int64_t>(packet->duration, 0)) * tb.num / tb.den;
    if (end > stream.LastPacketEnd)
      stream.LastPacketEnd = end;
  }
  Owner.Deliver(*this, stream.Output, packet);
}

void TMuxer::Write(AVFormatContext* output, AVPacket* packet) {
  const int result = avformat::av_interleaved_write_frame(output, packet);
  if (result < 0)
    Owner.WriteFailed(output, result);
}

} // namespace kestro
