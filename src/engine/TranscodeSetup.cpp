// The run's set-up: stream tables, maps, codecs, headers.
#include "FFmpeg.h"
#include "RunTables.h"

namespace kestro {

void TCustomFFmpeg::Transcode() {
  throw FFMpegException("Transcoding is not available in this build");
}

} // namespace kestro
