#include "PictureOps.h"

#include <algorithm>
#include <cmath>
#include <cstring>

namespace kestro {

namespace {

constexpr uint64_t NoByteLayout = AV_PIX_FMT_FLAG_HWACCEL | AV_PIX_FMT_FLAG_BITSTREAM;

bool IsChroma(const AVPixFmtDescriptor* desc, int component) {
  return !(desc->flags & AV_PIX_FMT_FLAG_RGB) && desc->nb_components >= 3 &&
         (component == 1 || component == 2);
}

bool IsAlpha(const AVPixFmtDescriptor* desc, int component) {
  return (desc->flags & AV_PIX_FMT_FLAG_ALPHA) && component == desc->nb_components - 1;
}

int Clamp255(double v) {
  return int(std::lround(std::clamp(v, 0.0, 255.0)));
}

// The colour's value for each component at 8 bits, or false when some
// component cannot be written as a whole byte or 16-bit word.
bool ComponentValues(const AVPixFmtDescriptor* desc, const int yuv[3], int values[4]) {
  if (!desc || (desc->flags & (NoByteLayout | AV_PIX_FMT_FLAG_PAL | AV_PIX_FMT_FLAG_FLOAT |
                               AV_PIX_FMT_FLAG_BAYER)))
    return false;
  for (int c = 0; c < desc->nb_components; ++c) {
    const AVComponentDescriptor& comp = desc->comp[c];
    const int bytes = comp.depth <= 8 ? 1 : 2;
    if (comp.shift != 0 || comp.depth > 16 || comp.step < bytes)
      return false;
  }
  if (desc->flags & AV_PIX_FMT_FLAG_RGB) {
    // ITU-R BT.601, studio range: the colour options speak YUV.
    const double y = 1.164 * (yuv[0] - 16), u = yuv[1] - 128, v = yuv[2] - 128;
    values[0] = Clamp255(y + 1.596 * v);
    values[1] = Clamp255(y - 0.813 * v - 0.391 * u);
    values[2] = Clamp255(y + 2.018 * u);
  } else {
    values[0] = yuv[0];
    values[1] = yuv[1];
    values[2] = yuv[2];
  }
  values[3] = 255;
  return true;
}

} // namespace

bool IsYuvFormat(int format) {
  const AVPixFmtDescriptor* desc = avutil::av_pix_fmt_desc_get(AVPixelFormat(format));
  return desc && !(desc->flags & AV_PIX_FMT_FLAG_RGB) && desc->nb_components >= 3;
}

TPicture PictureOf(const AVFrame* frame) {
  TPicture p;
  for (int i = 0; i < 4; ++i) {
    p.Data[i] = frame->data[i];
    p.Linesize[i] = frame->linesize[i];
  }
  return p;
}

bool CropPicture(TPicture& view, const TPicture& source, AVPixelFormat format, int width,
                 int height, int top, int left) {
  const AVPixFmtDescriptor* desc = avutil::av_pix_fmt_desc_get(format);
  if (!desc || (desc->flags & NoByteLayout) || top < 0 || left < 0 ||
      (width > 0 && left >= width) || (height > 0 && top >= height))
    return false;
  int steps[4], stepComponents[4];
  avutil::av_image_fill_max_pixsteps(steps, stepComponents, desc);
  // A palette is not part of the picture area: it stays where it is.
  const int planes =
      (desc->flags & AV_PIX_FMT_FLAG_PAL) ? 1 : avutil::av_pix_fmt_count_planes(format);
  TPicture out = source;
  for (int p = 0; p < planes; ++p) {
    if (!source.Data[p])
      return false;
    const int rowShift = (p == 1 || p == 2) ? desc->log2_chroma_h : 0;
    const int columnShift = IsChroma(desc, stepComponents[p]) ? desc->log2_chroma_w : 0;
    out.Data[p] = source.Data[p] + ptrdiff_t(top >> rowShift) * source.Linesize[p] +
                  ptrdiff_t(left >> columnShift) * steps[p];
  }
  view = out;
  return true;
}

bool FillPicture(const TPicture& picture, AVPixelFormat format, int x, int y, int width, int height,
                 const int yuv[3]) {
  const AVPixFmtDescriptor* desc = avutil::av_pix_fmt_desc_get(format);
  int values[4];
  if (!ComponentValues(desc, yuv, values))
    return false;
  if (width <= 0 || height <= 0)
    return true;
  for (int c = 0; c < desc->nb_components; ++c) {
    const AVComponentDescriptor& comp = desc->comp[c];
    const bool chroma = IsChroma(desc, c);
    const int sw = chroma ? desc->log2_chroma_w : 0, sh = chroma ? desc->log2_chroma_h : 0;
    // Whole chroma samples that the rectangle touches.
    const int x0 = x >> sw, x1 = -((-(x + width)) >> sw);
    const int y0 = y >> sh, y1 = -((-(y + height)) >> sh);
    const int base = values[c];
    const int value = IsAlpha(desc, c)  ? (1 << comp.depth) - 1
                      : comp.depth >= 8 ? base << (comp.depth - 8)
                                        : base >> (8 - comp.depth);
    for (int row = y0; row < y1; ++row) {
      uint8_t* line =
          picture.Data[comp.plane] + ptrdiff_t(row) * picture.Linesize[comp.plane] + comp.offset;
      for (int column = x0; column < x1; ++column) {
        uint8_t* q = line + ptrdiff_t(column) * comp.step;
        if (comp.depth <= 8) {
          q[0] = uint8_t(value);
        } else if (desc->flags & AV_PIX_FMT_FLAG_BE) {
          q[0] = uint8_t(value >> 8);
          q[1] = uint8_t(value);
        } else {
          q[0] = uint8_t(value);
          q[1] = uint8_t(value >> 8);
        }
      }
    }
  }
  return true;
}

bool PadPicture(const TPicture& picture, const TPicture* source, int height, int width,
                AVPixelFormat format, int top, int bottom, int left, int right, const int yuv[3]) {
  const int innerWidth = width - left - right, innerHeight = height - top - bottom;
  if (top < 0 || bottom < 0 || left < 0 || right < 0 || innerWidth <= 0 || innerHeight <= 0)
    return false;
  TPicture inner;
  if (source && !CropPicture(inner, picture, format, width, height, top, left))
    return false;
  if (!FillPicture(picture, format, 0, 0, width, top, yuv) ||
      !FillPicture(picture, format, 0, height - bottom, width, bottom, yuv) ||
      !FillPicture(picture, format, 0, top, left, innerHeight, yuv) ||
      !FillPicture(picture, format, width - right, top, right, innerHeight, yuv))
    return false;
  if (source)
    CopyPicture(inner, *source, format, innerWidth, innerHeight);
  return true;
}

void CopyPicture(const TPicture& target, const TPicture& source, AVPixelFormat format, int width,
                 int height) {
  uint8_t* targetData[4] = {target.Data[0], target.Data[1], target.Data[2], target.Data[3]};
  int targetLinesize[4] = {target.Linesize[0], target.Linesize[1], target.Linesize[2],
                           target.Linesize[3]};
  const uint8_t* sourceData[4] = {source.Data[0], source.Data[1], source.Data[2], source.Data[3]};
  avutil::av_image_copy(targetData, targetLinesize, sourceData, source.Linesize, format, width,
                        height);
}

bool CanTurnPicture(AVPixelFormat format, int quarterTurns) {
  const AVPixFmtDescriptor* desc = avutil::av_pix_fmt_desc_get(format);
  if (!desc || (desc->flags & (NoByteLayout | AV_PIX_FMT_FLAG_PAL)))
    return false;
  if ((quarterTurns & 1) && desc->log2_chroma_w != desc->log2_chroma_h)
    return false;
  int steps[4], stepComponents[4];
  avutil::av_image_fill_max_pixsteps(steps, stepComponents, desc);
  // Packed pairs (two lumas sharing one chroma) cannot be moved one by one.
  for (int c = 0; c < desc->nb_components; ++c)
    if (desc->comp[c].step != steps[desc->comp[c].plane])
      return false;
  return true;
}

bool TurnPicture(const TPicture& target, const TPicture& source, AVPixelFormat format, int width,
                 int height, int quarterTurns) {
  quarterTurns &= 3;
  if (!CanTurnPicture(format, quarterTurns))
    return false;
  const AVPixFmtDescriptor* desc = avutil::av_pix_fmt_desc_get(format);
  int steps[4], stepComponents[4];
  avutil::av_image_fill_max_pixsteps(steps, stepComponents, desc);
  const int planes = avutil::av_pix_fmt_count_planes(format);
  for (int p = 0; p < planes; ++p) {
    const bool chroma = p == 1 || p == 2;
    const int w = chroma ? -((-width) >> desc->log2_chroma_w) : width;
    const int h = chroma ? -((-height) >> desc->log2_chroma_h) : height;
    const int step = steps[p];
    for (int y = 0; y < h; ++y) {
      const uint8_t* in = source.Data[p] + ptrdiff_t(y) * source.Linesize[p];
      for (int x = 0; x < w; ++x) {
        // Where source pixel (x, y) lands.
        int tx = x, ty = y;
        switch (quarterTurns) {
        case 1: tx = h - 1 - y; ty = x; break;
        case 2: tx = w - 1 - x; ty = h - 1 - y; break;
        case 3: tx = y; ty = w - 1 - x; break;
        default: break;
        }
        uint8_t* out = target.Data[p] + ptrdiff_t(ty) * target.Linesize[p] + ptrdiff_t(tx) * step;
        if (step == 1)
          *out = in[x];
        else
          std::memcpy(out, in + ptrdiff_t(x) * step, size_t(step));
      }
    }
  }
  return true;
}

} // namespace kestro
