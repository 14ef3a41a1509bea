#include "FFmpeg.h"
namespace kestro {
void TCustomFFmpeg::EncodeAndWriteAudio(AVFormatContext*, TOutputStreamState&, TInputStreamState&, const uint8_t*, int) {}
void TCustomFFmpeg::EncodeAndWriteVideo(AVFormatContext*, TOutputStreamState&, TInputStreamState&, AVFrame*, int&) {}
void TCustomFFmpeg::WriteVideoStats(AVFormatContext*, TOutputStreamState&, int) {}
int TCustomFFmpeg::EncodeAndWriteFrame(AVFormatContext*, TOutputStreamState&, AVFrame*) { return 0; }
void TCustomFFmpeg::FlushAudioFifo(AVFormatContext*, TOutputStreamState&) {}
}
