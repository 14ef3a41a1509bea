// The packet loop of a run, its end, and the single path of a packet into
// an output file.
#include "EngineText.h"
#include "FFmpeg.h"
#include "Demuxer.h"
#include "Muxer.h"
#include "RunTables.h"
#include "SegmentDecoder.h"
#include "VideoOutput.h"

#include <algorithm>
#include <cmath>
#include <thread>

namespace kestro {

namespace {

class TMuxerLink : public TMuxerOwner {
public:
  explicit TMuxerLink(TCustomFFmpeg& engine) : Engine(engine) {}

  void FilterFailed(const std::string& text) override {
    if (Engine.Settings.StopOnError)
      throw FFMpegException(text);
    if (Engine.LogCallback)
      Engine.Log(0, text);
  }

  void Deliver(TMuxer& muxer, AVFormatContext* output, AVPacket* packet) override {
    if (!Engine.PostingOutputWork()) {
      Write(muxer, output, packet);
      return;
    }
    // In the order of the run, behind the pictures the output side still
    // encodes: the file gets its packets as a run on one thread writes them.
    std::shared_ptr<AVPacket> held(avcodec::av_packet_alloc(),
                                   [](AVPacket* p) { avcodec::av_packet_free(&p); });
    if (!held)
      throw FFMpegException("av_mallocz fail");
    avcodec::av_packet_move_ref(held.get(), packet);
    Engine.PostOutputWork([this, &muxer, output, held] { Write(muxer, output, held.get()); });
  }

  void WriteFailed(AVFormatContext* output, int code) override {
    // A file that refuses bytes (a full disk, a size limit) says so.
    for (int f = 0; f < Engine.OutputFileCount; ++f)
      if (Engine.OutputFiles[f].get() == output && output->pb && output->pb->error < 0)
        Engine.CheckOutputWritten(f, output->pb->error);
    throw FFMpegException(
        TCustomFFmpeg::FormatOpenError("av_interleaved_write_frame()", code));
  }

private:
  void Write(TMuxer& muxer, AVFormatContext* output, AVPacket* packet) {
    muxer.Write(output, packet);
    // The progress report reads the size the output side last saw: the
    // write position, which asks nothing of the system for every packet.
    TRunTables* run = Engine.Run.get();
    if (run && run->OutputSide && Engine.OutputFileCount > 0 &&
        output == Engine.OutputFiles[0].get() && output->pb)
      run->OutputSize = avformat::avio_seek(output->pb, 0, SEEK_CUR);
  }

  TCustomFFmpeg& Engine;
};

} // namespace

std::unique_ptr<TMuxerOwner> MakeMuxerLink(TCustomFFmpeg& engine) {
  return std::make_unique<TMuxerLink>(engine);
}

void TCustomFFmpeg::WritePacket(TOutputStreamState& stream, AVPacket* packet) {
  const AVCodecContext* encoder = stream.MustEncode ? stream.Encoder : nullptr;
  Muxer->Take(stream, packet, encoder && encoder->codec ? encoder->codec->name : "copy");
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
  if (Settings.CoreShare > 0)
    return Settings.CoreShare;
  return std::max(1, int(std::thread::hardware_concurrency()));
}

bool TCustomFFmpeg::OutputSideFits() const {
  // Which input to read next, and when to stop, are decided from where the
  // outputs got to: with one input and no byte limit, those decisions never
  // need the output side to have caught up.
  if (!Settings.Pipeline || CoresForRun() < 2 || InputFileCount != 1 || Settings.FileSizeLimit ||
      !Run)
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
  if (Settings.ThreadCountAsked || !OutputSideFits() || Settings.RecordingTime != INT64_MAX)
    return false;
  for (int limit : Settings.MaxFrames)
    if (limit != INT32_MAX)
      return false;
  for (const auto& ost : Run->OutputStreams)
    if (ost->SyncInput && ost->SyncInput != Run->InputStreams[ost->SourceStreamIndex].get())
      return false;
  return true;
}

bool TCustomFFmpeg::SegmentDecodingFits(const TInputStreamState& input) const {
  // Stretches come back a stretch later than their packets: the same terms
  // as a decoder's own threads, and pictures that carry their own times.
  if (!DecoderThreadsFit() || input.RateEmulation || CoresForRun() < 2 || !input.MustDecode)
    return false;
  const AVFormatContext* file = InputFiles[input.FileIndex].get();
  if (!file || !file->iformat || (file->iformat->flags & AVFMT_NOTIMESTAMPS))
    return false;
  return TFreshStarts::For(input.Stream->codecpar) != nullptr;
}

} // namespace kestro

