// The packet loop of a run, its end, and the single path of a packet into
// an output file.
#include "EngineText.h"
#include "FFmpeg.h"
#include "RunTables.h"

#include <algorithm>
#include <cmath>

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
  if (result < 0) {
    // A file that refuses bytes (a full disk, a size limit) says so.
    for (int f = 0; f < OutputFileCount; ++f)
      if (OutputFiles[f].get() == output && output->pb && output->pb->error < 0)
        CheckOutputWritten(f, output->pb->error);
    throw FFMpegException(FormatOpenError("av_interleaved_write_frame()", result));
  }
}

} // namespace kestro

namespace kestro {

void TCustomFFmpeg::RunMainLoop() {
  TRunTables& run = *Run;
  TPacketPtr packet(avcodec::av_packet_alloc());
  if (!packet)
    throw FFMpegException("av_mallocz fail");
  while (!StopRequested) {
    // The input whose mapped output lags most (or, with "isync", whose
    // input clock lags most) is read next.
    double smallestOutput = 1e100, smallestInput = 1e100;
    int chosen = -1;
    for (auto& ost : run.OutputStreams) {
      const TInputStreamState& source = *run.InputStreams[ost->SourceStreamIndex];
      const AVCodecContext* enc = ost->Encoder;
      const double outputTime =
          ost->MustEncode && enc->codec_type == AVMEDIA_TYPE_VIDEO
              ? double(ost->SyncPts) * enc->time_base.num / enc->time_base.den
              : ost->LastPacketEnd;
      const double inputTime = double(source.Pts);
      if (!run.InputFileStates[source.FileIndex].AtEnd) {
        if (inputTime < smallestInput) {
          smallestInput = inputTime;
          if (InputSync)
            chosen = source.FileIndex;
        }
        if (outputTime < smallestOutput) {
          smallestOutput = outputTime;
          if (!InputSync)
            chosen = source.FileIndex;
        }
      }
      const int type = enc->codec_type;
      if (type >= 0 && type < FrameLimitCount && ost->FramesWritten >= MaxFrames[type]) {
        chosen = -1;
        break;
      }
    }
    if (chosen < 0)
      break;
    if (double(RecordingTime) / 1000000.0 <= smallestOutput)
      break;
    if (FileSizeLimit && OutputFiles[0]->pb &&
        uint64_t(avformat::avio_seek(OutputFiles[0]->pb, 0, SEEK_CUR)) > FileSizeLimit)
      break;

    AVFormatContext* input = InputFiles[chosen].get();
    if (const int read = avformat::av_read_frame(input, packet.get()); read < 0) {
      if (read == AVERROR(EAGAIN))
        continue; // nothing yet from a live source
      if (read == AVERROR_EXIT && InterruptCheck(this))
        break; // a stop reached a blocked read
      CheckInputRead(chosen, read);
      run.InputFileStates[chosen].AtEnd = 1;
      if (Shortest)
        break;
      continue;
    }
    if (PacketDump)
      avformat::av_pkt_dump_log2(nullptr, AV_LOG_DEBUG, packet.get(), HexDump,
                                 input->streams[packet->stream_index]);

    const TInputFileState& file = run.InputFileStates[chosen];
    if (packet->stream_index >= file.StreamCount ||
        run.InputStreams[file.FirstStream + packet->stream_index]->Discard) {
      avcodec::av_packet_unref(packet.get());
    } else {
      const int index = file.FirstStream + packet->stream_index;
      TInputStreamState& ist = *run.InputStreams[index];
      const AVRational tb = ist.Stream->time_base;
      const int64_t offset = avutil::av_rescale_q(InputTsOffsets[chosen], AV_TIME_BASE_Q, tb);
      if (packet->dts != AV_NOPTS_VALUE)
        packet->dts += offset;
      if (packet->pts != AV_NOPTS_VALUE)
        packet->pts += offset;
      const int s = packet->stream_index;
      if (const double scale = s < MaxStreams ? InputTsScales[chosen][s] : 0.0; scale != 0.0) {
        if (packet->dts != AV_NOPTS_VALUE)
          packet->dts = llrint(double(packet->dts) * scale);
        if (packet->pts != AV_NOPTS_VALUE)
          packet->pts = llrint(double(packet->pts) * scale);
      }
      if (packet->dts != AV_NOPTS_VALUE && ist.NextPts != NoTimestamp) {
        const int64_t packetDts = avutil::av_rescale_q(packet->dts, tb, AV_TIME_BASE_Q);
        const int64_t delta = packetDts - ist.NextPts;
        if ((std::llabs(delta) > int64_t(DtsDeltaThreshold * 1000000.0) || packetDts + 1 < ist.Pts) &&
            !CopyTimestamps) {
          InputTsOffsets[ist.FileIndex] -= delta;
          if (Verbose > 2 && LogCallback)
            Log(1, Format("timestamp discontinuity %lld, new offset= %lld", (long long)delta,
                          (long long)InputTsOffsets[ist.FileIndex]));
          const int64_t shift = avutil::av_rescale_q(delta, AV_TIME_BASE_Q, tb);
          packet->dts -= shift;
          if (packet->pts != AV_NOPTS_VALUE)
            packet->pts -= shift;
        }
      }
      const int result = DecodeAndDispatchPacket(ist, index, packet.get());
      avcodec::av_packet_unref(packet.get());
      if (result < 0) {
        const std::string text =
            Format("Error while decoding stream #%d.%d", ist.FileIndex, ist.StreamIndex);
        if (StopOnError)
          throw FFMpegException(text);
        if (Verbose >= 0 && LogCallback)
          Log(1, text);
        continue;
      }
    }
    const int64_t now = avutil::av_gettime();
    if (now - run.LastReportTime > ReportInterval) {
      run.LastReportTime = now;
      PrintReport(false);
    }
  }
}

void TCustomFFmpeg::EndRun() {
  TRunTables& run = *Run;
  for (size_t i = 0; i < run.InputStreams.size(); ++i)
    if (run.InputStreams[i]->MustDecode)
      DecodeAndDispatchPacket(*run.InputStreams[i], int(i), nullptr);
  // Every output gets its trailer; the first one whose bytes did not all
  // reach its file fails the run once the codecs are closed.
  int failedOutput = -1, failure = 0;
  for (int f = 0; f < OutputFileCount; ++f) {
    AVFormatContext* output = OutputFiles[f].get();
    int result = avformat::av_write_trailer(output);
    if (result >= 0 && output->pb && !(output->oformat->flags & AVFMT_NOFILE)) {
      avformat::avio_flush(output->pb);
      result = std::min(output->pb->error, 0);
    }
    if (failedOutput < 0 && (result < 0 || !OutputInPlace(f))) {
      failedOutput = f;
      failure = result;
    }
  }
  PrintReport(true);
  for (auto& ost : run.OutputStreams) {
    if (!ost->MustEncode)
      continue;
    avutil::av_freep(&ost->Encoder->stats_in);
    std::lock_guard<std::mutex> lock(CodecLock());
    avcodec::avcodec_close(ost->Encoder);
    OpenEncoders.remove(ost.get());
  }
  for (auto& ist : run.InputStreams) {
    if (!ist->MustDecode)
      continue;
    std::lock_guard<std::mutex> lock(CodecLock());
    avcodec::avcodec_close(ist->Decoder);
    OpenDecoders.remove(ist.get());
  }
  if (failedOutput >= 0)
    CheckOutputWritten(failedOutput, failure);
  Finished = !StopRequested;
  Run.reset();
}

} // namespace kestro
