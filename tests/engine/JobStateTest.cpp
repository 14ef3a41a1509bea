// What a job counts belongs to that job: another job, before or after it,
// starts from nothing.
#include "ConversionTestSupport.h"

#include <gtest/gtest.h>

#include <numeric>

using namespace kestro;
using namespace kestro::test;

namespace {

class JobState : public ConversionTest {};

uint64_t Pictures(const TCustomFFmpeg& e) {
  return std::accumulate(e.RunState.QuantizerHistogram.begin(), e.RunState.QuantizerHistogram.end(),
                         uint64_t(0));
}

} // namespace

TEST_F(JobState, QuantizerHistogramIsPerJob) {
  TCustomFFmpeg other; // exists while the job runs
  other.Reset();
  TCustomFFmpeg e;
  e.Reset();
  e.Settings.Verbose = -1;
  e.ReportInterval = 0;
  ASSERT_TRUE(e.OpenInputFile(Fixtures::MediaPath(Fixtures::ClipAvi.Name))) << e.LastError;
  e.ParseOptionLines("vcodec=mpeg4\nan\nqphist");
  ASSERT_TRUE(e.OpenOutputFile(Folder + "/hist.avi")) << e.LastError;
  e.Start(false);
  ASSERT_TRUE(e.Finished) << e.ExceptionMessage;
  EXPECT_GT(Pictures(e), 0u);
  EXPECT_EQ(Pictures(other), 0u);
  TCustomFFmpeg later;
  later.Reset();
  EXPECT_EQ(Pictures(later), 0u);
  e.Reset();
  EXPECT_EQ(Pictures(e), 0u) << "a job reset starts counting anew";
}
