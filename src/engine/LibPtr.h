// Owners for the media libraries' objects: every object the engine creates
// lives in one of these, so no exit path can leak or double-free it.
#pragma once

#include "MediaLibs.h"

#include <memory>

namespace kestro {

struct TCodecContextDeleter {
  void operator()(AVCodecContext* c) const { avcodec::avcodec_free_context(&c); }
};
struct TFrameDeleter {
  void operator()(AVFrame* f) const { avutil::av_frame_free(&f); }
};
struct TPacketDeleter {
  void operator()(AVPacket* p) const { avcodec::av_packet_free(&p); }
};
struct TSwsDeleter {
  void operator()(SwsContext* s) const { swscale::sws_freeContext(s); }
};
struct TSwrDeleter {
  void operator()(SwrContext* s) const { swresample::swr_free(&s); }
};
struct TFilterGraphDeleter {
  void operator()(AVFilterGraph* g) const { avfilter::avfilter_graph_free(&g); }
};
struct TBsfDeleter {
  void operator()(AVBSFContext* b) const { avcodec::av_bsf_free(&b); }
};
struct TFifoDeleter {
  void operator()(AVFifo* f) const { avutil::av_fifo_freep2(&f); }
};
struct TInputContextDeleter {
  void operator()(AVFormatContext* c) const { avformat::avformat_close_input(&c); }
};
// A bare format context (option holder, or an output before its file opens).
struct TFormatContextDeleter {
  void operator()(AVFormatContext* c) const { avformat::avformat_free_context(c); }
};
// An output: its file (when the format writes one) is closed with it.
struct TOutputContextDeleter {
  void operator()(AVFormatContext* c) const {
    if (c->pb && !(c->oformat && (c->oformat->flags & AVFMT_NOFILE)))
      avformat::avio_closep(&c->pb);
    avformat::avformat_free_context(c);
  }
};
struct TCodecParametersDeleter {
  void operator()(AVCodecParameters* p) const { avcodec::avcodec_parameters_free(&p); }
};
struct TBufferRefDeleter {
  void operator()(AVBufferRef* b) const { avutil::av_buffer_unref(&b); }
};
struct TBufferPoolDeleter {
  void operator()(AVBufferPool* p) const { avutil::av_buffer_pool_uninit(&p); }
};
struct TAvFreeDeleter {
  void operator()(void* p) const { avutil::av_free(p); }
};

using TCodecContextPtr = std::unique_ptr<AVCodecContext, TCodecContextDeleter>;
using TFramePtr = std::unique_ptr<AVFrame, TFrameDeleter>;
using TPacketPtr = std::unique_ptr<AVPacket, TPacketDeleter>;
using TSwsPtr = std::unique_ptr<SwsContext, TSwsDeleter>;
using TSwrPtr = std::unique_ptr<SwrContext, TSwrDeleter>;
using TFilterGraphPtr = std::unique_ptr<AVFilterGraph, TFilterGraphDeleter>;
using TBsfPtr = std::unique_ptr<AVBSFContext, TBsfDeleter>;
using TFifoPtr = std::unique_ptr<AVFifo, TFifoDeleter>;
using TInputContextPtr = std::unique_ptr<AVFormatContext, TInputContextDeleter>;
using TFormatContextPtr = std::unique_ptr<AVFormatContext, TFormatContextDeleter>;
using TOutputContextPtr = std::unique_ptr<AVFormatContext, TOutputContextDeleter>;
// Text or bytes allocated with the libraries' allocator.
using TAvTextPtr = std::unique_ptr<char, TAvFreeDeleter>;
using TAvBytesPtr = std::unique_ptr<uint8_t, TAvFreeDeleter>;
using TBufferRefPtr = std::unique_ptr<AVBufferRef, TBufferRefDeleter>;
using TBufferPoolPtr = std::unique_ptr<AVBufferPool, TBufferPoolDeleter>;
using TCodecParametersPtr = std::unique_ptr<AVCodecParameters, TCodecParametersDeleter>;

// A channel layout kept by the engine (one in a custom order owns a map).
struct TChannelLayout {
  AVChannelLayout Layout{};
  TChannelLayout() = default;
  ~TChannelLayout() { avutil::av_channel_layout_uninit(&Layout); }
  TChannelLayout(const TChannelLayout&) = delete;
  TChannelLayout& operator=(const TChannelLayout&) = delete;
  bool Assign(const AVChannelLayout& from) {
    avutil::av_channel_layout_uninit(&Layout);
    return avutil::av_channel_layout_copy(&Layout, &from) >= 0;
  }
  bool Same(const AVChannelLayout& other) const {
    return avutil::av_channel_layout_compare(&Layout, &other) == 0;
  }
};

// A dictionary of option texts handed to an open; the libraries take out
// what they use and leave the rest.
struct TDictionary {
  AVDictionary* Dict = nullptr;
  TDictionary() = default;
  ~TDictionary() { Clear(); }
  TDictionary(const TDictionary&) = delete;
  TDictionary& operator=(const TDictionary&) = delete;
  TDictionary(TDictionary&& other) noexcept : Dict(other.Dict) { other.Dict = nullptr; }
  TDictionary& operator=(TDictionary&& other) noexcept {
    if (this != &other) {
      Clear();
      Dict = other.Dict;
      other.Dict = nullptr;
    }
    return *this;
  }
  // Empty dictionaries hold nothing: an engine made before the libraries
  // are loaded can go away without calling them.
  void Clear() {
    if (Dict)
      avutil::av_dict_free(&Dict);
  }
  // The first entry still held (null when none is).
  const AVDictionaryEntry* First() const {
    return avutil::av_dict_get(Dict, "", nullptr, AV_DICT_IGNORE_SUFFIX);
  }
};

// A copy of `text` made with the libraries' allocator (null for null).
inline TAvTextPtr AvText(const char* text) {
  return TAvTextPtr(text ? avutil::av_strdup(text) : nullptr);
}

} // namespace kestro
