// Video output: how many times a picture goes out (sync against the input
// clock), crop, scale and pad to the encoder's picture, encoding, and the
// per-frame statistics file.
#include "EngineText.h"
#include "FFmpeg.h"
#include "PictureOps.h"

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

int ScalerMatrixOf(int colorspace) {
  switch (colorspace) {
  case AVCOL_SPC_BT709:
    return SWS_CS_ITU709;
  case AVCOL_SPC_FCC:
    return SWS_CS_FCC;
  case AVCOL_SPC_SMPTE240M:
    return SWS_CS_SMPTE240M;
  case AVCOL_SPC_BT2020_NCL:
  case AVCOL_SPC_BT2020_CL:
    return SWS_CS_BT2020;
  default: // BT.601 in its variants, or not said
    return SWS_CS_DEFAULT;
  }
}

bool FullRange(AVPixelFormat format, int range) {
  switch (format) {
  case AV_PIX_FMT_YUVJ420P:
  case AV_PIX_FMT_YUVJ422P:
  case AV_PIX_FMT_YUVJ444P:
  case AV_PIX_FMT_YUVJ440P:
  case AV_PIX_FMT_YUVJ411P:
    return true;
  default:
    return range == AVCOL_RANGE_JPEG;
  }
}

// Tells the scaler the matrix and range of the YUV side(s) it converts:
// the picture's own, and the encoder's (which carries the source's).
void DescribeScalerColours(TOutputStreamState& stream, const AVFrame* picture,
                           AVPixelFormat from, int width, int height) {
  const AVCodecContext* enc = stream.Encoder;
  const int matrix =
      ScalerMatrixOf(KnownOrUnspecified(picture->colorspace, AVCOL_SPC_NB, AVCOL_SPC_UNSPECIFIED));
  const int range = FullRange(from, KnownOrUnspecified(picture->color_range, AVCOL_RANGE_NB,
                                                       AVCOL_RANGE_UNSPECIFIED))
                        ? 1
                        : 0;
  SwsContext* scaler = stream.Scaler.get();
  if (width == stream.ScalerWidth && height == stream.ScalerHeight &&
      from == stream.ScalerFormat && matrix == stream.ScalerMatrix && range == stream.ScalerRange)
    return;
  int* inverse = nullptr;
  int* table = nullptr;
  int srcRange = 0, dstRange = 0, brightness = 0, contrast = 0, saturation = 0;
  if (swscale::sws_getColorspaceDetails(scaler, &inverse, &srcRange, &table, &dstRange,
                                        &brightness, &contrast, &saturation) < 0)
    return; // a scaler without colour conversion
  const int* srcTable = inverse;
  const int* dstTable = table;
  if (IsYuvFormat(from)) {
    srcTable = swscale::sws_getCoefficients(matrix);
    srcRange = range;
  }
  if (IsYuvFormat(enc->pix_fmt)) {
    const int encMatrix =
        enc->colorspace != AVCOL_SPC_UNSPECIFIED ? ScalerMatrixOf(enc->colorspace) : matrix;
    dstTable = swscale::sws_getCoefficients(encMatrix);
    dstRange = FullRange(enc->pix_fmt, enc->color_range) ? 1 : 0;
  }
  swscale::sws_setColorspaceDetails(scaler, srcTable, srcRange, dstTable, dstRange, brightness,
                                    contrast, saturation);
  stream.ScalerMatrix = matrix;
  stream.ScalerRange = range;
  stream.ScalerWidth = width;
  stream.ScalerHeight = height;
  stream.ScalerFormat = from;
}

} // namespace

double TCustomFFmpeg::SourceSeconds(const TInputStreamState& input) const {
  const AVFormatContext* file =
      input.FileIndex >= 0 && input.FileIndex < MaxFiles ? InputFiles[input.FileIndex].get() : nullptr;
  return file && file->duration != AV_NOPTS_VALUE && file->duration > 0
             ? double(file->duration) / AV_TIME_BASE
             : -1.0;
}

