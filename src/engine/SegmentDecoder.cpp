// Decoding a video stream in stretches, one decoder per stretch at a time,
// and the pictures handed back in the stream's order.
#include "SegmentDecoder.h"
#include "FFmpeg.h"

#include <algorithm>
#include <cerrno>

#include <sys/resource.h>
#include <sys/syscall.h>
#include <unistd.h>

namespace kestro {

namespace {

// H.264: an instantaneous refresh (IDR) clears every picture before it. The
// parameter sets it needs are out of band, or, once any came in band, in
// the same packet.
class TH264Starts : public TFreshStarts {
public:
  explicit TH264Starts(const AVCodecParameters* stream) {
    // Out-of-band sets with length-prefixed units; else start codes.
    if (stream->extradata && stream->extradata_size >= 7 && stream->extradata[0] == 1)
      LengthSize = (stream->extradata[4] & 3) + 1;
  }

  bool Starts(const AVPacket* packet) override {
    bool refresh = false, sequenceSet = false, pictureSet = false;
    // The sets and messages come before a picture's slices: the scan ends at
    // the first slice, so that a large picture is not read through.
    ForEachUnit(packet->data, size_t(packet->size), [&](uint8_t header) {
      switch (header & 0x1f) {
      case 1:
        return false;
      case 5:
        refresh = true;
        return false;
      case 7:
        sequenceSet = true;
        return true;
      case 8:
        pictureSet = true;
        return true;
      default:
        return true;
      }
    });
    InBandSets = InBandSets || sequenceSet || pictureSet;
    // The second field of a refreshing picture may come in a packet of its own.
    const bool starts = refresh && !LastRefreshed && (!InBandSets || (sequenceSet && pictureSet));
    LastRefreshed = refresh;
    return starts;
  }

private:
  // Calls `f` with each unit's header byte while it returns true.
  template <class F> void ForEachUnit(const uint8_t* data, size_t size, F&& f) const {
    if (!data)
      return;
    if (LengthSize > 0) {
      size_t at = 0;
      while (at + size_t(LengthSize) < size) {
        size_t length = 0;
        for (int i = 0; i < LengthSize; ++i)
          length = (length << 8) | data[at + size_t(i)];
        at += size_t(LengthSize);
        if (length == 0 || length > size - at || !f(data[at]))
          return;
        at += length;
      }
      return;
    }
    for (size_t at = 0; at + 3 < size; ++at)
      if (data[at] == 0 && data[at + 1] == 0 && data[at + 2] == 1) {
        if (!f(data[at + 3]))
          return;
        at += 2;
      }
  }

