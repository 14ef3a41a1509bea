// Decodes one video stream on several decoders at once. The stream is cut
// where a picture needs nothing decoded before it (a fresh start), each
// stretch between two cuts goes to the next decoder, and the pictures come
// back in the stream's order, the same pictures one decoder gives.
//
// A decoder that works on several pictures of one stretch at once waits on
// the pictures they refer to; stretches refer to nothing outside them, so
// here every decoder keeps a core busy.
#pragma once

#include "LibPtr.h"

#include <condition_variable>
#include <deque>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <thread>
#include <vector>

namespace kestro {

// Where a stream may be cut: it says, for each packet in turn, whether the
// packet starts a stretch that decodes without anything before it.
class TFreshStarts {
public:
  // Null when the stream's codec is not one whose fresh starts are known.
  static std::unique_ptr<TFreshStarts> For(const AVCodecParameters* stream);
  virtual ~TFreshStarts() = default;
  // Called once per packet, in order.
  virtual bool Starts(const AVPacket* packet) = 0;
};

class TSegmentDecoder {
public:
  // `model` is the stream's own (opened) decoder: each of `decoders`
  // decoders is made like it, on one thread. `starts` says where to cut.
  TSegmentDecoder(const AVCodecContext* model, int decoders, std::unique_ptr<TFreshStarts> starts);
  // Stops the decoders; what they still hold is dropped.
  ~TSegmentDecoder();
  TSegmentDecoder(const TSegmentDecoder&) = delete;
  TSegmentDecoder& operator=(const TSegmentDecoder&) = delete;

  // Work on each picture a decoder gives, on that decoder's thread: made
  // once per decoder, which keeps what it makes for its own pictures.
  using TPictureWork = std::function<std::function<void(AVFrame*)>()>;
  // Set up: opens the decoders under `codecLock` and starts their threads.
  // Raises when a decoder cannot be made.
  void SetUp(std::mutex& codecLock, const TPictureWork& work = {});
  // As a decoder's own: a packet (null: the stream ends) is taken, or
  // AVERROR(EAGAIN) says to receive a picture first.
  int SendPacket(const AVPacket* packet);
  // As a decoder's own: 0 with the next picture, AVERROR(EAGAIN) when none is
  // ready and another packet may be sent, AVERROR_EOF after the last, or the
  // error a decoder met at this place of the stream. Waits (for the
  // decoders, which always move on) when neither a picture nor a packet can go.
  int ReceiveFrame(AVFrame* frame);

private:
  struct TOut {
    TFramePtr Frame; // null: Error
    int Error = 0;
  };
  // A stretch of the stream between two fresh starts.
  struct TSegment {
    size_t Decoder = 0;
    std::deque<TPacketPtr> Packets; // not yet taken by its decoder
    size_t Sent = 0;                // packets given to it
    bool First = false;             // the stream's first stretch
    bool Closed = false;            // every packet is in
    bool Done = false;              // its decoder gave out all it holds
    std::deque<TOut> Out;           // its pictures, in order
  };
  struct TWorker {
    TCodecContextPtr Context;
    std::function<void(AVFrame*)> Work;
    bool Primed = false;
    bool Waits = false;
    std::condition_variable Wake;
    std::thread Thread;
  };

  void Body(size_t index);
  TSegment* NextFor(size_t index);
  // Decodes a packet (null: gives out what it holds, then starts afresh).
  void DecodeOne(AVCodecContext* context, const AVPacket* packet, std::vector<TOut>& out);
  // Lets a decoder see the stream's first fresh start once, so that what it
  // learns there (headers, the writer's quirks) it knows as one decoder would.
  void Prime(AVCodecContext* context);
  bool CanTake() const;

  const AVCodecContext* Model;
  std::unique_ptr<TFreshStarts> Starts;
  std::vector<TWorker> Workers;
  size_t MaxOut;     // pictures a stretch holds before its decoder waits
  size_t MaxPending; // packets the newest stretch holds before sending waits
  std::mutex Lock;
  // Each side is woken only when it waits and has enough to do: a decoder
  // once several packets wait for it (or its stretch closed), the receiver
  // once the oldest stretch holds several pictures (or ended) or more
  // packets can go. A wake-up moves the woken thread onto a core a decoder
  // works on, and the decoder loses what it had in that core's caches: on
  // two cores, waking for every picture cost more CPU than the waits save.
  // Neither side can wait for the other at once: a stretch whose decoder
  // waits for packets is the newest, and it takes packets until it holds
  // more than a decoder's wake-up needs.
  std::condition_variable ReceiverWake;
  bool ReceiverWaits = false;
  static constexpr size_t WakeAt = 8;         // packets
  static constexpr size_t ReceiverWakeAt = 8; // pictures (at most MaxOut)
  static constexpr int DecoderNice = 10;
  static constexpr size_t MaxSegmentsPerDecoder = 8; // stretches open at once
  void WakeDecoderOf(const TSegment& segment);
  void WakeReceiver();
  std::deque<std::unique_ptr<TSegment>> Segments; // oldest first
  size_t NextDecoder = 0;
  bool AnySegment = false;
  bool EndSent = false;
  int Failure = 0; // a decoder's thread could not go on
  bool Stopping = false;
  TPacketPtr Primer;              // the first fresh start
  // Whether the packet being sent starts a stretch: judged once, on the
  // sending thread, even when the packet has to wait.
  std::optional<bool> NextStarts;
  bool SendWaits = false; // a packet waits for room
};

} // namespace kestro