namespace kestro {

void TCustomFFmpeg::RunMainLoop() {
  TRunTables& run = *Run;
  for (int f = 0; f < InputFileCount; ++f) {
    const TInputFileState& file = run.InputFileStates[size_t(f)];
    std::vector<TInputStreamState*> streams;
    for (int s = 0; s < file.StreamCount; ++s)
      streams.push_back(run.InputStreams[size_t(file.FirstStream + s)].get());
    TDemuxer::TClock clock;
    clock.Offset = &InputTsOffsets[size_t(f)];
    clock.Scales = InputTsScales[f];
    clock.JumpSeconds = Settings.DtsDeltaThreshold;
    clock.CopyTimestamps = Settings.CopyTimestamps;
    run.Demuxers.push_back(std::make_unique<TDemuxer>(
        InputFiles[size_t(f)].get(), std::move(streams), clock,
        [this](const std::string& text) {
          if (Settings.Verbose > 2 && LogCallback)
            Log(1, text);
        },
        [this] { return InterruptCheck(this) != 0; }));
    if (Settings.PacketDump)
      run.Demuxers.back()->DumpPackets(Settings.HexDump);
  }
  if (OutputSideFits()) {
    // Pieces for the output side are pictures and packet writes. Some may
    // wait: enough to even out pictures that take longer to code than
    // others, and the sound's writes between them (8 kept the sides in each
    // other's way), little memory.
    run.OutputSide = std::make_unique<TOrderedWorker>(32);
    if (Settings.Verbose > 1 && LogCallback)
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
          if (Settings.InputSync)
            chosen = source.FileIndex;
        }
        if (outputTime < smallestOutput) {
          smallestOutput = outputTime;
          if (!Settings.InputSync)
            chosen = source.FileIndex;
        }
        if (enc->codec_type != AVMEDIA_TYPE_SUBTITLE)
          smallestDense = std::min(smallestDense, outputTime);
      }
      const int type = enc->codec_type;
      if (type >= 0 && type < FrameLimitCount && ost->FramesWritten >= Settings.MaxFrames[type]) {
        chosen = -1;
        break;
      }
    }
    if (chosen < 0)
      break;
    if (double(Settings.RecordingTime) / 1000000.0 <=
        (smallestDense < 1e100 ? smallestDense : smallestOutput))
      break;
    if (Settings.FileSizeLimit && OutputFiles[0]->pb &&
        uint64_t(avformat::avio_seek(OutputFiles[0]->pb, 0, SEEK_CUR)) > Settings.FileSizeLimit)
      break;

    TInputStreamState* stream = nullptr;
    const TDemuxer::TRead read = run.Demuxers[size_t(chosen)]->Take(packet.get(), stream);
    if (read == TDemuxer::TRead::Again)
      continue; // nothing yet from a live source
    if (read == TDemuxer::TRead::Stopped)
      break; // a stop reached a blocked read
    if (read == TDemuxer::TRead::End) {
      run.InputFileStates[chosen].AtEnd = 1;
      if (Settings.Shortest)
        break;
      continue;
    }
    if (read == TDemuxer::TRead::Packet) {
      TInputStreamState& ist = *stream;
      const int index = run.InputFileStates[chosen].FirstStream + packet->stream_index;
      const int result = DecodeAndDispatchPacket(ist, index, packet.get());
      avcodec::av_packet_unref(packet.get());
      if (result < 0) {
        const std::string text =
            Format("Error while decoding stream #%d.%d", ist.FileIndex, ist.StreamIndex);
        if (Settings.StopOnError)
          throw FFMpegException(text);
        if (Settings.Verbose >= 0 && LogCallback)
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
  Muxer->Flush();
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
    if (ost->Video)
      ost->Video->Close();
    std::lock_guard<std::mutex> lock(CodecLock());
    avcodec::avcodec_close(ost->Encoder);
    RunState.OpenEncoders.remove(ost.get());
  }
  for (auto& ist : run.InputStreams) {
    if (!ist->MustDecode)
      continue;
    std::lock_guard<std::mutex> lock(CodecLock());
    avcodec::avcodec_close(ist->Decoder);
    RunState.OpenDecoders.remove(ist.get());
  }
  if (failedOutput >= 0)
    CheckOutputWritten(failedOutput, failure);
  Finished = !StopRequested;
  Run.reset();
}

} // namespace kestro