  int LengthSize = 0;
  bool InBandSets = false;
  bool LastRefreshed = false;
};

// MPEG-4 Part 2 without bidirectional pictures: an intra picture is referred
// to by what follows and refers to nothing itself. Should a bidirectional
// picture show up after all, no cut is made from there on.
class TMpeg4Starts : public TFreshStarts {
public:
  bool Starts(const AVPacket* packet) override {
    if (SawBidirectional || !packet->data)
      return false;
    int first = -1;
    const uint8_t* data = packet->data;
    const size_t size = size_t(packet->size);
    for (size_t at = 0; at + 4 < size; ++at)
      if (data[at] == 0 && data[at + 1] == 0 && data[at + 2] == 1 && data[at + 3] == 0xb6) {
        const int type = data[at + 4] >> 6; // 0 intra, 1 predicted, 2 bidirectional, 3 sprite
        if (type == 2) {
          SawBidirectional = true;
          return false;
        }
        if (first < 0)
          first = type;
        at += 3;
      }
    return first == 0;
  }

private:
  bool SawBidirectional = false;
};

} // namespace

std::unique_ptr<TFreshStarts> TFreshStarts::For(const AVCodecParameters* stream) {
  if (!stream || stream->codec_type != AVMEDIA_TYPE_VIDEO)
    return nullptr;
  if (stream->codec_id == AV_CODEC_ID_H264)
    return std::make_unique<TH264Starts>(stream);
  if (stream->codec_id == AV_CODEC_ID_MPEG4 && stream->video_delay == 0)
    return std::make_unique<TMpeg4Starts>();
  return nullptr;
}

TSegmentDecoder::TSegmentDecoder(const AVCodecContext* model, int decoders,
                                 std::unique_ptr<TFreshStarts> starts)
    : Model(model), Starts(std::move(starts)), Workers(size_t(std::max(2, decoders))) {
  // The pictures waiting, in all stretches together, stay near 96 MiB.
  const int pictureBytes =
      model->width > 0 && model->height > 0
          ? avutil::av_image_get_buffer_size(model->pix_fmt, model->width, model->height, 1)
          : 0;
  // A header may claim any size: counted wide.
  const size_t perPicture =
      std::max(size_t(std::max(pictureBytes, 0)),
               size_t(std::max(model->width, 0)) * size_t(std::max(model->height, 0)) * 2);
  const size_t budget = size_t(96) << 20;
  MaxOut = std::clamp<size_t>(perPicture ? budget / (perPicture * Workers.size()) : 64, 4, 64);
  MaxPending = std::max<size_t>(MaxOut, 16);
}

TSegmentDecoder::~TSegmentDecoder() {
  {
    std::lock_guard<std::mutex> lock(Lock);
    Stopping = true;
    for (TWorker& worker : Workers)
      worker.Wake.notify_all();
  }
  for (TWorker& worker : Workers)
    if (worker.Thread.joinable())
      worker.Thread.join();
}

void TSegmentDecoder::SetUp(std::mutex& codecLock, const TPictureWork& work) {
  const AVCodec* codec = Model->codec;
  if (!codec)
    throw FFMpegException("Error while opening codec: the stream's decoder is not open");
  for (TWorker& worker : Workers) {
    TCodecContextPtr context(avcodec::avcodec_alloc_context3(codec));
    TCodecParametersPtr params(avcodec::avcodec_parameters_alloc());
    bool made = context && params;
    // The settings the stream's decoder was given, then its stream's parameters.
    made = made && avutil::av_opt_copy(context.get(), Model) >= 0;
    if (made && codec->priv_class && context->priv_data && Model->priv_data)
      made = avutil::av_opt_copy(context->priv_data, Model->priv_data) >= 0;
    made = made && avcodec::avcodec_parameters_from_context(params.get(), Model) >= 0 &&
           avcodec::avcodec_parameters_to_context(context.get(), params.get()) >= 0;
    if (!made)
      throw FFMpegException("av_mallocz fail");
    context->time_base = Model->time_base;
    context->framerate = Model->framerate;
    context->pkt_timebase = Model->pkt_timebase;
    context->opaque = Model->opaque; // its messages go to the same log
    context->thread_count = 1;
    {
      std::lock_guard<std::mutex> lock(codecLock);
      if (avcodec::avcodec_open2(context.get(), codec, nullptr) < 0)
        throw FFMpegException("Error while opening a decoder for the stream's stretches");
    }
    worker.Context = std::move(context);
    if (work)
      worker.Work = work();
  }
  for (size_t i = 0; i < Workers.size(); ++i)
    Workers[i].Thread = std::thread([this, i] { Body(i); });
}

bool TSegmentDecoder::CanTake() const {
  if (EndSent)
    return false;
  if (!NextStarts)
    return true;
  const bool opens =
      Segments.empty() || Segments.back()->Closed || (*NextStarts && Segments.back()->Sent > 0);
  if (!opens)
    return Segments.back()->Packets.size() < MaxPending;
  // Short stretches (a fresh start every dozen pictures) would leave the
  // decoders idle whenever the run's thread lags a little: more of them may
  // open while what they hold, in pictures and in packets still to decode,
  // stays within what the stretches' pictures may take.
  if (Segments.size() < 2 * Workers.size())
    return true;
  if (Segments.size() >= MaxSegmentsPerDecoder * Workers.size())
    return false;
  size_t held = 0;
  for (const auto& segment : Segments)
    held += segment->Out.size() + segment->Packets.size();
  return held < MaxOut * Workers.size();
}

int TSegmentDecoder::SendPacket(const AVPacket* packet) {
  // Judged once, even when the packet has to wait.
  if (packet && !NextStarts)
    NextStarts = Starts->Starts(packet);
  std::lock_guard<std::mutex> lock(Lock);
  SendWaits = false;
  if (Failure)
    return Failure;
  if (EndSent)
    return AVERROR_EOF;
  if (!packet) {
    if (!Segments.empty()) {
      Segments.back()->Closed = true;
      WakeDecoderOf(*Segments.back());
    }
    EndSent = true;
    return 0;
  }
  if (!CanTake()) {
    SendWaits = true;
    return AVERROR(EAGAIN);
  }
  TPacketPtr copy(avcodec::av_packet_clone(packet));
  if (!copy)
    return AVERROR(ENOMEM);
  if (Segments.empty() || Segments.back()->Closed || (*NextStarts && Segments.back()->Sent > 0)) {
    if (!Segments.empty()) {
      Segments.back()->Closed = true;
      WakeDecoderOf(*Segments.back());
    }
    auto segment = std::make_unique<TSegment>();
    segment->Decoder = NextDecoder;
    segment->First = !AnySegment;
    AnySegment = true;
    NextDecoder = (NextDecoder + 1) % Workers.size();
    Segments.push_back(std::move(segment));
  }
  if (*NextStarts && !Primer) {
    Primer.reset(avcodec::av_packet_clone(packet));
    if (!Primer)
      return AVERROR(ENOMEM);
  }
  TSegment& segment = *Segments.back();
  segment.Packets.push_back(std::move(copy));
  ++segment.Sent;
  NextStarts.reset();
  WakeDecoderOf(segment);
  return 0;
}

int TSegmentDecoder::ReceiveFrame(AVFrame* frame) {
  std::unique_lock<std::mutex> lock(Lock);
  for (;;) {
    if (Failure) { // told once; the decoders are gone, so nothing follows
      const int failure = Failure;
      Failure = AVERROR_EOF;
      return failure;
    }
    while (!Segments.empty()) {
      TSegment& oldest = *Segments.front();
      if (!oldest.Out.empty()) {
        TOut out = std::move(oldest.Out.front());
        oldest.Out.pop_front();
        if (oldest.Out.size() == MaxOut / 2 && Workers[oldest.Decoder].Waits)
          Workers[oldest.Decoder].Wake.notify_one(); // it may have waited for room
        if (!out.Frame)
          return out.Error;
        avutil::av_frame_move_ref(frame, out.Frame.get());
        return 0;
      }
      if (!oldest.Done)
        break;
      Segments.pop_front();
    }
    if (Segments.empty() && EndSent)
      return AVERROR_EOF;
    if (CanTake())
      return AVERROR(EAGAIN);
    ReceiverWaits = true;
    ReceiverWake.wait(lock);
    ReceiverWaits = false;
  }
}

TSegmentDecoder::TSegment* TSegmentDecoder::NextFor(size_t index) {
  for (auto& segment : Segments)
    if (segment->Decoder == index && !segment->Done)
      return segment.get();
  return nullptr;
}

void TSegmentDecoder::WakeDecoderOf(const TSegment& segment) {
  TWorker& worker = Workers[segment.Decoder];
  if (worker.Waits && (segment.Closed || segment.Packets.size() >= WakeAt))
    worker.Wake.notify_one();
}

void TSegmentDecoder::WakeReceiver() {
  if (ReceiverWaits)
    ReceiverWake.notify_one();
}

void TSegmentDecoder::Body(size_t index) {
  // Within the job, the decoders come last: they work ahead, while the
  // run's own thread and its output side must keep to the stream's order,
  // and a core they wait for is time lost (on two cores the MPEG-4 source
  // converts in 0.72 s instead of 0.75 s). On Linux this is the thread's
  // own; a refusal changes nothing else.
  const id_t self = id_t(syscall(SYS_gettid));
  errno = 0;
  const int nice = getpriority(PRIO_PROCESS, self);
  if (errno == 0)
    setpriority(PRIO_PROCESS, self, std::min(19, nice + DecoderNice));
  TWorker& worker = Workers[index];
  std::unique_lock<std::mutex> lock(Lock);
  try {
    for (;;) {
      TSegment* segment = nullptr;
      worker.Waits = true;
      worker.Wake.wait(lock, [&] {
        if (Stopping)
          return true;
        segment = NextFor(index);
        return segment && (!segment->Packets.empty() || segment->Closed) &&
               segment->Out.size() < MaxOut;
      });
      worker.Waits = false;
      if (Stopping)
        return;
      TPacketPtr packet;
      const bool end = segment->Packets.empty(); // closed, and every packet taken
      if (!end) {
        packet = std::move(segment->Packets.front());
        segment->Packets.pop_front();
        if (SendWaits && segment == Segments.back().get() &&
            segment->Packets.size() == MaxPending / 2)
          WakeReceiver(); // room for the packet waiting to be sent
      }
      const bool prime = !worker.Primed && !segment->First;
      worker.Primed = true;
      lock.unlock();
      std::vector<TOut> out;
      if (prime)
        Prime(worker.Context.get());
      DecodeOne(worker.Context.get(), packet.get(), out);
      packet.reset();
      if (worker.Work)
        for (TOut& o : out)
          if (o.Frame)
            worker.Work(o.Frame.get());
      lock.lock();
      for (TOut& o : out)
        segment->Out.push_back(std::move(o));
      segment->Done = end;
      if (segment == Segments.front().get() &&
          (end || segment->Out.size() >= std::min(ReceiverWakeAt, MaxOut)))
        WakeReceiver();
    }
  } catch (...) {
    if (!lock.owns_lock())
      lock.lock();
    Failure = AVERROR(ENOMEM);
    WakeReceiver();
  }
}

void TSegmentDecoder::DecodeOne(AVCodecContext* context, const AVPacket* packet,
                                std::vector<TOut>& out) {
  const int sent = avcodec::avcodec_send_packet(context, packet);
  if (sent < 0 && sent != AVERROR(EAGAIN) && sent != AVERROR_EOF) {
    TOut error;
    error.Error = sent;
    out.push_back(std::move(error));
  }
  for (;;) {
    TFramePtr frame(avutil::av_frame_alloc());
    if (!frame)
      throw std::bad_alloc();
    const int received = avcodec::avcodec_receive_frame(context, frame.get());
    if (received == AVERROR(EAGAIN) || received == AVERROR_EOF)
      break;
    TOut o;
    if (received < 0) {
      o.Error = received;
      out.push_back(std::move(o));
      break;
    }
    o.Frame = std::move(frame);
    out.push_back(std::move(o));
  }
  if (!packet) // the stretch ended: the decoder starts afresh for the next
    avcodec::avcodec_flush_buffers(context);
}

void TSegmentDecoder::Prime(AVCodecContext* context) {
  std::vector<TOut> discarded;
  if (Primer)
    DecodeOne(context, Primer.get(), discarded);
  DecodeOne(context, nullptr, discarded);
}

} // namespace kestro
