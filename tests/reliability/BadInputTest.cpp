// Broken sources, failing outputs and refused options, through the built
// kestroconvert and through the component: each gives its own clear
// message, the other jobs of the batch finish, no empty output remains and
// no source changes.
#include "CliSupport.h"
#include "FixturePipe.h"
#include "ConverterTestSupport.h"
#include "MediaReadBack.h"
#include "ReliabilitySupport.h"

#include <gtest/gtest.h>

#include <filesystem>
#include <iostream>

using namespace kestro;
using namespace kestro::test;
namespace fs = std::filesystem;

namespace {

// The sources, copied into a folder of the test's own so that the cases
// that delete one touch no shared fixture.
const char* const SourceNames[] = {"clip.avi",  "small_176x144.avi", Fixtures::TruncatedAvi,
                                   Fixtures::GarbageAvi, Fixtures::EmptyAvi, Fixtures::NoStreams};

class BadInput : public ::testing::Test {
protected:
  void SetUp() override {
    ASSERT_TRUE(LoadAllLibraries("", true)) << LibraryLoadError();
    fs::create_directories(Folder / "src");
    for (const char* name : SourceNames)
      fs::copy_file(Fixtures::MediaPath(name), Source(name));
    std::ofstream(Folder / "afile") << "a file where a folder is expected";
  }
  std::string Source(const std::string& name) const { return Folder / ("src/" + name); }
  std::vector<std::string> AllSources() const {
    std::vector<std::string> paths;
    for (const char* name : SourceNames)
      paths.push_back(Source(name));
    return paths;
  }
  // The sources that are still there, by their bytes.
  std::map<std::string, TFingerprint> SourcePrints() const {
    std::vector<std::string> present;
    for (const std::string& path : AllSources())
      if (fs::exists(path))
        present.push_back(path);
    return Fingerprints(present);
  }
  TTempFolder Folder;
};

// One expected result line: its start, and a text somewhere in it.
struct TLine {
  std::string Start, Contains;
};

std::string Output3gp(const std::string& folder, const std::string& source) {
  return folder + "/" + fs::path(source).stem().string() + " (3GPP 176x144).3gp";
}

} // namespace