double TCustomFFmpeg::AccountableFrames(const TInputStreamState& input, double tb) const {
  const double seconds = SourceSeconds(input);
  return (seconds > 0 ? seconds : double(DtsDeltaThreshold)) / tb + 1.0;
}

int64_t TCustomFFmpeg::PlanVideoCopies(TOutputStreamState& stream, TInputStreamState& input,
                                       const AVFrame* picture) {
  const AVCodecContext* enc = stream.Encoder;

  // 1. How many times this picture goes out.
  int64_t nbFrames = 1;
  const double tb = double(enc->time_base.num) / enc->time_base.den;
  const TInputStreamState& sync = stream.SyncInput ? *stream.SyncInput : input;
  // A filtered picture has a time of its own.
  const int64_t clock =
      &sync == &input && input.PicturePts != NoTimestamp ? input.PicturePts : sync.Pts;
  const double ipts = double(clock - stream.ClockShift - StartTime) / 1000000.0;
  if (VideoSyncMethod > 0 || (VideoSyncMethod < 0 && tb > 0.001)) {
    const double vdelta = ipts / tb - double(stream.SyncPts);
    if (vdelta < -1.1) {
      nbFrames = 0;
    } else if (VideoSyncMethod == 2) {
      stream.SyncPts = std::llrint(ipts / tb);
    } else if (vdelta > AccountableFrames(input, tb)) {
      // No gap in this source is that long: the time stamp is broken, not
      // a pause. The picture goes out once and later ones follow it.
      stream.ClockShift += std::llrint((vdelta - 1.0) * tb * 1000000.0);
      if (Verbose > 2)
        Log(1, Format("*** time stamp jump of %.1f s ignored", (vdelta - 1.0) * tb));
    } else if (vdelta > 1.1) {
      nbFrames = std::llrint(vdelta);
      // However the copies add up over many pictures, the output never
      // runs past what a source of known length lasts (and a second). A
      // filter chain may retime the pictures on purpose: its clock rules.
      if (const double seconds = SourceSeconds(input);
          seconds > 0 && input.PicturePts == NoTimestamp)
        nbFrames = std::max<int64_t>(
            1, std::min<int64_t>(nbFrames, std::llrint((seconds + 1.0) / tb) - stream.SyncPts));
    }
    if (nbFrames == 0) {
      ++FramesDropped;
      if (Verbose > 2)
        Log(1, "*** drop!");
    } else if (nbFrames > 1) {
      FramesDuplicated += int(nbFrames);
      if (Verbose > 2)
        Log(1, Format("*** %d dup!", int(nbFrames - 1)));
    }
  } else {
    stream.SyncPts = std::llrint(ipts / tb);
  }
  nbFrames =
      std::min<int64_t>(nbFrames, int64_t(MaxFrames[AVMEDIA_TYPE_VIDEO]) - stream.FramesWritten);
  if (nbFrames <= 0)
    return 0;

  // A picture that cannot be cropped or padded to the encoder's is refused
  // here, before it counts as written.
  const auto refuse = [&](const char* message) -> int64_t {
    if (StopOnError)
      throw FFMpegException(message);
    Log(0, message);
    return 0;
  };
  const AVPixelFormat decFormat = DecodedFormatOf(picture, input);
  if (!FiltersInUse && stream.CropsPicture) {
    TPicture view = PictureOf(picture);
    if (picture->width - stream.LeftCrop - stream.RightCrop <= 0 ||
        picture->height - stream.TopCrop - stream.BottomCrop <= 0 ||
        !CropPicture(view, view, decFormat, picture->width, picture->height, stream.TopCrop,
                     stream.LeftCrop))
      return refuse("error cropping picture");
  }
  if (enc->width - stream.LeftPad - stream.RightPad <= 0 ||
      enc->height - stream.TopPad - stream.BottomPad <= 0)
    return refuse("error padding picture");

  if (StopRequested)
    return 0; // a stopped run writes nothing more
  // The copies count as written now: the clock the next picture is synced
  // against moves on before the encoder has seen this one.
  stream.SyncPts += nbFrames;
  stream.FramesWritten += int(nbFrames);
  return nbFrames;
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
  std::shared_ptr<AVFrame> own(OwnedPicture(picture), [](AVFrame* f) { avutil::av_frame_free(&f); });
  PostOutputWork([this, output, &stream, own, copies] {
    const int bytes = EmitVideoCopies(output, stream, own.get(), copies);
    if (VStatsFileName && bytes)
      WriteVideoStats(output, stream, bytes, copies.FramesAfter, copies.FirstPts + copies.Count);
  });
}


