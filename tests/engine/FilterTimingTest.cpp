// Filter chains that re-time pictures ("fps", "setpts"): the output keeps
// the times the chain gives, and the input's clock is not disturbed by them.
#include "ConversionTestSupport.h"
#include "MediaReadBack.h"

#include <gtest/gtest.h>

using namespace kestro;
using namespace kestro::test;

namespace {

class FilterTiming : public ConversionTest {};

} // namespace

TEST_F(FilterTiming, RetimingChainsKeepTheirTimes) {
  struct Case {
    const char* Source;
    const char* Options;
    double DurationSec;
    int Packets;
  } cases[] = {
      // 4 s at 25 fps thinned to 10 pictures a second, written at 10 and at 25 fps.
      {Fixtures::ClipAvi.Name, "vfilters=fps=10\nr=10", 4.0, 40},
      {Fixtures::ClipAvi.Name, "vfilters=fps=10", 4.0, 100},
      {Fixtures::ClipAvi.Name, "vfilters=setpts=PTS-STARTPTS", 4.0, 100},
      {Fixtures::ClipAvi.Name, "vfilters=setpts=2*PTS", 8.0, 200},
      // A transport stream's clock does not start at zero.
      {Fixtures::SizeChangeTs, "vfilters=setpts=PTS-STARTPTS", Fixtures::ChangeDurationSec, 50},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(std::string(c.Source) + ": " + c.Options);
    TRecorder log;
    const TResult run =
        Convert(c.Source, "timed.mkv", std::string("vcodec=mpeg4\nan\n") + c.Options, &log, 3);
    ASSERT_TRUE(run.Finished) << run.Message;
    EXPECT_FALSE(log.Logged("timestamp discontinuity"));
    const TFileSummary out = ReadBack(run.Path);
    const TStreamSummary* video = out.First(AVMEDIA_TYPE_VIDEO);
    ASSERT_NE(video, nullptr);
    EXPECT_NEAR(video->Packets, c.Packets, 3);
    EXPECT_NEAR(video->DurationSec, c.DurationSec, 0.15);
  }
}