TEST_F(BadInput, CommandLine) {
  const std::string clip = Source("clip.avi"), small = Source("small_176x144.avi");
  struct TCase {
    std::string Name;
    std::vector<std::string> Sources; // after the arguments
    std::vector<std::string> Args;    // "-o OUT" is added unless they name a folder
    int Status;
    std::vector<TLine> Lines;
    std::string ErrorText; // on standard error
    int WholeOutputs;      // outputs that open and hold video
    rlim_t FileSizeLimit = 0;
    // Runs while the batch does, for faults that strike mid-batch; given
    // the pid and the output folder.
    std::function<void(pid_t, const std::string&)> MidBatch = {};
    std::string Deleted = {}; // a source the fault removes
  };
  std::unique_ptr<TPipeSource> slow; // made fresh for the cases that stall
  const auto stallThen = [&](const std::function<void(const std::string&)>& fault) {
    return [&, fault](pid_t, const std::string& out) {
      // The stalled first job is running once its header is out.
      WaitUntil([&] {
        std::error_code ignored;
        return fs::file_size(Output3gp(out, slow->Path), ignored) > 0 && !ignored;
      });
      fault(out);
      slow->Release();
    };
  };
  const std::string slowPath = Folder / "slow.avi";
  const std::vector<TCase> cases = {
      {"truncated source",
       {Source(Fixtures::TruncatedAvi), clip},
       {},
       0,
       {{"done: " + Source(Fixtures::TruncatedAvi), ""}, {"done: " + clip, ""}},
       "",
       2},
      {"random bytes",
       {Source(Fixtures::GarbageAvi), clip},
       {},
       1,
       {{"skipped: " + Source(Fixtures::GarbageAvi), ": Unknown format"}, {"done: " + clip, ""}},
       "",
       1},
      {"empty source",
       {Source(Fixtures::EmptyAvi), clip},
       {},
       1,
       {{"skipped: " + Source(Fixtures::EmptyAvi), ": Unknown format"}, {"done: " + clip, ""}},
       "",
       1},
      {"no streams",
       {Source(Fixtures::NoStreams), clip},
       {},
       1,
       {{"failed: " + Source(Fixtures::NoStreams), "Output file does not contain any stream"},
        {"done: " + clip, ""}},
       "",
       1},
      {"output folder under a file",
       {clip},
       {"-o", Folder / "afile/out"},
       1,
       {},
       "cannot create the output folder",
       0},
      {"output folder not writable",
       {clip, small},
       {"-o", "/proc/self"},
       1,
       {{"failed: " + clip, "Could not open '/proc/self/clip (3GPP 176x144).3gp'"},
        {"failed: " + small, "Could not open '/proc/self/small_176x144 (3GPP 176x144).3gp'"}},
       "",
       0},
      {"full disk",
       {clip, small},
       {},
       1,
       {{"failed: " + clip, "': File too large"}, {"failed: " + small, "': File too large"}},
       "",
       0,
       8192},
      {"output folder removed mid-batch",
       {slowPath, small},
       {},
       1,
       {{"failed: " + slowPath, "was removed while it was being written"},
        {"failed: " + small, "was removed while it was being written"}},
       "",
       0,
       0,
       stallThen([](const std::string& out) { fs::remove_all(out); })},
      {"source deleted between adding and converting",
       {slowPath, small},
       {},
       0,
       {{"done: " + slowPath, ""}, {"done: " + small, ""}},
       "",
       2,
       0,
       stallThen([&](const std::string&) { fs::remove(small); }),
       small},
      {"unknown preset",
       {clip},
       {"--preset", "No such preset"},
       2,
       {},
       "unknown preset 'No such preset'",
       0},
      {"hook module that does not exist",
       {clip, small},
       {"-x", "vhook=/nonexistent.so"},
       1,
       {{"failed: " + clip, "Failed to add video hook function: /nonexistent.so"},
        {"failed: " + small, "Failed to add video hook function: /nonexistent.so"}},
       "",
       0},
      {"filter chain that does not parse",
       {clip, small},
       {"-x", "vfilters=nosuchfilter"},
       1,
       {{"failed: " + clip, "Error opening filters: the chain 'nosuchfilter' does not parse"},
        {"failed: " + small, "Error opening filters: the chain 'nosuchfilter' does not parse"}},
       "",
       0},
  };

  // What an undisturbed conversion of the source that gets deleted gives.
  const std::string reference = Folder / "reference";
  ASSERT_EQ(RunCli({"-p", "3gp", "-o", reference, small}).Status, 0);
  const TFileSummary referenceOut = ReadBack(Output3gp(reference, small));
  const TStreamSummary* undisturbed = referenceOut.First(AVMEDIA_TYPE_VIDEO);
  ASSERT_NE(undisturbed, nullptr);

  int filesTried = 0;
  for (size_t n = 0; n < cases.size(); ++n) {
    const TCase& c = cases[n];
    SCOPED_TRACE(c.Name);
    const std::string out = Folder / ("out" + std::to_string(n));
    std::vector<std::string> args = {"-p", "3gp"}; // a later --preset wins
    args.insert(args.end(), c.Args.begin(), c.Args.end());
    if (std::find(args.begin(), args.end(), "-o") == args.end())
      args.insert(args.end(), {"-o", out});
    args.insert(args.end(), c.Sources.begin(), c.Sources.end());
    if (c.MidBatch)
      slow = std::make_unique<TPipeSource>(slowPath, "clip.avi", 1, 0.4);
    auto before = SourcePrints();
    if (!c.Deleted.empty())
      before.erase(c.Deleted);

    std::function<void(pid_t)> midBatch;
    if (c.MidBatch)
      midBatch = [&](pid_t pid) { c.MidBatch(pid, out); };
    const TResult r = RunCli(args, {}, midBatch, c.FileSizeLimit);
    slow.reset();
    filesTried += int(c.Sources.size());

    EXPECT_EQ(r.Status, c.Status) << r.Out << r.Err;
    const std::vector<std::string> lines = r.Lines();
    ASSERT_EQ(lines.size(), c.Lines.size()) << r.Out << r.Err;
    for (size_t i = 0; i < lines.size(); ++i) {
      EXPECT_EQ(lines[i].rfind(c.Lines[i].Start, 0), 0u) << lines[i];
      EXPECT_NE(lines[i].find(c.Lines[i].Contains), std::string::npos) << lines[i];
    }
    EXPECT_NE(r.Err.find(c.ErrorText), std::string::npos) << r.Err;
    int whole = 0;
    if (fs::is_directory(out)) {
      EXPECT_EQ(EmptyFilesIn(out), std::vector<std::string>{});
      for (const auto& entry : fs::directory_iterator(out)) {
        const TFileSummary summary = ReadBack(entry.path().string());
        whole += summary.Opened && summary.First(AVMEDIA_TYPE_VIDEO) ? 1 : 0;
      }
    }
    EXPECT_EQ(whole, c.WholeOutputs);
    auto after = SourcePrints();
    after.erase(slowPath);
    EXPECT_EQ(after, before) << "the sources are as they were";
    if (!c.Deleted.empty()) {
      // The job had its source open before it went: the output is complete.
      const TFileSummary copy = ReadBack(Output3gp(out, c.Deleted));
      ASSERT_NE(copy.First(AVMEDIA_TYPE_VIDEO), nullptr);
      EXPECT_EQ(copy.First(AVMEDIA_TYPE_VIDEO)->Packets, undisturbed->Packets);
      fs::copy_file(Fixtures::MediaPath(Fixtures::Small176Avi.Name), c.Deleted);
    }
  }
  std::cout << "bad input, command line: " << cases.size() << " faults injected, " << filesTried
            << " files tried\n";
}

