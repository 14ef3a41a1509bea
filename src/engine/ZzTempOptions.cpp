#include "FFmpeg.h"
namespace kestro {
void TCustomFFmpeg::SetContextOptions(void*, void*, int) {}
void TCustomFFmpeg::OptTarget(const std::string&) {}
}
