// Decoding one packet of an input stream, keeping the stream's clock, and
// handing every decoded unit (or, for copied streams, the packet itself)
// to the output streams it feeds.
#include "AudioFormats.h"
#include "EngineText.h"
#include "FFmpeg.h"
#include "RunTables.h"
#include "VideoOutput.h"
#include "filters/VideoFilterGraph.h"

#include <chrono>
#include <cstring>
#include <thread>

namespace kestro {

namespace {

int64_t FrameStep(const AVCodecContext* codec) {
  if (!codec || !codec->time_base.num || !codec->time_base.den)
    return 0;
  return int64_t(1000000) * codec->time_base.num / codec->time_base.den;
}

struct TSubtitleOwner {
  AVSubtitle* Subtitle = nullptr;
  ~TSubtitleOwner() {
    if (Subtitle)
      avcodec::avsubtitle_free(Subtitle);
  }
};

// Hands every picture the graph has ready to `dispatch`, each with its own
// time.
template <typename F> void PassFilteredPictures(TInputStreamState& ist, F&& dispatch) {
  while (PullFilteredPicture(ist, ist.PicturePts) > 0) {
    dispatch(ist.FilterPicture.get());
    avutil::av_frame_unref(ist.FilterPicture.get());
  }
  ist.PicturePts = NoTimestamp;
}

// Ends the graph's input and passes on what it still holds.
template <typename F> void DrainFilterGraph(TInputStreamState& ist, F&& dispatch) {
  if (CloseFilterGraph(ist) >= 0)
    PassFilteredPictures(ist, dispatch);
}

} // namespace

// Brings a decoded audio frame to interleaved samples of its carrier
// format in `out`; returns the samples per channel.
static int ToCarrier(TInputStreamState& ist, const AVFrame* frame, std::vector<uint8_t>& out) {
  const int channels = frame->ch_layout.nb_channels;
  if (!ist.Carrier || ist.DecodedFormat != frame->format || ist.CarrierRate != frame->sample_rate ||
      !ist.CarrierLayout.Same(frame->ch_layout)) {
    const AVSampleFormat carrier = CarrierFormat(AVSampleFormat(frame->format));
    SwrContext* swr = nullptr;
    // The library takes the layouts by non-const pointer but only reads them.
    auto* layout = const_cast<AVChannelLayout*>(&frame->ch_layout);
    if (carrier == AV_SAMPLE_FMT_NONE ||
        swresample::swr_alloc_set_opts2(&swr, layout, carrier, frame->sample_rate, layout,
                                        AVSampleFormat(frame->format), frame->sample_rate, 0,
                                        nullptr) < 0 ||
        swresample::swr_init(swr) < 0) {
      swresample::swr_free(&swr);
      return -1;
    }
    ist.Carrier.reset(swr);
    if (!ist.CarrierLayout.Assign(frame->ch_layout))
      return -1;
    ist.DecodedFormat = frame->format;
    ist.CarrierFormat = carrier;
    ist.CarrierRate = frame->sample_rate;
  }
  const size_t bytes =
      size_t(frame->nb_samples) * channels * avutil::av_get_bytes_per_sample(ist.CarrierFormat);
  if (out.size() < bytes)
    out.resize(bytes);
  uint8_t* planes[1] = {out.data()};
  return swresample::swr_convert(ist.Carrier.get(), planes, frame->nb_samples,
                                 const_cast<const uint8_t**>(frame->extended_data),
                                 frame->nb_samples);
}

int TCustomFFmpeg::DecodeAndDispatchPacket(TInputStreamState& ist, int inputIndex,
                                           AVPacket* packet) {
  TRunTables& run = *Run;
  AVCodecContext* dec = ist.Decoder;
  const AVMediaType type = ist.Stream->codecpar->codec_type;
  if (ist.NextPts == NoTimestamp)
    ist.NextPts = ist.Pts;
  if (packet && packet->dts != AV_NOPTS_VALUE)
    ist.Pts = ist.NextPts = avutil::av_rescale_q(packet->dts, ist.Stream->time_base, AV_TIME_BASE_Q);
  if (packet && packet->size <= 0)
    return 0;

  // Copied streams get each packet exactly once, with its own payload,
  // whatever the decoder makes of it.
  if (packet && (StartTime == 0 || ist.Pts >= StartTime))
    for (auto& ost : run.OutputStreams) {
      if (ost->SourceStreamIndex != inputIndex || ost->MustEncode)
        continue;
      if (ost->FramesWritten == 0 && !(packet->flags & AV_PKT_FLAG_KEY))
        continue; // a copy starts at a key frame
      if (type == AVMEDIA_TYPE_AUDIO)
        AudioBytesWritten += packet->size;
      else if (type == AVMEDIA_TYPE_VIDEO) {
        VideoBytesWritten += packet->size;
        ++ost->SyncPts;
      }
      TPacketPtr copy(avcodec::av_packet_clone(packet));
      if (!copy)
        throw FFMpegException("av_mallocz fail");
      const AVRational from = ist.Stream->time_base, to = ost->Stream->time_base;
      copy->stream_index = ost->StreamIndex;
      copy->pts = packet->pts == AV_NOPTS_VALUE ? AV_NOPTS_VALUE
                                                : avutil::av_rescale_q(packet->pts, from, to);
      copy->dts = packet->dts == AV_NOPTS_VALUE ? avutil::av_rescale_q(ist.Pts, AV_TIME_BASE_Q, to)
                                                : avutil::av_rescale_q(packet->dts, from, to);
      copy->duration = avutil::av_rescale_q(packet->duration, from, to);
      WritePacket(*ost, copy.get());
      ++ost->Encoder->frame_number;
      ++ost->FramesWritten;
    }

  if (!ist.MustDecode) {
    // Only the clock moves.
    if (packet) {
      if (type == AVMEDIA_TYPE_AUDIO && ist.Stream->codecpar->sample_rate > 0)
        ist.NextPts += int64_t(1000000) * ist.Stream->codecpar->frame_size /
                       ist.Stream->codecpar->sample_rate;
      else if (type == AVMEDIA_TYPE_VIDEO)
        ist.NextPts += FrameStep(dec);
      ist.Pts = ist.NextPts;
    }
    return 0;
  }
  if (type != AVMEDIA_TYPE_AUDIO && type != AVMEDIA_TYPE_VIDEO && type != AVMEDIA_TYPE_SUBTITLE)
    return -1;

  if (type == AVMEDIA_TYPE_SUBTITLE) {
    if (!packet)
      return 0;
    AVSubtitle subtitle{};
    int got = 0;
    if (avcodec::avcodec_decode_subtitle2(dec, &subtitle, &got, packet) < 0)
      return -1;
    if (!got)
      return 0;
    TSubtitleOwner owner{&subtitle};
    ist.Pts = ist.NextPts;
    if (StartTime == 0 || ist.Pts >= StartTime)
      for (auto& ost : run.OutputStreams)
        if (ost->SourceStreamIndex == inputIndex && ost->MustEncode)
          EncodeAndWriteSubtitle(ost->Output, *ost, ist, &subtitle, packet->pts);
    return 0;
  }

  if (!DecodedFrame)
    DecodedFrame.reset(avutil::av_frame_alloc());
  AVFrame* frame = DecodedFrame.get();
  if (!frame)
    throw FFMpegException("av_mallocz fail");
  if (packet) {
    const int sent = avcodec::avcodec_send_packet(dec, packet);
    if (sent < 0 && sent != AVERROR(EAGAIN))
      return -1;
  } else {
    if (ist.DecoderDrained)
      return 0;
    ist.DecoderDrained = true;
    avcodec::avcodec_send_packet(dec, nullptr);
  }

  const uint8_t* audio = nullptr; // the decoded unit in its carrier format
  int audioBytes = 0;
  // One dispatch pass: the unit to every output stream it feeds.
  auto dispatch = [&](AVFrame* picture) {
    if (StartTime != 0 && ist.Pts < StartTime)
      return;
    for (auto& ost : run.OutputStreams) {
      if (ost->SourceStreamIndex != inputIndex || !ost->MustEncode)
        continue;
      switch (ost->Encoder->codec_type) {
      case AVMEDIA_TYPE_AUDIO:
        EncodeAndWriteAudio(ost->Output, *ost, ist, audio, audioBytes);
        break;
      case AVMEDIA_TYPE_VIDEO: {
        int frameSize = 0;
        EncodeAndWriteVideo(ost->Output, *ost, ist, picture, frameSize);
        if (VStatsFileName && frameSize)
          WriteVideoStats(ost->Output, *ost, frameSize);
        break;
      }
      default:
        throw FFMpegException("invalid codec_type");
      }
    }
  };

  for (int unit = 0;; ++unit) {
    const int received = avcodec::avcodec_receive_frame(dec, frame);
    if (received == AVERROR(EAGAIN) || received == AVERROR_EOF)
      break;
    if (received < 0)
      return -1;
    ist.Pts = ist.NextPts;
    if (unit > 0 && packet && Verbose > 0 && LogCallback)
      Log(0, Format("Multiple frames in a packet from stream %d", packet->stream_index));

    audio = nullptr;
    audioBytes = 0;
    if (type == AVMEDIA_TYPE_AUDIO) {
      const int samples = ToCarrier(ist, frame, DecodedAudio);
      if (samples < 0) {
        avutil::av_frame_unref(frame);
        return -1;
      }
      const int channels = frame->ch_layout.nb_channels;
      audio = DecodedAudio.data();
      audioBytes = samples * channels * avutil::av_get_bytes_per_sample(ist.CarrierFormat);
      if (frame->sample_rate > 0)
        ist.NextPts += int64_t(1000000) * samples / frame->sample_rate;
      if (AudioVolume != 256)
        ApplyVolume(DecodedAudio.data(), int64_t(samples) * channels, ist.CarrierFormat,
                    AudioVolume);
    } else {
      // The picture's own time, not its packet's: a decoder working on
      // several pictures at once gives each back packets after its own.
      if (frame->best_effort_timestamp != AV_NOPTS_VALUE)
        ist.Pts = avutil::av_rescale_q(frame->best_effort_timestamp, ist.Stream->time_base,
                                       AV_TIME_BASE_Q);
      ist.NextPts = ist.Pts + FrameStep(dec);
      if (ist.QuarterTurns > 0)
        TurnDecodedPicture(ist, frame);
      PrepareVideoFrame(ist, frame);
    }

    if (ist.RateEmulation) {
      const int64_t target =
          avutil::av_rescale(int64_t(ist.FramesRead) * dec->time_base.num, 1000000,
                             dec->time_base.den ? dec->time_base.den : 1);
      const int64_t ahead = target - (avutil::av_gettime() - ist.ReadStart);
      if (ahead > 50000)
        std::this_thread::sleep_for(std::chrono::milliseconds(ahead / 1000));
      ++ist.FramesRead;
    }

    if (type == AVMEDIA_TYPE_VIDEO && ist.FilterGraph) {
      // A picture of another size or format than the graph was set up for
      // gets a new graph, once the old one has given back what it holds.
      if (!FitsFilterGraph(ist, frame)) {
        DrainFilterGraph(ist, dispatch);
        if (BuildVideoFilterGraph(ist, *ist.FilterOutput, frame) < 0)
          throw FFMpegException("Error opening filters: " +
                                (LastError.empty() ? std::string("the picture changed size")
                                                   : LastError));
      }
      // Every picture the graph gives back is a pass of its own; a picture
      // the graph cannot take goes on as decoded.
      if (FeedFilterGraph(ist, frame) < 0)
        dispatch(frame);
      PassFilteredPictures(ist, dispatch);
    } else {
      dispatch(frame);
    }
    avutil::av_frame_unref(frame);
  }

  // The graph may still hold pictures (a rate change keeps the last one).
  if (!packet && type == AVMEDIA_TYPE_VIDEO && ist.FilterGraph)
    DrainFilterGraph(ist, dispatch);

  if (!packet)
    for (auto& ost : run.OutputStreams) {
      if (ost->SourceStreamIndex != inputIndex || !ost->MustEncode)
        continue;
      if (ost->Encoder->codec_type == AVMEDIA_TYPE_AUDIO)
        FlushAudioFifo(ost->Output, *ost);
      else if (ost->Encoder->codec_type == AVMEDIA_TYPE_VIDEO)
        PostOutputWork([&stream = *ost] { stream.Video->Flush(); });
    }
  return 0;
}

void TCustomFFmpeg::EncodeAndWriteSubtitle(AVFormatContext*, TOutputStreamState& ost,
                                           TInputStreamState& ist, const AVSubtitle* subtitle,
                                           int64_t pts) {
  if (pts == AV_NOPTS_VALUE) {
    if (StopOnError)
      throw FFMpegException("Subtitle packets must have a pts");
    Log(0, "Subtitle packets must have a pts");
    return;
  }
  AVCodecContext* enc = ost.Encoder;
  // DVB subtitles are shown by one packet and cleared by a second.
  const int packets = enc->codec_id == AV_CODEC_ID_DVB_SUBTITLE ? 2 : 1;
  if (SubtitleBuffer.size() < 65536)
    SubtitleBuffer.resize(65536);
  // The encoders take a cue that starts at its own time: the decoder's
  // display delay moves into the time stamp.
  const AVRational ms{1, 1000};
  AVSubtitle timed = *subtitle;
  timed.pts = avutil::av_rescale_q(pts, ist.Stream->time_base, AV_TIME_BASE_Q) +
              avutil::av_rescale_q(subtitle->start_display_time, ms, AV_TIME_BASE_Q) - StartTime;
  timed.end_display_time -= timed.start_display_time;
  timed.start_display_time = 0;
  for (int i = 0; i < packets; ++i) {
    if (i == 1)
      timed.num_rects = 0;
    const int size = avcodec::avcodec_encode_subtitle(enc, SubtitleBuffer.data(),
                                                      int(SubtitleBuffer.size()), &timed);
    if (size < 0)
      throw FFMpegException("Subtitle encoding failed");
    TPacketPtr packet(avcodec::av_packet_alloc());
    if (!packet || avcodec::av_new_packet(packet.get(), size) < 0)
      throw FFMpegException("av_mallocz fail");
    std::memcpy(packet->data, SubtitleBuffer.data(), size_t(size));
    packet->stream_index = ost.StreamIndex;
    packet->pts = avutil::av_rescale_q(timed.pts, AV_TIME_BASE_Q, ost.Stream->time_base);
    if (packets == 2) {
      if (i == 1)
        packet->pts += avutil::av_rescale_q(timed.end_display_time, ms, ost.Stream->time_base);
    } else {
      packet->duration =
          avutil::av_rescale_q(timed.end_display_time, ms, ost.Stream->time_base);
    }
    packet->dts = packet->pts;
    WritePacket(ost, packet.get());
  }
}

} // namespace kestro
