#include "Demuxer.h"

#include "EngineText.h"

#include <cmath>
#include <cstdlib>

namespace kestro {

TDemuxer::TDemuxer(AVFormatContext* file, std::vector<TInputStreamState*> streams, TClock clock,
                   std::function<void(const std::string&)> log, std::function<bool()> stopped)
    : File(file), Streams(std::move(streams)), Clock(clock), LogJump(std::move(log)),
      Stopped(std::move(stopped)) {}

TDemuxer::TRead TDemuxer::Take(AVPacket* packet, TInputStreamState*& stream) {
  stream = nullptr;
  if (const int read = avformat::av_read_frame(File, packet); read < 0) {
    if (read == AVERROR(EAGAIN))
      return TRead::Again;
    if (read == AVERROR_EXIT && Stopped && Stopped())
      return TRead::Stopped;
    // The end of the file, or of what a truncated or damaged file holds,
    // ends the input normally; a failing read underneath it does not. Nor
    // does data that is unreadable from the start (an MP4 whose index comes
    // after its data, read through a pipe that cannot go back to the data):
    // an empty output would look like a conversion that worked.
    int code = read;
    if (code == AVERROR_EOF || (code == AVERROR_INVALIDDATA && AnyPacket)) {
      const int ioError = File->pb ? File->pb->error : 0;
      if (ioError >= 0 || ioError == AVERROR_EOF)
        return TRead::End;
      code = ioError;
    }
    throw FFMpegException(Format("Error while reading '%s': %s", File->url ? File->url : "",
                                 ErrorText(code).c_str()));
  }
  AnyPacket = true;
  if (Dump)
    avformat::av_pkt_dump_log2(nullptr, AV_LOG_DEBUG, packet, Hex,
                               File->streams[packet->stream_index]);
  if (packet->stream_index < 0 || size_t(packet->stream_index) >= Streams.size() ||
      Streams[size_t(packet->stream_index)]->Discard) {
    avcodec::av_packet_unref(packet);
    return TRead::Skipped;
  }
  stream = Streams[size_t(packet->stream_index)];
  PutOnRunClock(packet, *stream);
  return TRead::Packet;
}

void TDemuxer::PutOnRunClock(AVPacket* packet, TInputStreamState& ist) {
  const AVRational tb = ist.Stream->time_base;
  const int64_t offset = avutil::av_rescale_q(*Clock.Offset, AV_TIME_BASE_Q, tb);
  if (packet->dts != AV_NOPTS_VALUE)
    packet->dts += offset;
  if (packet->pts != AV_NOPTS_VALUE)
    packet->pts += offset;
  const int s = packet->stream_index;
  if (const double scale = s < MaxStreams && Clock.Scales ? Clock.Scales[s] : 0.0; scale != 0.0) {
    if (packet->dts != AV_NOPTS_VALUE)
      packet->dts = llrint(double(packet->dts) * scale);
    if (packet->pts != AV_NOPTS_VALUE)
      packet->pts = llrint(double(packet->pts) * scale);
  }
  // Subtitles come now and then: a long wait for the next cue is no jump in
  // the clock.
  const bool sparse = ist.Stream->codecpar->codec_type == AVMEDIA_TYPE_SUBTITLE;
  if (packet->dts != AV_NOPTS_VALUE && ist.NextPts != NoTimestamp && !sparse) {
    const int64_t packetDts = avutil::av_rescale_q(packet->dts, tb, AV_TIME_BASE_Q);
    const int64_t delta = packetDts - ist.NextPts;
    const bool backwards = ist.LastReadDts != NoTimestamp && packetDts + 1 < ist.LastReadDts;
    if ((std::llabs(delta) > int64_t(Clock.JumpSeconds * 1000000.0) || backwards) &&
        !Clock.CopyTimestamps) {
      *Clock.Offset -= delta;
      if (LogJump)
        LogJump(Format("timestamp discontinuity %lld, new offset= %lld", (long long)delta,
                       (long long)*Clock.Offset));
      const int64_t shift = avutil::av_rescale_q(delta, AV_TIME_BASE_Q, tb);
      packet->dts -= shift;
      if (packet->pts != AV_NOPTS_VALUE)
        packet->pts -= shift;
    }
  }
  if (packet->dts != AV_NOPTS_VALUE)
    ist.LastReadDts = avutil::av_rescale_q(packet->dts, tb, AV_TIME_BASE_Q);
}

} // namespace kestro
