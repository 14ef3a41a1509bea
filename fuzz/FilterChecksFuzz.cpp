// Filter chains: the size and conflict checks on any text, then the engine's
// filter graph built around a chain of known filters and fed one picture.
//
// Input: byte 0 crop (top) and byte 1 pad (every side) in pixels, byte 2
// picks the encoder's size, the rest is the chain text.
#include "FFmpeg.h"
#include "FuzzSupport.h"
#include "PictureStage.h"
#include "filters/FilterChecks.h"

#include <algorithm>
#include <cctype>
#include <cstdint>
#include <cstring>
#include <set>
#include <string>

using namespace kestro;

namespace {

constexpr int SourceWidth = 64, SourceHeight = 48;

// Filters that only compute on pictures. Others read or write files, load
// plugins or talk to the network when a chain names them, which is theirs
// to do and not a fault of ours.
const std::set<std::string>& KnownFilters() {
  static const std::set<std::string> names = {
      "null",  "scale",   "crop",  "pad",     "transpose", "rotate", "hflip", "vflip",
      "format", "setsar", "setdar", "negate", "boxblur",   "drawbox", "eq",   "hue",
      "lutyuv", "fps",    "fade",  "unsharp", "setpts",    "swapuv", "edgedetect", "copy"};
  return names;
}

// The chain's pieces whose filter is a known one, with the characters that
// would start another filter or a label taken out of their arguments.
std::string KnownPiecesOf(const std::string& chain) {
  std::string kept;
  size_t pos = 0;
  while (pos <= chain.size()) {
    size_t comma = chain.find(',', pos);
    if (comma == std::string::npos)
      comma = chain.size();
    std::string piece = chain.substr(pos, comma - pos);
    pos = comma + 1;
    piece.erase(std::remove_if(piece.begin(), piece.end(),
                               [](char c) { return c == ';' || c == '[' || c == ']' || c == '\0'; }),
                piece.end());
    if (KnownFilters().count(piece.substr(0, piece.find('='))))
      kept += (kept.empty() ? "" : ",") + piece;
  }
  return kept;
}

// Checks every picture the graph gives out.
struct TPictureChecker : TPictureStageOwner {
  void Hook(TInputStreamState&, AVFrame*) override {}
  void Pass(TInputStreamState&, int, AVFrame* picture) override {
    fuzz::Check(picture->width > 0 && picture->height > 0, "a filtered picture has a size");
  }
};

void RunGraph(TCustomFFmpeg& engine, const std::string& chain, int pad, bool halfSize) {
  TFormatContextPtr holder(avformat::avformat_alloc_context());
  AVStream* stream = holder ? avformat::avformat_new_stream(holder.get(), nullptr) : nullptr;
  TCodecContextPtr encoder(avcodec::avcodec_alloc_context3(nullptr));
  if (!stream || !encoder)
    return;
  stream->codecpar->codec_type = AVMEDIA_TYPE_VIDEO;
  stream->codecpar->width = SourceWidth;
  stream->codecpar->height = SourceHeight;
  stream->codecpar->format = AV_PIX_FMT_YUV420P;
  encoder->pix_fmt = AV_PIX_FMT_YUV420P;
  encoder->width = (halfSize ? SourceWidth / 2 : SourceWidth) + 2 * pad;
  encoder->height = (halfSize ? SourceHeight / 2 : SourceHeight) + 2 * pad;

  TInputStreamState input;
  input.Stream = stream;
  TOutputStreamState output;
  output.Encoder = encoder.get();
  engine.Settings.VideoFilters = chain;
  engine.Settings.FrameWidth = halfSize ? SourceWidth / 2 : SourceWidth;
  engine.Settings.FrameHeight = halfSize ? SourceHeight / 2 : SourceHeight;
  engine.Settings.FramePadTop = engine.Settings.FramePadBottom = engine.Settings.FramePadLeft =
      engine.Settings.FramePadRight = pad;
  engine.Settings.FrameTopCrop = 0;
  TPictureRules rules = engine.PictureRules(input);
  rules.Chain = chain;
  TPictureChecker checker;
  TPictureStage stage(checker, input, 0, rules);
  if (!stage.SetUp(output))
    return;
  fuzz::Check(stage.FilterGraph() != nullptr, "a chain gets a graph");
  fuzz::Check(encoder->width > 0 && encoder->height > 0, "the encoder gets a size");
  // Pictures beyond this would only measure the machine's memory.
  if (int64_t(encoder->width) * encoder->height > 2048 * 2048)
    return;

  TFramePtr picture(avutil::av_frame_alloc());
  picture->format = AV_PIX_FMT_YUV420P;
  picture->width = SourceWidth;
  picture->height = SourceHeight;
  if (avutil::av_frame_get_buffer(picture.get(), 0) < 0)
    return;
  for (int plane = 0; plane < 3; ++plane)
    std::memset(picture->data[plane], 16 + 60 * plane,
                size_t(picture->linesize[plane]) * (plane ? SourceHeight / 2 : SourceHeight));
  stage.Take(picture.get());
  stage.Flush(); // end of input: what the graph holds comes out
}

} // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
  fuzz::LoadLibrariesOnce();
  return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  if (size < 3)
    return 0;
  const int crop = data[0] % 64, pad = data[1] % 32;
  const bool halfSize = data[2] & 1;
  const std::string chain(reinterpret_cast<const char*>(data + 3), size - 3);

  const bool keepsSize = FilterChainKeepsSize(chain);
  std::string upper = chain;
  std::transform(upper.begin(), upper.end(), upper.begin(),
                 [](unsigned char c) { return char(std::toupper(c)); });
  fuzz::Check(FilterChainKeepsSize(upper) == keepsSize, "filter names match in any case");

  static TCustomFFmpeg engine; // holds settings only; no run
  engine.Settings.VideoFilters = chain;
  engine.Settings.FrameTopCrop = crop;
  engine.Settings.FramePadTop = engine.Settings.FramePadBottom = engine.Settings.FramePadLeft = engine.Settings.FramePadRight = pad;
  const std::string conflict = FilterOptionConflict(engine);
  if (chain.empty())
    fuzz::Check(conflict.empty(), "no chain, no conflict");
  else if (crop)
    fuzz::Check(conflict.rfind("Cannot enable crop options", 0) == 0, "crop and a chain conflict");
  else
    fuzz::Check(conflict.empty() == (keepsSize || pad == 0), "pad conflicts only with resizing");

  const std::string known = KnownPiecesOf(chain);
  if (!known.empty())
    RunGraph(engine, known, pad, halfSize);
  engine.Settings.VideoFilters.clear();
  return 0;
}
