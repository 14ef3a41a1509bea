// Pictures as plane pointers: cropping moves the pointers, padding fills the
// borders, copying moves the pixels. They work for every pixel format whose
// pixels the format descriptor lays out in whole bytes.
#pragma once

#include <cstring>

#include "MediaLibs.h"

namespace kestro {

// Plane pointers and row lengths of a picture whose memory is held elsewhere.
struct TPicture {
  uint8_t* Data[4] = {};
  int Linesize[4] = {};
};

TPicture PictureOf(const AVFrame* frame);

// Whether pictures of `format` are YUV, the only kind that has a colour
// matrix and a range to speak of.
bool IsYuvFormat(int format);

// A colour field as the number it holds, or `unspecified` when that number
// is outside the enumeration (a damaged file can carry any number there).
template <typename TEnum>
TEnum KnownOrUnspecified(const TEnum& field, int count, TEnum unspecified) {
  static_assert(sizeof(TEnum) == sizeof(int));
  int value = 0;
  std::memcpy(&value, &field, sizeof value);
  return value >= 0 && value < count ? static_cast<TEnum>(value) : unspecified;
}

// Makes `view` the part of `source` (width x height) that starts at row
// `top`, column `left`. Offsets that fall between chroma samples are
// rounded down so that luma and chroma stay in step. False when the format
// has no byte layout (hardware, bit-packed) or the offset lies outside.
bool CropPicture(TPicture& view, const TPicture& source, AVPixelFormat format, int width,
                 int height, int top, int left);

// Paints a rectangle (in luma pixels) with a colour given as Y, U, V; RGB
// formats get its RGB equivalent and alpha is made opaque. False for formats
// whose components are not whole bytes or 16-bit words.
bool FillPicture(const TPicture& picture, AVPixelFormat format, int x, int y, int width, int height,
                 const int yuv[3]);

// `picture` is width x height: the bands given by the four pads get the
// colour and, with a source, the inner area receives a copy of it (the
// source being the inner size). Without a source only the bands are painted.
bool PadPicture(const TPicture& picture, const TPicture* source, int height, int width,
                AVPixelFormat format, int top, int bottom, int left, int right, const int yuv[3]);

void CopyPicture(const TPicture& target, const TPicture& source, AVPixelFormat format, int width,
                 int height);

// Whether TurnPicture can turn pictures of `format` by `quarterTurns`: every
// plane's pixels must be whole bytes of one size, and a quarter turn needs
// chroma thinned alike in both directions.
bool CanTurnPicture(AVPixelFormat format, int quarterTurns);

// Draws `source` (width x height) turned clockwise by `quarterTurns` (1 to 3)
// into `target`, which is height x width for an odd number of turns. False
// when CanTurnPicture says no.
bool TurnPicture(const TPicture& target, const TPicture& source, AVPixelFormat format, int width,
                 int height, int quarterTurns);

} // namespace kestro