int TCustomFFmpeg::EmitVideoCopies(AVFormatContext* output, TOutputStreamState& stream,
                                   const AVFrame* picture, const TVideoCopies& copies) {
  AVCodecContext* enc = stream.Encoder;
  int frameSize = 0;
  auto refuse = [&](const char* message) {
    if (StopOnError)
      throw FFMpegException(message);
    Log(0, message);
    return 0;
  };

  // 2. Crop (the filter graph crops when filters are in use). The crop is
  // taken off whatever size this picture has.
  const AVPixelFormat decFormat = copies.DecodedFormat;
  const bool crops = !FiltersInUse && stream.CropsPicture;
  const int width = picture->width - (crops ? stream.LeftCrop + stream.RightCrop : 0);
  const int height = picture->height - (crops ? stream.TopCrop + stream.BottomCrop : 0);
  TPicture formatted = PictureOf(picture);
  if (crops && (width <= 0 || height <= 0 ||
                !CropPicture(formatted, formatted, decFormat, picture->width, picture->height,
                             stream.TopCrop, stream.LeftCrop)))
    return refuse("error cropping picture");

  // 3. Scale and pad into ScaledPicture. The encoder's picture never
  // changes; the scaler follows the pictures, whose size or pixel format may
  // change in the middle of a stream.
  const AVPixelFormat encFormat = enc->pix_fmt;
  const int innerWidth = enc->width - stream.LeftPad - stream.RightPad;
  const int innerHeight = enc->height - stream.TopPad - stream.BottomPad;
  if (innerWidth <= 0 || innerHeight <= 0)
    return refuse("error padding picture");
  const bool scales = width != innerWidth || height != innerHeight || decFormat != encFormat;
  if (scales) {
    // A picture nobody could describe (no pixel format) is refused here:
    // the scaler library aborts on it.
    if (!avutil::av_pix_fmt_desc_get(decFormat))
      throw FFMpegException("Cannot get resampling context");
    stream.Scaler.reset(swscale::sws_getCachedContext(stream.Scaler.release(), width, height,
                                                      decFormat, innerWidth, innerHeight,
                                                      encFormat, int(SwsFlags), nullptr, nullptr,
                                                      nullptr));
    if (!stream.Scaler)
      throw FFMpegException("Cannot get resampling context");
    DescribeScalerColours(stream, picture, decFormat, width, height);
  }
  if (stream.PadsPicture || scales) {
    if (!stream.ScaledPicture) {
      stream.ScaledPicture.reset(avutil::av_frame_alloc());
      if (!stream.ScaledPicture)
        throw FFMpegException("Cannot allocate temp picture, check pix fmt");
      stream.ScaledPicture->format = encFormat;
      stream.ScaledPicture->width = enc->width;
      stream.ScaledPicture->height = enc->height;
      if (avutil::av_frame_get_buffer(stream.ScaledPicture.get(), 0) < 0)
        throw FFMpegException("Cannot allocate temp picture, check pix fmt");
    }
    // The encoder may still hold the previous picture drawn here.
    if (avutil::av_frame_make_writable(stream.ScaledPicture.get()) < 0)
      throw FFMpegException("Cannot allocate temp picture, check pix fmt");
  }
  AVFrame* scaled = stream.ScaledPicture.get();
  const AVFrame* owner = picture; // whose buffers the final picture lies in
  TPicture final = formatted;
  const TPicture* padSource = &formatted;
  if (stream.PadsPicture) {
    owner = scaled;
    final = PictureOf(scaled);
  }
  if (scales) {
    TPicture target = PictureOf(scaled);
    if (stream.PadsPicture && !CropPicture(target, target, encFormat, enc->width, enc->height,
                                           stream.TopPad, stream.LeftPad))
      return refuse("error padding picture");
    padSource = nullptr;
    owner = scaled;
    final = PictureOf(scaled);
    swscale::sws_scale(stream.Scaler.get(), formatted.Data, formatted.Linesize, 0, height,
                       target.Data, target.Linesize);
  }
  if (stream.PadsPicture &&
      !PadPicture(final, padSource, enc->height, enc->width, encFormat, stream.TopPad,
                  stream.BottomPad, stream.LeftPad, stream.RightPad, PadColor))
    return refuse("error padding picture");

  // 4. Emit it nbFrames times.
  if (!VideoEncodeFrame)
    VideoEncodeFrame.reset(avutil::av_frame_alloc());
  AVFrame* out = VideoEncodeFrame.get();
  if (!out)
    throw FFMpegException("Video encoding failed");
  avutil::av_frame_unref(out);
  const int copied = HoldsItsPixels(owner) ? avutil::av_frame_ref(out, owner)
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
  const AVCodecContext* videoOptions = CodecOptionContexts[AVMEDIA_TYPE_VIDEO].get();
  if (videoOptions &&
      (videoOptions->flags & (AV_CODEC_FLAG_INTERLACED_DCT | AV_CODEC_FLAG_INTERLACED_ME)))
    out->top_field_first = TopFieldFirst == -1 ? picture->top_field_first : TopFieldFirst;
  out->quality = SameQuality ? picture->quality : enc->global_quality;
  if (MeThreshold == 0)
    out->pict_type = AV_PICTURE_TYPE_NONE;

  for (int64_t i = 0; i < copies.Count && !StopRequested; ++i) {
    int64_t pts = copies.FirstPts + i;
    if (stream.NextEncoderPts != NoTimestamp && pts < stream.NextEncoderPts)
      pts = stream.NextEncoderPts;
    out->pts = pts;
    const int bytes = EncodeAndWriteFrame(output, stream, out);
    stream.NextEncoderPts = pts + 1;
    if (bytes > 0)
      frameSize = bytes;
  }
  avutil::av_frame_unref(out);
  return frameSize;
}


void TCustomFFmpeg::WriteVideoStats(AVFormatContext*, TOutputStreamState& stream, int frameSize,
                                    int frames, int64_t syncPts) {
  if (frames < 0)
    frames = stream.FramesWritten;
  if (syncPts < 0)
    syncPts = stream.SyncPts;
  if (!VStatsFile) {
    const std::string name = VStatsFileName ? VStatsFileName.get() : "";
    VStatsFile = myutil::my_fopen(name.c_str(), "w");
    if (!VStatsFile)
      throw FFMpegException("fopen fail: " + name);
  }
  const AVCodecContext* enc = stream.Encoder;
  if (enc->codec_type != AVMEDIA_TYPE_VIDEO)
    return;
  FILE* file = VStatsFile;
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
                     double(VideoBytesWritten.load()) / 1024, t, frameSize * 8 / tb / 1000,
                     double(VideoBytesWritten.load()) * 8 / t / 1000);
  myutil::my_fprintf(file, "type= %c\n",
                     avutil::av_get_picture_type_char(AVPictureType(stream.LastPictType.load())));
}

} // namespace kestro
