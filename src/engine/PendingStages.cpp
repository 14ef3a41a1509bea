// Stand-ins for stages that other work provides; the option table already
// names them.
#include "FFmpeg.h"

namespace kestro {

void TCustomFFmpeg::OptTarget(const std::string&) { throw FFMpegException("not available yet"); }

void TCustomFFmpeg::new_video_stream(AVFormatContext*) {
  throw FFMpegException("not available yet");
}

void TCustomFFmpeg::new_audio_stream(AVFormatContext*) {
  throw FFMpegException("not available yet");
}

void TCustomFFmpeg::new_subtitle_stream(AVFormatContext*) {
  throw FFMpegException("not available yet");
}

} // namespace kestro
