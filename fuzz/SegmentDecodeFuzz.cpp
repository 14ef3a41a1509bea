// Mutated media read from memory, whose first H.264 or MPEG-4 video stream
// is decoded in stretches on two decoders: the cutting of hostile packets,
// decoders that fail or give odd pictures mid-stretch, and the hand-back of
// the pictures in order, all ending with every thread joined.
#include "FuzzSupport.h"
#include "LibPtr.h"
#include "MemoryInput.h"
#include "SegmentDecoder.h"

#include <cstdint>
#include <mutex>

using namespace kestro;

extern "C" int LLVMFuzzerInitialize(int*, char***) {
  fuzz::LoadLibrariesOnce();
  return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  fuzz::TMemoryInput memory(data, size);
  if (!memory.Context())
    return 0;
  AVFormatContext* file = avformat::avformat_alloc_context();
  if (!file)
    return 0;
  file->pb = memory.Context();
  if (avformat::avformat_open_input(&file, "fuzz input", nullptr, nullptr) < 0)
    return 0; // frees the context
  TInputContextPtr input(file);
  if (avformat::avformat_find_stream_info(file, nullptr) < 0)
    return 0;
  int index = -1;
  for (unsigned i = 0; i < file->nb_streams && index < 0; ++i)
    if (TFreshStarts::For(file->streams[i]->codecpar))
      index = int(i);
  if (index < 0)
    return 0;
  const AVCodecParameters* params = file->streams[index]->codecpar;
  const AVCodec* codec = avcodec::avcodec_find_decoder(params->codec_id);
  TCodecContextPtr model(codec ? avcodec::avcodec_alloc_context3(codec) : nullptr);
  if (!model || avcodec::avcodec_parameters_to_context(model.get(), params) < 0)
    return 0;
  model->thread_count = 1;
  if (avcodec::avcodec_open2(model.get(), codec, nullptr) < 0)
    return 0;

  std::mutex codecLock;
  TSegmentDecoder segments(model.get(), 2, TFreshStarts::For(params));
  segments.SetUp(codecLock);
  TPacketPtr packet(avcodec::av_packet_alloc());
  TFramePtr frame(avutil::av_frame_alloc());
  if (!packet || !frame)
    return 0;
  auto receive = [&] {
    int received;
    do {
      received = segments.ReceiveFrame(frame.get());
      avutil::av_frame_unref(frame.get());
    } while (received != AVERROR(EAGAIN) && received != AVERROR_EOF);
    return received;
  };
  for (int read = 0; read < 400 && avformat::av_read_frame(file, packet.get()) >= 0; ++read) {
    if (packet->stream_index == index) {
      int sent;
      while ((sent = segments.SendPacket(packet.get())) == AVERROR(EAGAIN))
        receive();
      fuzz::Check(sent == 0 || sent == AVERROR(ENOMEM), "a packet is taken");
      receive();
    }
    avcodec::av_packet_unref(packet.get());
  }
  fuzz::Check(segments.SendPacket(nullptr) == 0, "the end is taken");
  fuzz::Check(receive() == AVERROR_EOF, "every stretch is given back");
  return 0;
}
