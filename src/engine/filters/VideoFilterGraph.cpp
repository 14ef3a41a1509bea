// The per-stream video filter graph: the engine's source ("src"), an engine
// "scale" when the sizes differ, the user's chain, and the sink ("out") set
// to the encoder's pixel format. A graph remade for pictures of another size
// runs the chain on them as they are and scales its result to the encoder's
// picture, which is open by then and keeps its size.
#include "EngineText.h"
#include "PictureStage.h"
#include "filters/FilterChecks.h"

#include <algorithm>

namespace kestro {

namespace {

struct TInOutDeleter {
  void operator()(AVFilterInOut* io) const { avfilter::avfilter_inout_free(&io); }
};
using TInOutPtr = std::unique_ptr<AVFilterInOut, TInOutDeleter>;

TInOutPtr OpenEnd(const char* name, AVFilterContext* filter) {
  TInOutPtr end(avfilter::avfilter_inout_alloc());
  if (end) {
    end->name = avutil::av_strdup(name);
    end->filter_ctx = filter;
    end->pad_idx = 0;
    end->next = nullptr;
  }
  return end;
}

} // namespace

bool TPictureStage::SetUp(TOutputStreamState& output) {
  Output = &output;
  LastError.clear();
  return Rules.Chain.empty() || Build(nullptr);
}

bool TPictureStage::Build(const AVFrame* picture) {
  const AVCodecParameters* dec = Input.Stream->codecpar;
  AVCodecContext* enc = Output->Encoder;
  // Before the first picture: one turned upright is sideways of the header.
  const bool sideways = !picture && (Rules.QuarterTurns & 1);
  const int sourceWidth = picture ? picture->width : sideways ? dec->height : dec->width;
  const int sourceHeight = picture ? picture->height : sideways ? dec->width : dec->height;
  const int sourceFormat = picture ? picture->format : dec->format;
  if (Rules.Cropped) {
    LastError = "Cannot enable crop options and filters at the same time.";
    return false;
  }
  TFilterGraphPtr graph(avfilter::avfilter_graph_alloc());
  if (!graph)
    return false;

  AVRational givenSar = picture ? picture->sample_aspect_ratio : dec->sample_aspect_ratio;
  if (sideways && givenSar.num && givenSar.den)
    givenSar = {givenSar.den, givenSar.num};
  const AVRational sar = givenSar.num ? givenSar : AVRational{0, 1};
  const std::string sourceArgs =
      Format("video_size=%dx%d:pix_fmt=%d:time_base=1/%d:pixel_aspect=%d/%d", sourceWidth,
             sourceHeight, sourceFormat, AV_TIME_BASE, sar.num, sar.den ? sar.den : 1);
  AVFilterContext* source = nullptr;
  AVFilterContext* sink = nullptr;
  if (avfilter::avfilter_graph_create_filter(&source, avfilter::avfilter_get_by_name("buffer"),
                                             "src", sourceArgs.c_str(), nullptr, graph.get()) < 0)
    return false;
  sink = avfilter::avfilter_graph_alloc_filter(graph.get(),
                                               avfilter::avfilter_get_by_name("buffersink"), "out");
  if (!sink)
    return false;
  const AVPixelFormat formats[] = {enc->pix_fmt};
  if (avutil::av_opt_set_bin(sink, "pix_fmts", reinterpret_cast<const uint8_t*>(formats),
                             sizeof formats, AV_OPT_SEARCH_CHILDREN) < 0 ||
      avfilter::avfilter_init_str(sink, nullptr) < 0)
    return false;

  const int padW = Rules.PadWidth, padH = Rules.PadHeight;
  auto engineScale = [&](AVFilterContext*& scale) {
    char args[255];
    myutil::my_snprintf(args, sizeof args, "%d:%d", enc->width - padW, enc->height - padH);
    return avfilter::avfilter_graph_create_filter(&scale, avfilter::avfilter_get_by_name("scale"),
                                                  nullptr, args, nullptr, graph.get()) >= 0;
  };
  AVFilterContext* first = source; // where the chain starts
  AVFilterContext* last = sink;    // where it ends
  if (picture) {
    // Passes pictures of the right size through untouched.
    AVFilterContext* scale = nullptr;
    if (!engineScale(scale) || avfilter::avfilter_link(scale, 0, sink, 0) < 0)
      return false;
    last = scale;
  } else if (dec->width + padW != enc->width || dec->height + padH != enc->height) {
    AVFilterContext* scale = nullptr;
    if (!engineScale(scale) || avfilter::avfilter_link(source, 0, scale, 0) < 0)
      return false;
    first = scale;
  }

  TInOutPtr outputs = OpenEnd("in", first);
  TInOutPtr inputs = OpenEnd("out", last);
  if (!outputs || !inputs)
    return false;
  AVFilterInOut* in = inputs.release();
  AVFilterInOut* out = outputs.release();
  const int parsed = avfilter::avfilter_graph_parse_ptr(graph.get(), Rules.Chain.c_str(), &in,
                                                       &out, nullptr);
  avfilter::avfilter_inout_free(&in);
  avfilter::avfilter_inout_free(&out);
  // Said in the run's failure: the library's own words only reach the log.
  if (parsed < 0) {
    LastError = Format("the chain '%s' does not parse (%s)", Rules.Chain.c_str(),
                       ErrorText(parsed).c_str());
    return false;
  }
  if (const int configured = avfilter::avfilter_graph_config(graph.get(), nullptr);
      configured < 0) {
    LastError = Format("the chain '%s' cannot be set up for this video (%s)",
                       Rules.Chain.c_str(), ErrorText(configured).c_str());
    return false;
  }

  const int width = avfilter::av_buffersink_get_w(sink);
  const int height = avfilter::av_buffersink_get_h(sink);
  if (!picture) {
    if (padW + padH != 0 && (width != Rules.FrameWidth || height != Rules.FrameHeight)) {
      LastError = "Cannot enable pad options and the filters which resize frame at the same "
                  "time. (crop, rotate, scale, transpose, etc.)";
      return false;
    }
    enc->width = width + padW;
    enc->height = height + padH;
  }
  GraphWidth = sourceWidth;
  GraphHeight = sourceHeight;
  GraphFormat = sourceFormat;
  if (picture)
    RestartGap = LastFedPts == NoTimestamp ? 0 : std::max<int64_t>(Input.Pts - LastFedPts, 0);
  Source = source;
  Sink = sink;
  Graph = std::move(graph);
  Fed.reset(avutil::av_frame_alloc());
  Filtered.reset(avutil::av_frame_alloc());
  return Fed && Filtered;
}

// Hands a decoded picture to the graph. The graph gets a copy that owns its
// pixels: the picture may point into buffers the engine reuses.
int TPictureStage::Feed(const AVFrame* picture) {
  AVFrame* frame = Fed.get();
  avutil::av_frame_unref(frame);
  frame->format = picture->format;
  frame->width = picture->width;
  frame->height = picture->height;
  if (avutil::av_frame_get_buffer(frame, 0) < 0)
    return -1;
  avutil::av_image_copy(frame->data, frame->linesize, const_cast<const uint8_t**>(picture->data),
                        picture->linesize, AVPixelFormat(picture->format), picture->width,
                        picture->height);
  frame->pts = Input.Pts;
  LastFedPts = Input.Pts;
  frame->sample_aspect_ratio = picture->sample_aspect_ratio;
  frame->interlaced_frame = picture->interlaced_frame;
  frame->top_field_first = picture->top_field_first;
  return avfilter::av_buffersrc_add_frame_flags(Source, frame, 0);
}

bool TPictureStage::Pull(int64_t& pts) {
  AVFrame* picture = Filtered.get();
  avutil::av_frame_unref(picture);
  if (avfilter::av_buffersink_get_frame(Sink, picture) < 0)
    return false;
  // Filters such as "fps" give the sink a time base of their own.
  if (picture->pts == AV_NOPTS_VALUE)
    return true;
  int64_t time = avutil::av_rescale_q(picture->pts, avfilter::av_buffersink_get_time_base(Sink),
                                      AV_TIME_BASE_Q);
  if (RestartGap >= 0) {
    Shift = LastFilteredPts != NoTimestamp && time <= LastFilteredPts
                ? LastFilteredPts + RestartGap - time
                : 0;
    RestartGap = -1;
  }
  time += Shift;
  LastFilteredPts = time;
  pts = time;
  return true;
}

bool TPictureStage::Fits(const AVFrame* picture) const {
  return picture->width == GraphWidth && picture->height == GraphHeight &&
         picture->format == GraphFormat;
}

} // namespace kestro
