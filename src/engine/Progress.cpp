// The progress report: frame, rate, quality, time, size and bit rate of a
// run, handed to the progress callback or logged, and the final statistics.
#include "EngineText.h"
#include "FFmpeg.h"
#include "RunTables.h"

#include <cmath>
#include <cstdio>
#include <cstring>

namespace kestro {

namespace {

// Appends C-formatted text, never past the report's 1024 bytes.
class TReportText {
public:
  template <typename... T> void Append(const char* format, T... values) {
    const size_t used = std::strlen(Text);
    if (used + 1 < sizeof Text)
      myutil::my_snprintf(Text + used, sizeof Text - used, format, values...);
  }
  const char* c_str() const { return Text; }

private:
  char Text[1024] = {0};
};

} // namespace

int64_t TCustomFFmpeg::OutputSizeOf(AVIOContext* pb) {
  if (!pb)
    return 0;
  const int64_t size = avformat::avio_size(pb);
  return size >= 0 ? size : avformat::avio_seek(pb, 0, SEEK_CUR);
}

void TCustomFFmpeg::PrintReport(bool lastReport) {
  if (!Run || OutputFileCount < 1)
    return;
  TRunTables& run = *Run;
  // While the output side writes on its own thread, its own count is read.
  const int64_t size = run.OutputSide && run.OutputSide->Running()
                           ? run.OutputSize.load()
                           : OutputSizeOf(OutputFiles[0]->pb);

  int frameNumber = -1, fps = -1;
  float quality = -1.0f;
  double outputTime = 1e10;
  TReportText text;
  bool firstVideo = true;
  for (auto& ost : run.OutputStreams) {
    const AVCodecContext* enc = ost->Encoder;
    const bool copied = !ost->MustEncode;
    const float q = copied ? -1.0f : float(ost->LastQuality) / float(FF_QP2LAMBDA);
    if (enc->codec_type == AVMEDIA_TYPE_VIDEO && !firstVideo) {
      text.Append("q=%2.1f ", q);
    } else if (enc->codec_type == AVMEDIA_TYPE_VIDEO) {
      firstVideo = false;
      const double elapsed = double(avutil::av_gettime() - RunState.StartWallClock) / 1000000.0;
      frameNumber = ost->FramesWritten;
      if (frameNumber < 1)
        return;
      fps = elapsed > 1.0 ? int(frameNumber / elapsed + 0.5) : 0;
      quality = q;
      text.Append("frame=%5d fps=%3d q=%3.1f ", frameNumber, fps, quality);
      if (lastReport)
        text.Append("L");
      if (Settings.QpHistogram) {
        const int qp = int(std::lrint(quality));
        if (qp >= 0 && qp < int(RunState.QuantizerHistogram.size()))
          ++RunState.QuantizerHistogram[qp];
        for (int j = 0; j < 32; ++j)
          text.Append("%X", int(std::lrint(std::log2(double(RunState.QuantizerHistogram[j]) + 1))));
      }
      if (enc->flags & AV_CODEC_FLAG_PSNR) {
        double errorSum = 0, scaleSum = 0;
        text.Append("PSNR=");
        for (int plane = 0; plane < 3; ++plane) {
          const double error =
              double(lastReport ? ost->TotalError[plane].load() : ost->LastError[plane].load());
          double scale = double(enc->width) * enc->height * 255.0 * 255.0;
          if (lastReport)
            scale *= frameNumber;
          if (plane)
            scale /= 4;
          errorSum += error;
          scaleSum += scale;
          text.Append("%c:%2.2f ", "YUV"[plane], -10.0 * std::log10(error / scale));
        }
        text.Append("*:%2.2f ", -10.0 * std::log10(errorSum / scaleSum));
      }
    }
    if (ost->LastPacketEnd < outputTime && ost->LastPacketEnd > 0)
      outputTime = ost->LastPacketEnd;
  }
  // Before any stream has a time stamp the time is unknown: report 0.
  const bool timeKnown = outputTime < 1e10;
  if (outputTime < 0.01)
    outputTime = 0.01;

  if (ProgressCallback || Settings.Verbose > 0 || lastReport) {
    const double bitrate = double(size) * 8 / outputTime / 1000;
    text.Append("size=%8.0fkB time=%0.2f bitrate=%6.1fkbits/s", double(size) / 1024, outputTime,
                bitrate);
    if (Settings.Verbose > 1)
      text.Append(" dup=%d drop=%d", RunState.FramesDuplicated, RunState.FramesDropped);
    if (ProgressCallback)
      ProgressCallback.Func(ProgressCallback.Context, this, frameNumber, fps,
                            timeKnown ? int(outputTime * 1000) : 0, quality, float(bitrate), size,
                            RunState.TotalOutputDuration);
    else if (Settings.Verbose >= 0 && LogCallback)
      Log(1, text.c_str());
  }

  if (lastReport && Settings.Verbose >= 0 && LogCallback) {
    const int64_t video = RunState.VideoBytesWritten, audio = RunState.AudioBytesWritten;
    const int64_t raw = video + audio + RunState.GlobalHeaderBytes;
    // Shown in the user's own number format, unlike the report line above.
    char line[256];
    std::snprintf(line, sizeof line,
                  "video:%1.0fkB audio:%1.0fkB global headers:%1.0fkB muxing overhead %.2f%%\r\n",
                  double(video) / 1024, double(audio) / 1024,
                  double(RunState.GlobalHeaderBytes) / 1024,
                  raw ? double(size - raw) * 100 / double(raw) : 0.0);
    Log(1, line);
  }
}

} // namespace kestro
