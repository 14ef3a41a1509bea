// Scaling a decoded picture to the encoder's: the scaler, remade whenever
// the pictures' size or pixel format changes and told each picture's colour
// matrix and range. The video output stage scales with one; a stream's
// decoders can scale their pictures ahead with their own, on their threads.
#pragma once

#include "LibPtr.h"
#include "PictureOps.h"

#include <cstddef>

namespace kestro {

// The picture a scaler draws, and how.
struct TScaleTarget {
  int Width = 0, Height = 0;
  AVPixelFormat Format = AV_PIX_FMT_NONE;
  AVColorSpace Colorspace = AVCOL_SPC_UNSPECIFIED; // the encoder's
  AVColorRange Range = AVCOL_RANGE_UNSPECIFIED;    // the encoder's
  unsigned Flags = SWS_BICUBIC;
  bool operator==(const TScaleTarget&) const = default;
};

// The encoder's picture less its padding, scaled with `flags`.
TScaleTarget ScaleTargetOf(const AVCodecContext* encoder, int width, int height, unsigned flags);

class TPictureScaler {
public:
  // Scales `from`, the `width` x `height` pixels of `format` that `picture`
  // (its colour description) holds, into `to`. Raises when no scaler can
  // be made for them.
  void Scale(const AVFrame* picture, const TPicture& from, AVPixelFormat format, int width,
             int height, const TScaleTarget& target, const TPicture& to);
  void Reset();
  bool Made() const { return bool(Scaler); }

private:
  void Describe(const AVFrame* picture, AVPixelFormat from, int width, int height,
                const TScaleTarget& target);
  TSwsPtr Scaler;
  // The colour matrix and range the scaler was last told, and the picture
  // size and format it was made for (a remade one starts from the defaults).
  int Matrix = -1, Range = -1;
  int Width = 0, Height = 0, Format = -1;
};

// Whether a decoder scaled `picture` ahead for `target`: its pixels are
// then the encoder's picture, though its description (times, colours, side
// data) is the decoded one's.
bool ScaledAheadFor(const AVFrame* picture, const TScaleTarget& target);

// Scales each decoded picture that needs it ahead for `target`, on the
// thread that decoded it: the picture's pixels are replaced by the scaled
// ones, and it is marked as scaled. A picture it cannot scale goes on as it
// is.
class TScaleAhead {
public:
  explicit TScaleAhead(const TScaleTarget& target) : Target(target) {}
  void operator()(AVFrame* picture);

private:
  // Gives `scaled` pixels laid out as a picture of its own would have them,
  // from the pool; false when memory runs out.
  bool GetPixels(AVFrame* scaled);
  TScaleTarget Target;
  TPictureScaler Scaler;
  // The scaled pictures' pixels come from a pool: the output side hands
  // each back once it is encoded, and the next picture is drawn into memory
  // that stays mapped, rather than memory the allocator has just returned
  // to the system and must map again.
  TBufferPoolPtr Pool;
  TBufferRefPtr Mark; // what each picture scaled here carries
  int Linesize[4] = {};
  ptrdiff_t Offset[4] = {-1, -1, -1, -1}; // of each plane in the buffer; -1: none
};

} // namespace kestro
