// Pictures recorded on their side: a phone stores them as its sensor saw
// them and tags the stream with the turn that makes them upright. Decoded
// pictures are turned here, before anything else looks at them, so hooks,
// filters, crop and scale all see them upright.
#include "PictureOps.h"
#include "PictureStage.h"

#include <cmath>

namespace kestro {

const uint8_t* DisplayMatrixOf(const AVStream* stream) {
  size_t size = 0;
  const uint8_t* matrix =
      avformat::av_stream_get_side_data(stream, AV_PKT_DATA_DISPLAYMATRIX, &size);
  return matrix && size >= 9 * sizeof(int32_t) ? matrix : nullptr;
}

int ClockwiseQuarterTurns(const AVStream* stream) {
  const uint8_t* matrix = DisplayMatrixOf(stream);
  if (!matrix)
    return 0;
  // The matrix speaks of a counter-clockwise angle.
  const double degrees =
      -avutil::av_display_rotation_get(reinterpret_cast<const int32_t*>(matrix));
  if (std::isnan(degrees))
    return -1;
  const long quarter = std::lround(degrees / 90.0);
  if (std::fabs(degrees - 90.0 * double(quarter)) > 1.0)
    return -1;
  return int(((quarter % 4) + 4) % 4);
}

void TPictureStage::Turn(AVFrame* picture) {
  const int turns = Rules.QuarterTurns;
  AVPixelFormat format = AVPixelFormat(picture->format);
  const int width = picture->width, height = picture->height;
  TPicture source = PictureOf(picture);
  TFramePtr converted;
  if (!CanTurnPicture(format, turns)) {
    // Pixels that cannot be moved one by one are brought to a format whose
    // pixels can first.
    converted.reset(avutil::av_frame_alloc());
    if (!converted || !avutil::av_pix_fmt_desc_get(format))
      throw FFMpegException("Cannot turn the picture");
    converted->format = AV_PIX_FMT_YUV420P;
    converted->width = width;
    converted->height = height;
    TurnScaler.reset(swscale::sws_getCachedContext(
        TurnScaler.release(), width, height, format, width, height, AV_PIX_FMT_YUV420P,
        int(Rules.SwsFlags), nullptr, nullptr, nullptr));
    if (!TurnScaler || avutil::av_frame_get_buffer(converted.get(), 0) < 0)
      throw FFMpegException("Cannot turn the picture");
    swscale::sws_scale(TurnScaler.get(), picture->data, picture->linesize, 0, height,
                       converted->data, converted->linesize);
    source = PictureOf(converted.get());
    format = AV_PIX_FMT_YUV420P;
  }
  TFramePtr turned(avutil::av_frame_alloc());
  if (!turned)
    throw FFMpegException("Cannot turn the picture");
  const bool sideways = turns & 1;
  turned->format = format;
  turned->width = sideways ? height : width;
  turned->height = sideways ? width : height;
  if (avutil::av_frame_get_buffer(turned.get(), 0) < 0 ||
      avutil::av_frame_copy_props(turned.get(), picture) < 0 ||
      !TurnPicture(PictureOf(turned.get()), source, format, width, height, turns))
    throw FFMpegException("Cannot turn the picture");
  if (sideways && picture->sample_aspect_ratio.num)
    turned->sample_aspect_ratio = {picture->sample_aspect_ratio.den,
                                   picture->sample_aspect_ratio.num};
  avutil::av_frame_unref(picture);
  avutil::av_frame_move_ref(picture, turned.get());
}

} // namespace kestro
