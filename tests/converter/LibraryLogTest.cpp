// The media libraries' own levels against the component's, the job a
// library line belongs to, and the libraries' reason in a failed job's message.
#include "ConverterTestSupport.h"

#include <gtest/gtest.h>

#include <utility>

using namespace kestro;
using namespace kestro::test;

namespace {

void OnOtherThread(const std::function<void()>& body) { std::thread(body).join(); }

// Whether some line of `lines` ends with `text` (library lines carry their
// context's tag in front).
bool EndsWithSome(const std::vector<std::string>& lines, const std::string& text) {
  for (const std::string& line : lines)
    if (line.size() >= text.size() && line.compare(line.size() - text.size(), text.size(), text) == 0)
      return true;
  return false;
}

class LibraryLog : public ::testing::Test {
protected:
  void SetUp() override {
    ASSERT_TRUE(C.LoadLibraries("", true)) << C.LastError;
    Recorder.Attach(C);
  }
  TQxAVConverter C;
  TEventRecorder Recorder;
  TTempFolder Folder;
};

} // namespace

TEST_F(LibraryLog, LevelsMapOntoTheLibrariesScaleAndBack) {
  const std::pair<int, const char*> lines[] = {
      {AV_LOG_FATAL, "fatal"},     {AV_LOG_ERROR, "error"}, {AV_LOG_WARNING, "warning"},
      {AV_LOG_INFO, "info"},       {AV_LOG_VERBOSE, "verbose"}, {AV_LOG_DEBUG, "debug"},
      {AV_LOG_TRACE, "trace"},
  };
  using TShown = std::vector<std::pair<std::string, TLogLevel>>;
  const TShown errors = {{"fatal", llError}, {"error", llError}};
  TShown info = errors;
  info.insert(info.end(), {{"warning", llInfo}, {"info", llInfo}});
  TShown debug = info;
  debug.insert(debug.end(), {{"verbose", llDebug}, {"debug", llDebug}});
  TShown all = debug;
  all.push_back({"trace", llAll});
  const struct Case {
    TLogLevel Level;
    int LibraryLevel;
    TShown Shown;
  } cases[] = {
      {llQuiet, AV_LOG_QUIET, {}}, {llError, AV_LOG_ERROR, errors}, {llInfo, AV_LOG_INFO, info},
      {llDebug, AV_LOG_DEBUG, debug}, {llAll, AV_LOG_TRACE, all},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.LibraryLevel);
    TEventRecorder recorder;
    recorder.Attach(C);
    C.SetLogLevel(c.Level);
    EXPECT_EQ(avutil::av_log_get_level(), c.LibraryLevel);
    OnOtherThread([&] {
      for (const auto& [level, text] : lines)
        avutil::av_log(nullptr, level, "%s\n", text);
    });
    TShown shown;
    for (const TEvent& e : recorder.Snapshot(TEvent::Log))
      shown.push_back({e.Text, e.Level});
    EXPECT_EQ(shown, c.Shown);
  }
}

TEST_F(LibraryLog, EachComponentShowsItsOwnLevel) {
  C.SetLogLevel(llError);
  {
    TQxAVConverter verbose;
    TEventRecorder verboseRecorder;
    verboseRecorder.Attach(verbose);
    verbose.SetLogLevel(llDebug);
    EXPECT_EQ(avutil::av_log_get_level(), AV_LOG_DEBUG); // the most any component shows
    OnOtherThread([] {
      avutil::av_log(nullptr, AV_LOG_ERROR, "broken\n");
      avutil::av_log(nullptr, AV_LOG_INFO, "told\n");
    });
    EXPECT_EQ(verboseRecorder.Lines(-1), (std::vector<std::string>{"broken", "told"}));
    EXPECT_EQ(Recorder.Lines(-1), (std::vector<std::string>{"broken"}));
  }
  EXPECT_EQ(avutil::av_log_get_level(), AV_LOG_ERROR);
}

TEST_F(LibraryLog, LinesOfAJobsContextsReachThatJobOnAnyThread) {
  C.SetLogLevel(llError); // none of the opening's information
  for (int i = 0; i < 2; ++i) {
    ASSERT_EQ(C.AddInput(Fixtures::MediaPath(Fixtures::ClipAvi.Name)), i) << C.LastError;
    TOutputOptions o = CopyRecord();
    ASSERT_TRUE(C.SetOutput(i, Folder / (std::to_string(i) + ".mkv"), &o)) << C.LastError;
  }
  OnOtherThread([&] {
    avutil::av_log(C.JobInputContext(1), AV_LOG_ERROR, "from the second job\n");
    avutil::av_log(C.JobInputContext(0), AV_LOG_ERROR, "from the first job\n");
    avutil::av_log(nullptr, AV_LOG_ERROR, "from nobody\n");
  });
  EXPECT_TRUE(EndsWithSome(Recorder.Lines(1), "]from the second job"));
  EXPECT_TRUE(EndsWithSome(Recorder.Lines(0), "]from the first job"));
  EXPECT_EQ(Recorder.Lines(-1), (std::vector<std::string>{"from nobody"}));
}

// MP3 audio copied into 3GPP: the container refuses the codec, and only the
// libraries say so.
TEST_F(LibraryLog, AFailedJobEndsWithTheLibrariesReason) {
  const std::string reason = "Could not find tag for codec mp3 in stream #1, codec not currently "
                             "supported in container";
  for (TLogLevel level : {llQuiet, llInfo}) {
    SCOPED_TRACE(level);
    TEventRecorder recorder;
    recorder.Attach(C);
    C.ClearJobs();
    C.SetLogLevel(level);
    ASSERT_EQ(C.AddInput(Fixtures::MediaPath(Fixtures::ClipAvi.Name)), 0) << C.LastError;
    TOutputOptions o = CopyRecord();
    ASSERT_TRUE(C.SetOutput(0, Folder / "refused.3gp", &o)) << C.LastError;
    C.StartJobs(1);
    ASSERT_TRUE(recorder.WaitForBatchEnd(30s));
    const auto ends = recorder.Snapshot(TEvent::Terminate);
    ASSERT_FALSE(ends.empty());
    EXPECT_TRUE(ends[0].Exception);
    EXPECT_EQ(ends[0].Text,
              "Could not write header for output file #0 (incorrect codec parameters ?): " + reason);
    // Running the job left the libraries' level as the component set it.
    EXPECT_EQ(avutil::av_log_get_level(), level == llQuiet ? AV_LOG_QUIET : AV_LOG_INFO);
    EXPECT_EQ(EndsWithSome(recorder.Lines(0), "]" + reason), level != llQuiet);
  }
}
