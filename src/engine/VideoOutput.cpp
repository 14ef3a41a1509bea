// Video output: how many times a picture goes out (sync against the input
// clock), crop, scale and pad to the encoder's picture, encoding, and the
// per-frame statistics file.
#include "VideoOutput.h"

#include "EngineText.h"
#include "PictureOps.h"
#include "PictureScaler.h"

#include <algorithm>
#include <cmath>

namespace kestro {

namespace {

// True when every plane of the frame lies in a buffer the frame holds a
// reference to. Only then may the encoder keep the frame by reference;
// otherwise it has to copy the pixels (a hook may have pointed the planes
// at memory that is reused for the next picture).
bool HoldsItsPixels(const AVFrame* frame) {
  if (!frame->buf[0])
    return false;
  for (int i = 0; i < 4; ++i) {
    if (!frame->data[i])
      continue;
    bool inside = false;
    for (int b = 0; b < AV_NUM_DATA_POINTERS && frame->buf[b] && !inside; ++b)
      inside = frame->data[i] >= frame->buf[b]->data &&
               frame->data[i] < frame->buf[b]->data + frame->buf[b]->size;
    if (!inside)
      return false;
  }
  return true;
}

// A reference to the frame's pixel buffers alone: `to` keeps the blank
// description of a new frame.
int RefPixels(AVFrame* to, const AVFrame* frame) {
  for (int i = 0; i < AV_NUM_DATA_POINTERS && frame->buf[i]; ++i) {
    to->buf[i] = avutil::av_buffer_ref(frame->buf[i]);
    if (!to->buf[i])
      return AVERROR(ENOMEM);
  }
  to->extended_data = to->data;
  return 0;
}

AVPixelFormat DecodedFormatOf(const AVFrame* picture, const TInputStreamState& input) {
  return picture->format >= 0 ? AVPixelFormat(picture->format) : input.Decoder->pix_fmt;
}

// A picture of its own for the output side: a new reference to the same
// pixels where the frame holds them, else a copy of them (a hook's planes
// are drawn again for the next picture).
AVFrame* OwnedPicture(const AVFrame* picture) {
  TFramePtr own(avutil::av_frame_alloc());
  if (!own)
    throw FFMpegException("av_mallocz fail");
  if (HoldsItsPixels(picture)) {
    if (avutil::av_frame_ref(own.get(), picture) < 0)
      throw FFMpegException("av_mallocz fail");
    return own.release();
  }
  own->format = picture->format;
  own->width = picture->width;
  own->height = picture->height;
  if (avutil::av_frame_get_buffer(own.get(), 0) < 0 ||
      avutil::av_frame_copy(own.get(), picture) < 0 ||
      avutil::av_frame_copy_props(own.get(), picture) < 0)
    throw FFMpegException("Cannot allocate temp picture, check pix fmt");
  return own.release();
}

} // namespace

// ---- The stage

void TVideoOutput::SetUp(const TPictureEdges& crop, const TPictureEdges& pad) {
  Crop = crop.Any() ? crop : TPictureEdges{};
  Pad = pad.Any() ? pad : TPictureEdges{};
}

void TVideoOutput::Close() {
  Scaler.Reset();
  ScaledPicture.reset();
  EncodeFrame.reset();
}

std::optional<TScaleTarget> TVideoOutput::AheadTarget() const {
  const TVideoRules rules = Owner.Rules();
  const AVCodecContext* enc = Stream.Encoder;
  if (!enc || Pad.Any() || (!rules.FiltersInUse && Crop.Any()) || enc->width <= 0 ||
      enc->height <= 0)
    return std::nullopt;
  return ScaleTargetOf(enc, enc->width, enc->height, rules.SwsFlags);
}

int TVideoOutput::Refuse(const TVideoRules& rules, const char* message) {
  if (rules.StopOnError)
    throw FFMpegException(message);
  Owner.Log(0, message);
  return 0;
}

double TVideoOutput::AccountableFrames(const TInputStreamState& input, double tb,
                                       const TVideoRules& rules) const {
  const double seconds = Owner.SourceSeconds(input);
  return (seconds > 0 ? seconds : double(rules.DtsDeltaThreshold)) / tb + 1.0;
}

int64_t TVideoOutput::Plan(TInputStreamState& input, const AVFrame* picture) {
  const AVCodecContext* enc = Stream.Encoder;
  const TVideoRules rules = Owner.Rules();

  // 1. How many times this picture goes out.
  int64_t nbFrames = 1;
  const double tb = double(enc->time_base.num) / enc->time_base.den;
  const TInputStreamState& sync = Stream.SyncInput ? *Stream.SyncInput : input;
  // A filtered picture has a time of its own.
  const int64_t clock =
      &sync == &input && input.PicturePts != NoTimestamp ? input.PicturePts : sync.Pts;
  const double ipts = double(clock - ClockShift - rules.StartTime) / 1000000.0;
  if (rules.SyncMethod > 0 || (rules.SyncMethod < 0 && tb > 0.001)) {
    const double vdelta = ipts / tb - double(Stream.SyncPts);
    if (vdelta < -1.1) {
      nbFrames = 0;
    } else if (rules.SyncMethod == 2) {
      Stream.SyncPts = std::llrint(ipts / tb);
    } else if (vdelta > AccountableFrames(input, tb, rules)) {
      // No gap in this source is that long: the time stamp is broken, not
      // a pause. The picture goes out once and later ones follow it.
      ClockShift += std::llrint((vdelta - 1.0) * tb * 1000000.0);
      if (rules.LogsSync)
        Owner.Log(1, Format("*** time stamp jump of %.1f s ignored", (vdelta - 1.0) * tb));
    } else if (vdelta > 1.1) {
      nbFrames = std::llrint(vdelta);
      // However the copies add up over many pictures, the output never
      // runs past what a source of known length lasts (and a second). A
      // filter chain may retime the pictures on purpose: its clock rules.
      if (const double seconds = Owner.SourceSeconds(input);
          seconds > 0 && input.PicturePts == NoTimestamp)
        nbFrames = std::max<int64_t>(
            1, std::min<int64_t>(nbFrames, std::llrint((seconds + 1.0) / tb) - Stream.SyncPts));
    }
    if (nbFrames == 0) {
      Owner.CountDropped();
      if (rules.LogsSync)
        Owner.Log(1, "*** drop!");
    } else if (nbFrames > 1) {
      Owner.CountDuplicated(int(nbFrames));
      if (rules.LogsSync)
        Owner.Log(1, Format("*** %d dup!", int(nbFrames - 1)));
    }
  } else {
    Stream.SyncPts = std::llrint(ipts / tb);
  }
  nbFrames = std::min<int64_t>(nbFrames, int64_t(rules.MaxFrames) - Stream.FramesWritten);
  if (nbFrames <= 0)
    return 0;

  // A picture that cannot be cropped or padded to the encoder's is refused
  // here, before it counts as written.
  const AVPixelFormat decFormat = DecodedFormatOf(picture, input);
  if (!rules.FiltersInUse && Crop.Any()) {
    TPicture view = PictureOf(picture);
    if (picture->width - Crop.Left - Crop.Right <= 0 ||
        picture->height - Crop.Top - Crop.Bottom <= 0 ||
        !CropPicture(view, view, decFormat, picture->width, picture->height, Crop.Top, Crop.Left))
      return Refuse(rules, "error cropping picture");
  }
  if (enc->width - Pad.Left - Pad.Right <= 0 || enc->height - Pad.Top - Pad.Bottom <= 0)
    return Refuse(rules, "error padding picture");

  if (Owner.StopRequested())
    return 0; // a stopped run writes nothing more
  // The copies count as written now: the clock the next picture is synced
  // against moves on before the encoder has seen this one.
  Stream.SyncPts += nbFrames;
  Stream.FramesWritten += int(nbFrames);
  return nbFrames;
}

int TVideoOutput::Take(const AVFrame* picture, const TVideoCopies& copies) {
  AVCodecContext* enc = Stream.Encoder;
  const TVideoRules rules = Owner.Rules();
  int frameSize = 0;

  // 2. Crop (the filter graph crops when filters are in use). The crop is
  // taken off whatever size this picture has.
  const AVPixelFormat encFormat = enc->pix_fmt;
  const bool pads = Pad.Any();
  const int innerWidth = enc->width - Pad.Left - Pad.Right;
  const int innerHeight = enc->height - Pad.Top - Pad.Bottom;
  const TScaleTarget target = ScaleTargetOf(enc, innerWidth, innerHeight, rules.SwsFlags);
  const bool crops = !rules.FiltersInUse && Crop.Any();
  // A picture its decoder scaled ahead has the encoder's size and format
  // already.
  const bool ahead = !crops && ScaledAheadFor(picture, target);
  const AVPixelFormat decFormat = copies.DecodedFormat;
  const int width = picture->width - (crops ? Crop.Left + Crop.Right : 0);
  const int height = picture->height - (crops ? Crop.Top + Crop.Bottom : 0);
  TPicture formatted = PictureOf(picture);
  if (crops && (width <= 0 || height <= 0 ||
                !CropPicture(formatted, formatted, decFormat, picture->width, picture->height,
                             Crop.Top, Crop.Left)))
    return Refuse(rules, "error cropping picture");

  // 3. Scale and pad into ScaledPicture. The encoder's picture never
  // changes; the scaler follows the pictures, whose size or pixel format may
  // change in the middle of a stream.
  if (innerWidth <= 0 || innerHeight <= 0)
    return Refuse(rules, "error padding picture");
  const bool scales = width != innerWidth || height != innerHeight || decFormat != encFormat;
  if (pads || scales) {
    if (!ScaledPicture) {
      ScaledPicture.reset(avutil::av_frame_alloc());
      if (!ScaledPicture)
        throw FFMpegException("Cannot allocate temp picture, check pix fmt");
      ScaledPicture->format = encFormat;
      ScaledPicture->width = enc->width;
      ScaledPicture->height = enc->height;
      if (avutil::av_frame_get_buffer(ScaledPicture.get(), 0) < 0)
        throw FFMpegException("Cannot allocate temp picture, check pix fmt");
    }
    // The encoder may still hold the previous picture drawn here.
    if (avutil::av_frame_make_writable(ScaledPicture.get()) < 0)
      throw FFMpegException("Cannot allocate temp picture, check pix fmt");
  }
  AVFrame* scaled = ScaledPicture.get();
  const AVFrame* owner = picture; // whose buffers the final picture lies in
  TPicture final = formatted;
  const TPicture* padSource = &formatted;
  if (pads) {
    owner = scaled;
    final = PictureOf(scaled);
  }
  if (scales) {
    TPicture drawn = PictureOf(scaled);
    if (pads && !CropPicture(drawn, drawn, encFormat, enc->width, enc->height, Pad.Top, Pad.Left))
      return Refuse(rules, "error padding picture");
    padSource = nullptr;
    owner = scaled;
    final = PictureOf(scaled);
    Scaler.Scale(picture, formatted, decFormat, width, height, target, drawn);
  }
  if (pads && !PadPicture(final, padSource, enc->height, enc->width, encFormat, Pad.Top, Pad.Bottom,
                          Pad.Left, Pad.Right, rules.PadColor.data()))
    return Refuse(rules, "error padding picture");

  // 4. Emit it nbFrames times.
  if (!EncodeFrame)
    EncodeFrame.reset(avutil::av_frame_alloc());
  AVFrame* out = EncodeFrame.get();
  if (!out)
    throw FFMpegException("Video encoding failed");
  avutil::av_frame_unref(out);
  // A picture scaled ahead goes to the encoder as the stage's own scaled
  // picture would: its pixels, without the decoded picture's description.
  const int copied = ahead                   ? RefPixels(out, picture)
                     : HoldsItsPixels(owner) ? avutil::av_frame_ref(out, owner)
                                             : avutil::av_frame_copy_props(out, owner);
  if (copied < 0)
    throw FFMpegException("Video encoding failed");
  for (int i = 0; i < 4; ++i) {
    out->data[i] = final.Data[i];
    out->linesize[i] = final.Linesize[i];
  }
  out->format = encFormat;
  out->width = enc->width;
  out->height = enc->height;
  out->interlaced_frame = picture->interlaced_frame;
  if (rules.InterlacedCoding)
    out->top_field_first =
        rules.TopFieldFirst == -1 ? picture->top_field_first : rules.TopFieldFirst;
  out->quality = rules.SameQuality ? picture->quality : enc->global_quality;
  if (!rules.KeepPictureType)
    out->pict_type = AV_PICTURE_TYPE_NONE;

  for (int64_t i = 0; i < copies.Count && !Owner.StopRequested(); ++i) {
    int64_t pts = copies.FirstPts + i;
    if (NextEncoderPts != NoTimestamp && pts < NextEncoderPts)
      pts = NextEncoderPts;
    out->pts = pts;
    const int bytes = Owner.EncodeAndWrite(Stream, out);
    NextEncoderPts = pts + 1;
    if (bytes > 0)
      frameSize = bytes;
  }
  avutil::av_frame_unref(out);
  return frameSize;
}

// ---- The engine's side

namespace {

class TVideoLink : public TVideoOutputOwner {
public:
  explicit TVideoLink(TCustomFFmpeg& engine) : Engine(engine) {}