TEST_F(BadInput, Component) {
  TQxAVConverter c;
  ASSERT_TRUE(c.LoadLibraries("", true)) << c.LastError;
  c.SetLogLevel(llQuiet);
  TEventRecorder recorder;
  recorder.Attach(c);
  const std::string kept = Folder / "kept", doomed = Folder / "doomed";
  fs::create_directories(kept);
  fs::create_directories(doomed);
  const auto before = SourcePrints();
  TSlowSource slow(Folder / "slow.avi", "clip.avi", 0.5);

  // A job: its source, output and record; what SetOutput says; and how it ends.
  struct TJob {
    std::string Name, Source, Output;
    TOutputOptions Record;
    std::string OutputRefusal; // empty: SetOutput succeeds
    std::string Failure;       // empty: the job finishes
  };
  const TOutputOptions copy = CopyRecord();
  TOutputOptions toDevFull = copy, missingHook = copy, badChain;
  toDevFull.FileFormat = "matroska";
  missingHook.ExtraOptions = "vhook=/nonexistent.so";
  badChain.VideoCodec = "mpeg4";
  badChain.AudioCodec = "copy";
  badChain.ExtraOptions = "vfilters=nosuchfilter";
  const std::string deleted = Source("small_176x144.avi");
  const std::string noOutput = "Must supply at least one output file";
  const std::vector<TJob> jobs = {
      {"good", Source("clip.avi"), kept + "/clip.mkv", copy, "", ""},
      {"no streams", Source(Fixtures::NoStreams), kept + "/none.mkv", copy, "",
       "Output file does not contain any stream"},
      {"truncated", Source(Fixtures::TruncatedAvi), kept + "/truncated.mkv", copy, "", ""},
      {"source deleted after adding", deleted, kept + "/deleted.mkv", copy, "", ""},
      {"output under a file", Source("clip.avi"), Folder / "afile/x.mkv", copy,
       "Could not open '" + (Folder / "afile/x.mkv") + "'", noOutput},
      {"output not writable", Source("clip.avi"), "/proc/self/x.mkv", copy,
       "Could not open '/proc/self/x.mkv'", noOutput},
      {"full disk", Source("clip.avi"), "/dev/full", toDevFull, "",
       "Could not write '/dev/full': No space left on device"},
      {"output folder removed", slow.Path, doomed + "/slow.mkv", copy, "",
       "was removed while it was being written"},
      {"missing hook module", Source("clip.avi"), kept + "/hook.mkv", missingHook,
       "Failed to add video hook function: /nonexistent.so", noOutput},
      {"chain that does not parse", Source("clip.avi"), kept + "/chain.mkv", badChain, "",
       "Error opening filters: the chain 'nosuchfilter' does not parse (Invalid argument)"},
      {"good after the faults", Source(Fixtures::TruncatedAvi), kept + "/last.mkv", copy, "", ""},
  };

  int faults = 0;
  // Sources refused when added.
  for (const char* name : {Fixtures::GarbageAvi, Fixtures::EmptyAvi}) {
    EXPECT_EQ(c.AddInput(Source(name)), -1);
    EXPECT_EQ(c.LastError, Source(name) + ": Unknown format");
    ++faults;
  }
  for (size_t i = 0; i < jobs.size(); ++i) {
    SCOPED_TRACE(jobs[i].Name);
    ASSERT_EQ(c.AddInput(jobs[i].Source), int(i)) << c.LastError;
    if (jobs[i].Source == deleted)
      fs::remove(deleted);
    TOutputOptions record = jobs[i].Record;
    EXPECT_EQ(c.SetOutput(int(i), jobs[i].Output, &record), jobs[i].OutputRefusal.empty());
    if (!jobs[i].OutputRefusal.empty()) {
      EXPECT_EQ(c.LastError, jobs[i].OutputRefusal);
    }
    faults += jobs[i].Name.rfind("good", 0) == 0 ? 0 : 1;
  }
  const int stalled = 7;
  ASSERT_EQ(jobs[stalled].Source, slow.Path);
  c.StartJobs(2);
  ASSERT_TRUE(WaitUntil([&] { return c.Jobs(stalled).Engine->GetRunning(); }, 20s));
  fs::remove_all(doomed);
  slow.Release();
  ASSERT_TRUE(recorder.WaitForBatchEnd(60s));

  const std::vector<TEvent> ends = recorder.Snapshot(TEvent::Terminate);
  ASSERT_EQ(ends.size(), jobs.size() + 1);
  EXPECT_EQ(ends.back().Index, -1);
  std::vector<int> seen(jobs.size(), 0);
  for (const TEvent& e : ends) {
    if (e.Index < 0)
      continue;
    const TJob& job = jobs[size_t(e.Index)];
    SCOPED_TRACE(job.Name);
    ++seen[size_t(e.Index)];
    const TCustomFFmpeg& engine = *c.Jobs(e.Index).Engine;
    EXPECT_TRUE(engine.GetOpenEncoderCount() == 0 && engine.GetOpenDecoderCount() == 0);
    if (job.Failure.empty()) {
      EXPECT_TRUE(e.Finished && !e.Exception) << e.Text;
      const TFileSummary out = ReadBack(job.Output);
      EXPECT_TRUE(out.Opened && out.First(AVMEDIA_TYPE_VIDEO)) << job.Output;
    } else {
      EXPECT_TRUE(e.Exception);
      EXPECT_NE(e.Text.find(job.Failure), std::string::npos) << e.Text;
    }
  }
  EXPECT_EQ(seen, std::vector<int>(jobs.size(), 1)) << "each job ends exactly once";
  const TFileSummary afterDeletion = ReadBack(kept + "/deleted.mkv");
  ASSERT_NE(afterDeletion.First(AVMEDIA_TYPE_VIDEO), nullptr);
  EXPECT_EQ(afterDeletion.First(AVMEDIA_TYPE_VIDEO)->Packets, Fixtures::Small176Avi.VideoFrames);
  c.ClearJobs();

  // The empty source is the only empty file.
  EXPECT_EQ(EmptyFilesIn(Folder.Path), std::vector<std::string>{Source(Fixtures::EmptyAvi)});
  auto after = SourcePrints();
  auto expected = before;
  expected.erase(deleted);
  EXPECT_EQ(after, expected) << "the sources are as they were";
  std::cout << "bad input, component: " << jobs.size() + 2 << " files tried, " << faults
            << " faults injected, " << jobs.size() << " jobs each ended once\n";
}
