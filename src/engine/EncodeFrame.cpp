// The one way an encoded stream reaches its file: a frame (or the end) goes
// to the encoder, and every packet it gives back is written.
#include "FFmpeg.h"

#include <algorithm>

namespace kestro {

namespace {

uint64_t ReadLittleEndian(const uint8_t* p, int bytes) {
  uint64_t v = 0;
  for (int i = bytes - 1; i >= 0; --i)
    v = (v << 8) | p[i];
  return v;
}

// What the encoder says of the picture behind a packet: quality, picture
// type and the squared error per plane.
void ReadQualityStats(TOutputStreamState& stream, const AVPacket* packet) {
  size_t size = 0;
  const uint8_t* data = avcodec::av_packet_get_side_data(packet, AV_PKT_DATA_QUALITY_STATS, &size);
  if (!data || size < 6)
    return;
  stream.LastQuality = int(ReadLittleEndian(data, 4));
  stream.LastPictType = data[4];
  const int errors = std::min<int>(data[5], 4);
  for (int i = 0; i < errors && 8 + 8 * size_t(i) + 8 <= size; ++i) {
    stream.LastError[i] = ReadLittleEndian(data + 8 + 8 * i, 8);
    stream.TotalError[i] += stream.LastError[i];
  }
}

// A first pass's statistics go to the pass's file as the encoder updates them.
void WritePassStatistics(TOutputStreamState& stream, const AVCodecContext* enc) {
  if (!stream.PassLogFile || !enc->stats_out || !*enc->stats_out ||
      stream.LastPassStatistics == enc->stats_out)
    return;
  stream.LastPassStatistics = enc->stats_out;
  myutil::my_fprintf(stream.PassLogFile, "%s", enc->stats_out);
}

} // namespace

int TCustomFFmpeg::EncodeAndWriteFrame(AVFormatContext*, TOutputStreamState& stream,
                                       AVFrame* frame) {
  AVCodecContext* enc = stream.Encoder;
  const bool video = enc->codec_type == AVMEDIA_TYPE_VIDEO;
  const char* failure = video ? "Video encoding failed" : "Audio encoding failed";
  if (!stream.EncodedPacket)
    stream.EncodedPacket.reset(avcodec::av_packet_alloc());
  AVPacket* packet = stream.EncodedPacket.get();
  if (!packet)
    throw FFMpegException(failure);

  int written = 0;
  auto writeWaiting = [&] {
    for (;;) {
      const int received = avcodec::avcodec_receive_packet(enc, packet);
      // Some encoders give their first pass's statistics with a packet,
      // others all at once when they are drained.
      WritePassStatistics(stream, enc);
      if (received == AVERROR(EAGAIN) || received == AVERROR_EOF)
        return;
      if (received < 0)
        throw FFMpegException(failure);
      packet->stream_index = stream.StreamIndex;
      // A picture lasts one tick of the encoder's clock. Without it the
      // last picture of a stream would last nothing: containers that keep
      // durations (edit lists) would hide it, and a single picture would
      // make an empty video.
      if (video && packet->duration <= 0)
        packet->duration = 1;
      avcodec::av_packet_rescale_ts(packet, enc->time_base, stream.Stream->time_base);
      ReadQualityStats(stream, packet);
      const int size = packet->size;
      if (video)
        RunState.VideoBytesWritten += size;
      else if (enc->codec_type == AVMEDIA_TYPE_AUDIO)
        RunState.AudioBytesWritten += size;
      WritePacket(stream, packet);
      avcodec::av_packet_unref(packet);
      written += size;
    }
  };

  int sent = avcodec::avcodec_send_frame(enc, frame);
  if (sent == AVERROR(EAGAIN)) {
    // The encoder wants its output taken first.
    writeWaiting();
    sent = avcodec::avcodec_send_frame(enc, frame);
  }
  if (sent < 0 && sent != AVERROR(EAGAIN) && sent != AVERROR_EOF)
    throw FFMpegException(failure);
  writeWaiting();
  return written;
}

} // namespace kestro
