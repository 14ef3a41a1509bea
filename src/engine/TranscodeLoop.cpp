// The packet loop of a run, its end, and the single path of a packet into
// an output file.
#include "EngineText.h"
#include "FFmpeg.h"
#include "RunTables.h"

#include <algorithm>
#include <cmath>
#include <thread>

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
  // The filters count time on their own clocks, set when they were made;
  // the muxer may have changed the stream's since.
  if (!chain.Filters.empty())
    avcodec::av_packet_rescale_ts(packet, output->streams[packet->stream_index]->time_base,
                                  chain.Filters.front()->time_base_in);
  FilterAndWrite(output, packet, chain, 0, packet->stream_index, encoder);
}

void TCustomFFmpeg::FlushBitstreamFilters() {
  if (!Run)
    return;
  for (auto& ost : Run->OutputStreams) {
    TBitstreamChain& chain = BitstreamFilters[ost->FileIndex][ost->StreamIndex];
    if (!chain.Filters.empty())
      FilterAndWrite(ost->Output, nullptr, chain, 0, ost->StreamIndex,
                     ost->MustEncode ? ost->Encoder : nullptr);
  }
}

void TCustomFFmpeg::FilterAndWrite(AVFormatContext* output, AVPacket* packet,
                                   TBitstreamChain& chain, size_t first, int streamIndex,
                                   AVCodecContext* encoder) {
  if (first >= chain.Filters.size()) {
    if (!packet)
      return;
    if (!chain.Filters.empty())
      avcodec::av_packet_rescale_ts(packet, chain.Filters.back()->time_base_out,
                                    output->streams[streamIndex]->time_base);
    MuxPacket(output, packet);
    return;
  }
  AVBSFContext* filter = chain.Filters[first].get();
  const auto report = [&](int code) {
    if (!LogCallback && !StopOnError)
      return;
    const char* codec = encoder && encoder->codec ? encoder->codec->name : "copy";
    const std::string text = FormatOpenError(
        Format("%s failed for stream %d, codec %s", filter->filter->name, streamIndex, codec),
        code);
    if (StopOnError)
      throw FFMpegException(text);
    Log(0, text);
  };
  // A filter that refuses the packet must not lose it: it goes on unfiltered.
  TPacketPtr original(packet ? avcodec::av_packet_clone(packet) : nullptr);
  int result = avcodec::av_bsf_send_packet(filter, packet); // null: the stream ends
  if (result < 0) {
    report(result);
    FilterAndWrite(output, original ? original.get() : packet, chain, first + 1, streamIndex,
                   encoder);
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
    FilterAndWrite(output, filtered.get(), chain, first + 1, streamIndex, encoder);
    avcodec::av_packet_unref(filtered.get());
  }
  if (result != AVERROR(EAGAIN) && result != AVERROR_EOF) {
    report(result);
    if (!gaveAny && original)
      FilterAndWrite(output, original.get(), chain, first + 1, streamIndex, encoder);
  }
  if (!packet) // the end travels down the chain behind what this filter held
    FilterAndWrite(output, nullptr, chain, first + 1, streamIndex, encoder);
}

void TCustomFFmpeg::MuxPacket(AVFormatContext* output, AVPacket* packet) {
  if (TOutputStreamState* stream = FindOutputStream(Run.get(), output, packet->stream_index)) {
    const int64_t start = packet->pts != AV_NOPTS_VALUE ? packet->pts : packet->dts;
    if (start != AV_NOPTS_VALUE) {
      const AVRational tb = output->streams[packet->stream_index]->time_base;
      const double end = double(start + std::max<int64_t>(packet->duration, 0)) * tb.num / tb.den;
      if (end > stream->LastPacketEnd)
        stream->LastPacketEnd = end;
    }
  }
  if (!PostingOutputWork()) {
    WriteInterleaved(output, packet);
    return;
  }
  // In the order of the run, behind the pictures the output side still
  // encodes: the file gets its packets as a run on one thread writes them.
  std::shared_ptr<AVPacket> held(avcodec::av_packet_alloc(),
                                 [](AVPacket* p) { avcodec::av_packet_free(&p); });
  if (!held)
    throw FFMpegException("av_mallocz fail");
  avcodec::av_packet_move_ref(held.get(), packet);
  PostOutputWork([this, output, held] { WriteInterleaved(output, held.get()); });
}

void TCustomFFmpeg::WriteInterleaved(AVFormatContext* output, AVPacket* packet) {
  const int result = avformat::av_interleaved_write_frame(output, packet);
  if (result < 0) {
    // A file that refuses bytes (a full disk, a size limit) says so.
    for (int f = 0; f < OutputFileCount; ++f)
      if (OutputFiles[f].get() == output && output->pb && output->pb->error < 0)
        CheckOutputWritten(f, output->pb->error);
    throw FFMpegException(FormatOpenError("av_interleaved_write_frame()", result));
  }
  if (Run && Run->OutputSide && OutputFileCount > 0 && output == OutputFiles[0].get())
    Run->OutputSize = OutputSizeOf(output->pb);
}

