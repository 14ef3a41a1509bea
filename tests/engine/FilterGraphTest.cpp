#include "EngineTestSupport.h"
#include "FixtureMedia.h"
#include "PictureStage.h"
#include "filters/FilterChecks.h"

#include <gtest/gtest.h>

#include <cstring>
#include <filesystem>
#include <unistd.h>

using namespace kestro;
using namespace kestro::test;

namespace {

struct TGraphCase {
  const char* Input;
  const char* Chain;
  int Width, Height; // "s"; 0 keeps the input's
  int Pad;           // on every side
  int Crop;          // top
  int Result;
  int EncoderWidth, EncoderHeight;
  const char* EngineScale; // "w:h" of the scale the engine adds, or null
  const char* Error;
};

// The "w:h" of the scale filter the engine put in front of the chain.
std::string EngineScaleSize(const AVFilterGraph* graph) {
  for (unsigned i = 0; i < graph->nb_filters; ++i) {
    const AVFilterContext* f = graph->filters[i];
    if (std::strcmp(f->filter->name, "scale") != 0 || (f->name && std::strncmp(f->name, "auto", 4) == 0) ||
        (f->name && std::strncmp(f->name, "Parsed", 6) == 0))
      continue;
    uint8_t* w = nullptr;
    uint8_t* h = nullptr;
    avutil::av_opt_get(const_cast<AVFilterContext*>(f), "w", AV_OPT_SEARCH_CHILDREN, &w);
    avutil::av_opt_get(const_cast<AVFilterContext*>(f), "h", AV_OPT_SEARCH_CHILDREN, &h);
    std::string size = std::string(reinterpret_cast<char*>(w)) + ":" + reinterpret_cast<char*>(h);
    avutil::av_free(w);
    avutil::av_free(h);
    return size;
  }
  return {};
}

// The graph is only set up here; no picture goes through.
struct TNoPictures : TPictureStageOwner {
  void Hook(TInputStreamState&, AVFrame*) override {}
  void Pass(TInputStreamState&, int, AVFrame*) override {}
};

} // namespace

TEST(FilterGraph, SizesCropAndPadAgainstTheChain) {
  LoadLibrariesOrFail();
  char pattern[] = "/tmp/kestro-graph-XXXXXX";
  const std::string folder = mkdtemp(pattern);
  const TGraphCase cases[] = {
      {"small_176x144.avi", "scale=320:240", 0, 0, 0, 0, 0, 320, 240, nullptr, nullptr},
      {"cif_352x288.avi", "vflip", 176, 144, 0, 0, 0, 176, 144, "176:144", nullptr},
      {"cif_352x288.avi", "hflip", 160, 128, 8, 0, 0, 176, 144, "160:128", nullptr},
      {"small_176x144.avi", "vflip", 0, 0, 8, 0, 0, 192, 160, nullptr, nullptr},
      {"small_176x144.avi", "vflip", 0, 0, 0, 8, -1, 0, 0, nullptr,
       "Cannot enable crop options and filters at the same time."},
      {"small_176x144.avi", "vflip,pad=200:160", 0, 0, 8, 0, -1, 0, 0, nullptr,
       "Cannot enable pad options and the filters which resize frame at the same time. (crop, "
       "rotate, scale, transpose, etc.)"},
      {"small_176x144.avi", "nosuchfilter", 0, 0, 0, 0, -1, 0, 0, nullptr,
       "the chain 'nosuchfilter' does not parse (Invalid argument)"},
      {"small_176x144.avi", "crop=1000:1000", 0, 0, 0, 0, -1, 0, 0, nullptr,
       "the chain 'crop=1000:1000' cannot be set up for this video (Invalid argument)"},
  };
  for (const TGraphCase& c : cases) {
    SCOPED_TRACE(std::string(c.Input) + " " + c.Chain);
    TCustomFFmpeg e;
    e.Reset();
    e.Settings.Verbose = -1;
    ASSERT_TRUE(e.OpenInputFile(Fixtures::MediaPath(c.Input))) << e.LastError;
    if (c.Width) {
      e.Settings.FrameWidth = c.Width;
      e.Settings.FrameHeight = c.Height;
    }
    e.Settings.FramePadTop = e.Settings.FramePadBottom = e.Settings.FramePadLeft =
        e.Settings.FramePadRight = c.Pad;
    e.Settings.VideoFilters = c.Chain;
    e.Settings.AudioDisable = 1;
    ASSERT_TRUE(e.OpenOutputFile(folder + "/graph.avi")) << e.LastError;
    // Crop set after the output exists: the graph's own check must catch it.
    e.Settings.FrameTopCrop = c.Crop;
    TInputStreamState input;
    input.Stream = e.InputFiles[0]->streams[0];
    TOutputStreamState output;
    output.Encoder = e.OutputCodecs[0][0].get();
    TNoPictures owner;
    TPictureStage stage(owner, input, 0, e.PictureRules(input));
    EXPECT_EQ(stage.SetUp(output), c.Result == 0);
    if (c.Result == 0) {
      EXPECT_EQ(output.Encoder->width, c.EncoderWidth);
      EXPECT_EQ(output.Encoder->height, c.EncoderHeight);
      ASSERT_NE(stage.FilterGraph(), nullptr);
      EXPECT_EQ(EngineScaleSize(stage.FilterGraph()), c.EngineScale ? c.EngineScale : "");
    } else {
      EXPECT_EQ(stage.Error(), c.Error);
    }
  }
  std::filesystem::remove_all(folder);
}

TEST(FilterGraph, ChainsThatResizeCannotGoWithPadding) {
  struct Case {
    const char* Chain;
    bool KeepsSize;
  } cases[] = {{"", true},          {"vflip", true},         {"hflip,vflip", true},
               {"transpose", false}, {"Scale=320:240", false}, {"vflip,crop=100:100", false},
               {"rotate=1", false},  {" scale=1:1", true}}; // names are not trimmed
  for (const Case& c : cases)
    EXPECT_EQ(FilterChainKeepsSize(c.Chain), c.KeepsSize) << c.Chain;
}
