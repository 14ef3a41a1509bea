// Reads a written file back through the libraries: per stream its codec,
// size, rate, packet and key-frame counts and duration.
#pragma once

#include "MediaLibs.h"

#include <string>
#include <vector>

namespace kestro::test {

struct TStreamSummary {
  AVMediaType Type = AVMEDIA_TYPE_UNKNOWN;
  std::string Codec;
  int Width = 0, Height = 0, SampleRate = 0, Channels = 0;
  int Packets = 0, KeyPackets = 0;
  int DiscardedPackets = 0; // read but not to be shown (outside an edit list)
  int64_t FirstPts = AV_NOPTS_VALUE;
  double DurationSec = 0; // from the packets: last end minus first start
  bool FirstIsKey = false;
};

struct TFileSummary {
  bool Opened = false;
  std::string Format;
  double DurationSec = 0; // as the container reports it
  std::vector<TStreamSummary> Streams;
  const TStreamSummary* First(AVMediaType type) const {
    for (const auto& s : Streams)
      if (s.Type == type)
        return &s;
    return nullptr;
  }
};

inline TFileSummary ReadBack(const std::string& path) {
  TFileSummary summary;
  AVFormatContext* context = nullptr;
  if (avformat::avformat_open_input(&context, path.c_str(), nullptr, nullptr) < 0)
    return summary;
  if (avformat::avformat_find_stream_info(context, nullptr) < 0) {
    avformat::avformat_close_input(&context);
    return summary;
  }
  summary.Opened = true;
  summary.Format = context->iformat->name;
  summary.DurationSec =
      context->duration == AV_NOPTS_VALUE ? 0 : double(context->duration) / AV_TIME_BASE;
  std::vector<int64_t> lastEnd(context->nb_streams, AV_NOPTS_VALUE);
  for (unsigned i = 0; i < context->nb_streams; ++i) {
    const AVCodecParameters* p = context->streams[i]->codecpar;
    TStreamSummary s;
    s.Type = p->codec_type;
    s.Codec = avcodec::avcodec_get_name(p->codec_id);
    s.Width = p->width;
    s.Height = p->height;
    s.SampleRate = p->sample_rate;
    s.Channels = p->ch_layout.nb_channels;
    summary.Streams.push_back(s);
  }
  AVPacket* packet = avcodec::av_packet_alloc();
  while (avformat::av_read_frame(context, packet) >= 0) {
    TStreamSummary& s = summary.Streams[packet->stream_index];
    const bool key = packet->flags & AV_PKT_FLAG_KEY;
    if (s.Packets == 0)
      s.FirstIsKey = key;
    ++s.Packets;
    s.KeyPackets += key ? 1 : 0;
    s.DiscardedPackets += (packet->flags & AV_PKT_FLAG_DISCARD) ? 1 : 0;
    const int64_t start = packet->pts != AV_NOPTS_VALUE ? packet->pts : packet->dts;
    if (start != AV_NOPTS_VALUE) {
      if (s.FirstPts == AV_NOPTS_VALUE || start < s.FirstPts)
        s.FirstPts = start;
      const int64_t end = start + packet->duration;
      if (lastEnd[packet->stream_index] == AV_NOPTS_VALUE || end > lastEnd[packet->stream_index])
        lastEnd[packet->stream_index] = end;
    }
    avcodec::av_packet_unref(packet);
  }
  avcodec::av_packet_free(&packet);
  for (unsigned i = 0; i < context->nb_streams; ++i)
    if (lastEnd[i] != AV_NOPTS_VALUE && summary.Streams[i].FirstPts != AV_NOPTS_VALUE) {
      const AVRational tb = context->streams[i]->time_base;
      summary.Streams[i].DurationSec =
          double(lastEnd[i] - summary.Streams[i].FirstPts) * tb.num / tb.den;
    }
  avformat::avformat_close_input(&context);
  return summary;
}

} // namespace kestro::test