  TVideoRules Rules() const override {
    const TCustomFFmpeg& e = Engine;
    TVideoRules rules;
    rules.SyncMethod = e.Settings.VideoSyncMethod;
    rules.StartTime = e.Settings.StartTime;
    rules.MaxFrames = e.Settings.MaxFrames[AVMEDIA_TYPE_VIDEO];
    rules.DtsDeltaThreshold = e.Settings.DtsDeltaThreshold;
    rules.LogsSync = e.Settings.Verbose > 2;
    rules.StopOnError = e.Settings.StopOnError;
    rules.FiltersInUse = e.Settings.FiltersInUse;
    rules.SwsFlags = e.Settings.SwsFlags;
    rules.PadColor = {e.Settings.PadColor[0], e.Settings.PadColor[1], e.Settings.PadColor[2]};
    const AVCodecContext* options = e.Settings.CodecOptionContexts[AVMEDIA_TYPE_VIDEO].get();
    rules.InterlacedCoding =
        options && (options->flags & (AV_CODEC_FLAG_INTERLACED_DCT | AV_CODEC_FLAG_INTERLACED_ME));
    rules.TopFieldFirst = e.Settings.TopFieldFirst;
    rules.SameQuality = e.Settings.SameQuality != 0;
    rules.KeepPictureType = e.Settings.MeThreshold != 0;
    return rules;
  }
  double SourceSeconds(const TInputStreamState& input) const override {
    return Engine.SourceSeconds(input);
  }
  bool StopRequested() const override { return Engine.StopRequested; }
  void Log(int level, const std::string& message) override { Engine.Log(level, message); }
  void CountDropped() override { ++Engine.RunState.FramesDropped; }
  void CountDuplicated(int copies) override { Engine.RunState.FramesDuplicated += copies; }
  int EncodeAndWrite(TOutputStreamState& stream, AVFrame* frame) override {
    return Engine.EncodeAndWriteFrame(stream.Output, stream, frame);
  }

private:
  TCustomFFmpeg& Engine;
};

// A stream that was never set up as video takes no pictures.
TVideoOutput& StageOf(TOutputStreamState& stream) {
  if (!stream.Video)
    throw FFMpegException("Video encoding failed");
  return *stream.Video;
}

} // namespace

std::unique_ptr<TVideoOutputOwner> MakeVideoLink(TCustomFFmpeg& engine) {
  return std::make_unique<TVideoLink>(engine);
}

double TCustomFFmpeg::SourceSeconds(const TInputStreamState& input) const {
  const AVFormatContext* file = input.FileIndex >= 0 && input.FileIndex < MaxFiles
                                    ? InputFiles[input.FileIndex].get()
                                    : nullptr;
  return file && file->duration != AV_NOPTS_VALUE && file->duration > 0
             ? double(file->duration) / AV_TIME_BASE
             : -1.0;
}

int64_t TCustomFFmpeg::PlanVideoCopies(TOutputStreamState& stream, TInputStreamState& input,
                                       const AVFrame* picture) {
  return StageOf(stream).Plan(input, picture);
}

int TCustomFFmpeg::EmitVideoCopies(AVFormatContext*, TOutputStreamState& stream,
                                   const AVFrame* picture, const TVideoCopies& copies) {
  return StageOf(stream).Take(picture, copies);
}

void TCustomFFmpeg::EncodeAndWriteVideo(AVFormatContext* output, TOutputStreamState& stream,
                                        TInputStreamState& input, AVFrame* picture,
                                        int& frameSize) {
  frameSize = 0;
  TVideoCopies copies;
  copies.Count = PlanVideoCopies(stream, input, picture);
  if (copies.Count <= 0)
    return;
  copies.FirstPts = stream.SyncPts - copies.Count;
  copies.FramesAfter = stream.FramesWritten;
  copies.DecodedFormat = DecodedFormatOf(picture, input);
  if (!PostingOutputWork()) {
    frameSize = EmitVideoCopies(output, stream, picture, copies);
    return;
  }
  // The output side takes the picture later: it needs pixels of its own.
  std::shared_ptr<AVFrame> own(OwnedPicture(picture),
                               [](AVFrame* f) { avutil::av_frame_free(&f); });
  PostOutputWork([this, output, &stream, own, copies] {
    const int bytes = EmitVideoCopies(output, stream, own.get(), copies);
    if (Settings.VStatsFileName && bytes)
      WriteVideoStats(output, stream, bytes, copies.FramesAfter, copies.FirstPts + copies.Count);
  });
}

void TCustomFFmpeg::WriteVideoStats(AVFormatContext*, TOutputStreamState& stream, int frameSize,
                                    int frames, int64_t syncPts) {
  if (frames < 0)
    frames = stream.FramesWritten;
  if (syncPts < 0)
    syncPts = stream.SyncPts;
  if (!RunState.VStatsFile) {
    const std::string name = Settings.VStatsFileName ? Settings.VStatsFileName.get() : "";
    RunState.VStatsFile = myutil::my_fopen(name.c_str(), "w");
    if (!RunState.VStatsFile)
      throw FFMpegException("fopen fail: " + name);
  }
  const AVCodecContext* enc = stream.Encoder;
  if (enc->codec_type != AVMEDIA_TYPE_VIDEO)
    return;
  FILE* file = RunState.VStatsFile;
  myutil::my_fprintf(file, "frame= %5d q= %2.1f ", frames,
                     double(float(stream.LastQuality) / float(FF_QP2LAMBDA)));
  if (enc->flags & AV_CODEC_FLAG_PSNR)
    myutil::my_fprintf(file, "PSNR= %6.2f ",
                       -10.0 * std::log10(double(stream.LastError[0].load()) /
                                          (double(enc->width) * enc->height * 255.0 * 255.0)));
  myutil::my_fprintf(file, "f_size= %6d ", frameSize);
  const double tb = double(enc->time_base.num) / enc->time_base.den;
  const double t = std::max(double(syncPts) * tb, 0.01);
  myutil::my_fprintf(file, "s_size= %8.0fkB time= %0.3f br= %7.1fkbits/s avg_br= %7.1fkbits/s ",
                     double(RunState.VideoBytesWritten.load()) / 1024, t, frameSize * 8 / tb / 1000,
                     double(RunState.VideoBytesWritten.load()) * 8 / t / 1000);
  myutil::my_fprintf(file, "type= %c\n",
                     avutil::av_get_picture_type_char(AVPictureType(stream.LastPictType.load())));
}

} // namespace kestro
