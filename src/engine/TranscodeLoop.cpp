// The packet loop of a run, its end, and the single path of a packet into
// an output file.
#include "EngineText.h"
#include "FFmpeg.h"
#include "RunTables.h"

namespace kestro {

namespace {

TOutputStreamState* FindOutputStream(TRunTables* run, const AVFormatContext* output,
                                     int streamIndex) {
  if (!run)
    return nullptr;
  for (auto& stream : run->OutputStreams)
    if (stream->StreamIndex == streamIndex && stream->Output == output)
      return stream.get();
  return nullptr;
}

} // namespace

void TCustomFFmpeg::WritePacket(AVFormatContext* output, AVPacket* packet, TBitstreamChain& chain,
                                AVCodecContext* encoder) {
  for (TBsfPtr& filter : chain.Filters) {
    // Keep the packet as it was: a failing filter must not lose it.
    TPacketPtr original(avcodec::av_packet_clone(packet));
    int result = avcodec::av_bsf_send_packet(filter.get(), packet);
    if (result >= 0)
      result = avcodec::av_bsf_receive_packet(filter.get(), packet);
    if (result == AVERROR(EAGAIN))
      return; // the filter wants more input before it gives a packet back
    if (result < 0) {
      if (LogCallback || StopOnError) {
        const char* codec = encoder && encoder->codec ? encoder->codec->name : "copy";
        const std::string text = FormatOpenError(
            Format("%s failed for stream %d, codec %s", filter->filter->name,
                   packet->stream_index, codec),
            result);
        if (StopOnError)
          throw FFMpegException(text);
        Log(0, text);
      }
      avcodec::av_packet_unref(packet);
      if (original)
        avcodec::av_packet_move_ref(packet, original.get());
    }
  }
  if (TOutputStreamState* stream = FindOutputStream(Run.get(), output, packet->stream_index)) {
    const int64_t start = packet->pts != AV_NOPTS_VALUE ? packet->pts : packet->dts;
    if (start != AV_NOPTS_VALUE) {
      const AVRational tb = output->streams[packet->stream_index]->time_base;
      const double end = double(start + std::max<int64_t>(packet->duration, 0)) * tb.num / tb.den;
      if (end > stream->LastPacketEnd)
        stream->LastPacketEnd = end;
    }
  }
  const int result = avformat::av_interleaved_write_frame(output, packet);
  if (result < 0)
    throw FFMpegException(FormatOpenError("av_interleaved_write_frame()", result));
}

} // namespace kestro
