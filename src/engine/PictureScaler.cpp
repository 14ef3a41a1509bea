#include "PictureScaler.h"

#include "FFmpeg.h"

#include <new>

namespace kestro {

namespace {

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

// The mark a picture scaled ahead carries in its user data: the target it
// was scaled for. The tag tells it from user data of any other kind.
struct TScaledAheadMark {
  static constexpr uint32_t Tag = 0x4b534148; // "KSAH"
  uint32_t Tagged = Tag;
  TScaleTarget Target;
};

void FreeMark(void*, uint8_t* data) {
  delete reinterpret_cast<TScaledAheadMark*>(data);
}

// The mark as user data of a frame's own; null when memory runs out.
AVBufferRef* MarkFor(const TScaleTarget& target) {
  auto* mark = new (std::nothrow) TScaledAheadMark;
  if (!mark)
    return nullptr;
  mark->Target = target;
  AVBufferRef* ref = avutil::av_buffer_create(reinterpret_cast<uint8_t*>(mark),
                                              sizeof(TScaledAheadMark), FreeMark, nullptr, 0);
  if (!ref)
    delete mark;
  return ref;
}

} // namespace

TScaleTarget ScaleTargetOf(const AVCodecContext* encoder, int width, int height, unsigned flags) {
  TScaleTarget target;
  target.Width = width;
  target.Height = height;
  target.Format = encoder->pix_fmt;
  target.Colorspace = encoder->colorspace;
  target.Range = encoder->color_range;
  target.Flags = flags;
  return target;
}

void TPictureScaler::Reset() {
  Scaler.reset();
  Matrix = Range = -1;
  Width = Height = 0;
  Format = -1;
}

void TPictureScaler::Scale(const AVFrame* picture, const TPicture& from, AVPixelFormat format,
                           int width, int height, const TScaleTarget& target, const TPicture& to) {
  // A picture nobody could describe (no pixel format) is refused here: the
  // scaler library aborts on it.
  if (!avutil::av_pix_fmt_desc_get(format))
    throw FFMpegException("Cannot get resampling context");
  Scaler.reset(swscale::sws_getCachedContext(Scaler.release(), width, height, format, target.Width,
                                             target.Height, target.Format, int(target.Flags),
                                             nullptr, nullptr, nullptr));
  if (!Scaler)
    throw FFMpegException("Cannot get resampling context");
  Describe(picture, format, width, height, target);
  swscale::sws_scale(Scaler.get(), from.Data, from.Linesize, 0, height, to.Data, to.Linesize);
}

void TPictureScaler::Describe(const AVFrame* picture, AVPixelFormat from, int width, int height,
                              const TScaleTarget& target) {
  const int matrix =
      ScalerMatrixOf(KnownOrUnspecified(picture->colorspace, AVCOL_SPC_NB, AVCOL_SPC_UNSPECIFIED));
  const int range = FullRange(from, KnownOrUnspecified(picture->color_range, AVCOL_RANGE_NB,
                                                       AVCOL_RANGE_UNSPECIFIED))
                        ? 1
                        : 0;
  SwsContext* scaler = Scaler.get();
  if (width == Width && height == Height && from == Format && matrix == Matrix && range == Range)
    return;
  int* inverse = nullptr;
  int* table = nullptr;
  int srcRange = 0, dstRange = 0, brightness = 0, contrast = 0, saturation = 0;
  if (swscale::sws_getColorspaceDetails(scaler, &inverse, &srcRange, &table, &dstRange, &brightness,
                                        &contrast, &saturation) < 0)
    return; // a scaler without colour conversion
  const int* srcTable = inverse;
  const int* dstTable = table;
  if (IsYuvFormat(from)) {
    srcTable = swscale::sws_getCoefficients(matrix);
    srcRange = range;
  }
  if (IsYuvFormat(target.Format)) {
    const int encMatrix =
        target.Colorspace != AVCOL_SPC_UNSPECIFIED ? ScalerMatrixOf(target.Colorspace) : matrix;
    dstTable = swscale::sws_getCoefficients(encMatrix);
    dstRange = FullRange(target.Format, target.Range) ? 1 : 0;
  }
  swscale::sws_setColorspaceDetails(scaler, srcTable, srcRange, dstTable, dstRange, brightness,
                                    contrast, saturation);
  Matrix = matrix;
  Range = range;
  Width = width;
  Height = height;
  Format = from;
}

bool ScaledAheadFor(const AVFrame* picture, const TScaleTarget& target) {
  const AVBufferRef* ref = picture->opaque_ref;
  if (!ref || ref->size != sizeof(TScaledAheadMark))
    return false;
  const auto* mark = reinterpret_cast<const TScaledAheadMark*>(ref->data);
  return mark->Tagged == TScaledAheadMark::Tag && mark->Target == target;
}

bool TScaleAhead::GetPixels(AVFrame* scaled) {
  if (!Pool) {
    // The layout (line sizes, plane offsets, padding) is learnt once from a
    // picture made as the output stage makes its own.
    TFramePtr model(avutil::av_frame_alloc());
    if (!model)
      return false;
    model->format = scaled->format;
    model->width = scaled->width;
    model->height = scaled->height;
    if (avutil::av_frame_get_buffer(model.get(), 0) < 0 || !model->buf[0] || model->buf[1])
      return false;
    const AVBufferRef* buffer = model->buf[0];
    for (int i = 0; i < 4; ++i) {
      Linesize[i] = model->linesize[i];
      Offset[i] = model->data[i] ? model->data[i] - buffer->data : -1;
    }
    Pool.reset(avutil::av_buffer_pool_init(buffer->size, nullptr));
    if (!Pool)
      return false;
  }
  AVBufferRef* buffer = avutil::av_buffer_pool_get(Pool.get());
  if (!buffer)
    return false;
  scaled->buf[0] = buffer;
  for (int i = 0; i < 4; ++i) {
    scaled->data[i] = Offset[i] >= 0 ? buffer->data + Offset[i] : nullptr;
    scaled->linesize[i] = Linesize[i];
  }
  scaled->extended_data = scaled->data;
  return true;
}

void TScaleAhead::operator()(AVFrame* picture) {
  // Only pictures that a decoder gave and that need scaling.
  if (picture->opaque_ref || picture->format < 0 || !picture->buf[0])
    return;
  const AVPixelFormat format = AVPixelFormat(picture->format);
  if (picture->width == Target.Width && picture->height == Target.Height && format == Target.Format)
    return;
  // Drawn into a picture made as the output stage makes its own, which
  // then takes the decoded picture's times and description.
  TFramePtr scaled(avutil::av_frame_alloc());
  if (!scaled)
    return;
  scaled->format = Target.Format;
  scaled->width = Target.Width;
  scaled->height = Target.Height;
  if (!GetPixels(scaled.get()))
    return;
  try {
    Scaler.Scale(picture, PictureOf(picture), format, picture->width, picture->height, Target,
                 PictureOf(scaled.get()));
  } catch (const FFMpegException&) {
    return; // the output stage meets it again, and says so
  }
  if (avutil::av_frame_copy_props(scaled.get(), picture) < 0)
    return;
  // Every picture shares the one mark, which nobody changes.
  if (!Mark)
    Mark.reset(MarkFor(Target));
  AVBufferRef* mark = Mark ? avutil::av_buffer_ref(Mark.get()) : nullptr;
  if (!mark)
    return;
  // The decoded pixels go back to the decoder at once, while they are
  // still in its cache.
  avutil::av_frame_unref(picture);
  avutil::av_frame_move_ref(picture, scaled.get());
  picture->opaque_ref = mark;
}

} // namespace kestro