bool TCustomFFmpeg::PostingOutputWork() const {
  return Run && Run->OutputSide && Run->OutputSide->Running() && !Run->OutputSide->OnWorkerThread();
}

void TCustomFFmpeg::PostOutputWork(std::function<void()> work) {
  if (PostingOutputWork())
    Run->OutputSide->Post(std::move(work));
  else
    work();
}

int TCustomFFmpeg::CoresForRun() const {
  if (CoreShare > 0)
    return CoreShare;
  return std::max(1, int(std::thread::hardware_concurrency()));
}

bool TCustomFFmpeg::OutputSideFits() const {
  // Which input to read next, and when to stop, are decided from where the
  // outputs got to: with one input and no byte limit, those decisions never
  // need the output side to have caught up.
  if (!Pipeline || CoresForRun() < 2 || InputFileCount != 1 || FileSizeLimit || !Run)
    return false;
  for (const auto& ost : Run->OutputStreams)
    if (ost->MustEncode && ost->Encoder->codec_type == AVMEDIA_TYPE_VIDEO)
      return true;
  return false; // nothing worth a thread of its own
}

bool TCustomFFmpeg::DecoderThreadsFit() const {
  // A decoder on several threads hands its pictures back later. That moves
  // nothing in the files as long as the run neither stops at a time or count
  // (it would stop at another picture) nor syncs a stream to another's clock.
  if (ThreadCountAsked || !OutputSideFits() || RecordingTime != INT64_MAX)
    return false;
  for (int limit : MaxFrames)
    if (limit != INT32_MAX)
      return false;
  for (const auto& ost : Run->OutputStreams)
    if (ost->SyncInput && ost->SyncInput != Run->InputStreams[ost->SourceStreamIndex].get())
      return false;
  return true;
}

} // namespace kestro

namespace kestro {

void TCustomFFmpeg::RunMainLoop() {
  TRunTables& run = *Run;
  // A few pictures may wait for the output side: enough to even out
  // pictures that take longer to code than others, little memory.
  if (OutputSideFits()) {
    run.OutputSide = std::make_unique<TOrderedWorker>(8);
    if (Verbose > 1 && LogCallback)
      Log(1, Format("Encoding and muxing on a thread of their own, %d cores for the run",
                    CoresForRun()));
  }
  TPacketPtr packet(avcodec::av_packet_alloc());
  if (!packet)
    throw FFMpegException("av_mallocz fail");
  while (!StopRequested) {
    // The input whose mapped output lags most (or, with "isync", whose
    // input clock lags most) is read next.
    double smallestOutput = 1e100, smallestInput = 1e100;
    // Subtitles come now and then: how far their streams got says nothing of
    // where the recording is, unless nothing else is written.
    double smallestDense = 1e100;
    int chosen = -1;
    for (auto& ost : run.OutputStreams) {
      const TInputStreamState& source = *run.InputStreams[ost->SourceStreamIndex];
      const AVCodecContext* enc = ost->Encoder;
      const double outputTime =
          ost->MustEncode && enc->codec_type == AVMEDIA_TYPE_VIDEO
              ? double(ost->SyncPts) * enc->time_base.num / enc->time_base.den
              : ost->LastPacketEnd.load();
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
        if (enc->codec_type != AVMEDIA_TYPE_SUBTITLE)
          smallestDense = std::min(smallestDense, outputTime);
      }
      const int type = enc->codec_type;
      if (type >= 0 && type < FrameLimitCount && ost->FramesWritten >= MaxFrames[type]) {
        chosen = -1;
        break;
      }
    }
    if (chosen < 0)
      break;
    if (double(RecordingTime) / 1000000.0 <=
        (smallestDense < 1e100 ? smallestDense : smallestOutput))
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
      // Subtitles come now and then: a long wait for the next cue is no
      // jump in the clock.
      const bool sparse = ist.Stream->codecpar->codec_type == AVMEDIA_TYPE_SUBTITLE;
      if (packet->dts != AV_NOPTS_VALUE && ist.NextPts != NoTimestamp && !sparse) {
        const int64_t packetDts = avutil::av_rescale_q(packet->dts, tb, AV_TIME_BASE_Q);
        const int64_t delta = packetDts - ist.NextPts;
        const bool backwards = ist.LastReadDts != NoTimestamp && packetDts + 1 < ist.LastReadDts;
        if ((std::llabs(delta) > int64_t(DtsDeltaThreshold * 1000000.0) || backwards) &&
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
      if (packet->dts != AV_NOPTS_VALUE)
        ist.LastReadDts = avutil::av_rescale_q(packet->dts, tb, AV_TIME_BASE_Q);
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
  // The output side finishes what it was given; the rest is this thread's.
  if (run.OutputSide)
    run.OutputSide->Finish();
  // What the bitstream filters still hold goes out before the trailer.
  FlushBitstreamFilters();
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
