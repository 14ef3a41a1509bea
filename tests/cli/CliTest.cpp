#include "FixtureMedia.h"
#include "MediaLibs.h"
#include "../engine/MediaReadBack.h"

#include <gtest/gtest.h>

#include <fcntl.h>
#include <signal.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <condition_variable>
#include <filesystem>
#include <fstream>
#include <mutex>
#include <thread>

using namespace kestro;
using namespace kestro::test;
namespace fs = std::filesystem;
using namespace std::chrono_literals;

namespace {

struct TResult {
  int Status = -1;
  std::string Out, Err;
  std::vector<std::string> Lines() const {
    std::vector<std::string> lines;
    std::istringstream in(Out);
    for (std::string line; std::getline(in, line);)
      lines.push_back(line);
    return lines;
  }
};

// Runs kestroconvert with `args`; `onLine` sees each output line as it comes
// and may return true to have SIGINT sent to the program.
TResult RunCli(const std::vector<std::string>& args,
               const std::function<bool(const std::string&)>& onLine = {},
               const std::function<void(pid_t)>& whileRunning = {}) {
  int out[2], err[2];
  EXPECT_EQ(pipe(out), 0);
  EXPECT_EQ(pipe(err), 0);
  const pid_t pid = fork();
  if (pid == 0) {
    dup2(out[1], 1);
    dup2(err[1], 2);
    close(out[0]);
    close(err[0]);
    std::vector<char*> argv{const_cast<char*>(KESTROCONVERT)};
    for (const std::string& a : args)
      argv.push_back(const_cast<char*>(a.c_str()));
    argv.push_back(nullptr);
    execv(KESTROCONVERT, argv.data());
    _exit(127);
  }
  close(out[1]);
  close(err[1]);
  std::thread watcher;
  if (whileRunning)
    watcher = std::thread([&] { whileRunning(pid); });
  TResult result;
  std::thread errReader([&] {
    char buf[4096];
    for (ssize_t n; (n = read(err[0], buf, sizeof buf)) > 0;)
      result.Err.append(buf, size_t(n));
  });
  char buf[4096];
  std::string pending;
  for (ssize_t n; (n = read(out[0], buf, sizeof buf)) > 0;) {
    result.Out.append(buf, size_t(n));
    pending.append(buf, size_t(n));
    for (size_t eol; (eol = pending.find('\n')) != std::string::npos;) {
      const std::string line = pending.substr(0, eol);
      pending.erase(0, eol + 1);
      if (onLine && onLine(line))
        kill(pid, SIGINT);
    }
  }
  errReader.join();
  close(out[0]);
  close(err[0]);
  int status = 0;
  waitpid(pid, &status, 0);
  if (watcher.joinable())
    watcher.join();
  result.Status = WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
  return result;
}

class Cli : public ::testing::Test {
protected:
  void SetUp() override {
    ASSERT_TRUE(LoadAllLibraries("", true));
    char pattern[] = "/tmp/kestro-cli-XXXXXX";
    Folder = mkdtemp(pattern);
  }
  void TearDown() override { fs::remove_all(Folder); }
  std::string Media(const char* name) { return Fixtures::MediaPath(name); }
  std::string Folder;
};

// A fixture offered through a named pipe. Every reader before the one
// numbered `holdSession` (from 1) gets the whole file; that one gets the
// first share at once and the rest only after Release.
class TPipeSource {
public:
  TPipeSource(const std::string& path, const char* fixture, int holdSession, double share)
      : Path(path), HoldSession(holdSession) {
    signal(SIGPIPE, SIG_IGN);
    std::ifstream in(Fixtures::MediaPath(fixture), std::ios::binary);
    Bytes.assign(std::istreambuf_iterator<char>(in), {});
    Share = size_t(double(Bytes.size()) * share);
    mkfifo(Path.c_str(), 0600);
    Writer = std::thread([this] {
      // The hold session is the last: a reader that keeps the pipe open
      // after it must see its end, not another copy.
      for (int session = 1; session <= HoldSession && !Stopping; ++session) {
        const int fd = open(Path.c_str(), O_WRONLY);
        if (fd < 0 || Stopping) {
          if (fd >= 0)
            close(fd);
          return;
        }
        size_t from = 0;
        if (session == HoldSession) {
          Write(fd, 0, Share);
          std::unique_lock<std::mutex> lock(Mutex);
          Go.wait_for(lock, 20s, [this] { return Released; });
          from = Share;
        }
        Write(fd, from, Bytes.size());
        close(fd);
      }
    });
  }
  ~TPipeSource() {
    Stopping = true;
    Release();
    const int fd = open(Path.c_str(), O_RDONLY | O_NONBLOCK);
    if (fd >= 0)
      close(fd);
    Writer.join();
  }
  void Release() {
    std::lock_guard<std::mutex> lock(Mutex);
    Released = true;
    Go.notify_all();
  }
  std::string Path;

private:
  void Write(int fd, size_t from, size_t to) {
    while (from < to) {
      const ssize_t n = write(fd, Bytes.data() + from, to - from);
      if (n <= 0)
        return;
      from += size_t(n);
    }
  }
  int HoldSession;
  std::vector<char> Bytes;
  size_t Share = 0;
  std::mutex Mutex;
  std::condition_variable Go;
  bool Released = false;
  std::atomic<bool> Stopping{false};
  std::thread Writer;
};

} // namespace

TEST_F(Cli, ResultLinesAndExitStatus) {
  const std::string clip = Media("clip.avi"), garbage = Media("garbage.avi");
  struct Case {
    std::vector<std::string> Args;
    int Status;
    std::vector<std::string> Lines;
  } cases[] = {
      {{"-o", Folder, clip}, 0, {"done: " + clip + " -> " + Folder + "/clip (3GPP 176x144).3gp"}},
      {{"-o", Folder, garbage}, 1, {"skipped: " + garbage + ": " + garbage + ": Unknown format"}},
      {{"-o", Folder, "-x", "croptop=3", clip},
       1,
       {"failed: " + clip + ": Top crop size must be a multiple of 2"}},
      {{"-o", Folder, "--preset", "3GPP 176x144", clip},
       0,
       {"done: " + clip + " -> " + Folder + "/clip (3GPP 176x144 [1]).3gp"}},
  };
  for (const Case& c : cases) {
    const TResult r = RunCli(c.Args);
    EXPECT_EQ(r.Status, c.Status) << r.Out << r.Err;
    EXPECT_EQ(r.Lines(), c.Lines) << r.Err;
  }
  // A refused output leaves nothing behind.
  EXPECT_EQ(std::distance(fs::directory_iterator(Folder), fs::directory_iterator()), 2);
}

TEST_F(Cli, UsageErrorsExitWithTwo) {
  for (const std::vector<std::string>& args : std::vector<std::vector<std::string>>{
           {"--no-such-option", Media("clip.avi")},
           {"--preset", "Nothing like it", Media("clip.avi")},
           {"-j", "many", Media("clip.avi")},
           {},
       }) {
    const TResult r = RunCli(args);
    EXPECT_EQ(r.Status, 2) << r.Err;
    EXPECT_NE(r.Err.find("kestroconvert: "), std::string::npos);
  }
  EXPECT_EQ(RunCli({"--help"}).Status, 0);
  const TResult list = RunCli({"--list-presets"});
  EXPECT_EQ(list.Lines(), std::vector<std::string>{"3GPP 176*144 (*.3gp)\t3GPP 176x144"});
}

TEST_F(Cli, OptionLinesReachEveryOutput) {
  const TResult r = RunCli({"-o", Folder, "-x", "vframes=10", Media("clip.avi")});
  ASSERT_EQ(r.Status, 0) << r.Out << r.Err;
  const TFileSummary out = ReadBack(Folder + "/clip (3GPP 176x144).3gp");
  ASSERT_TRUE(out.Opened);
  const TStreamSummary* video = out.First(AVMEDIA_TYPE_VIDEO);
  ASSERT_NE(video, nullptr);
  EXPECT_EQ(video->Packets, 10);
  EXPECT_EQ(video->Codec, "h263");
}

TEST_F(Cli, TwoJobsRunAtOnce) {
  // The first source stalls half-way through its run until the second has
  // finished: only two jobs at once get past that.
  TPipeSource slow(Folder + "/slow.avi", "clip.avi", 2, 0.4);
  const std::string quick = Media("small_176x144.avi");
  bool sawQuick = false;
  const TResult r = RunCli({"-j", "2", "-o", Folder + "/out", slow.Path, quick},
                           [&](const std::string& line) {
                             if (line.rfind("done: " + quick, 0) == 0) {
                               sawQuick = true;
                               slow.Release();
                             }
                             return false;
                           });
  EXPECT_EQ(r.Status, 0) << r.Out << r.Err;
  const std::vector<std::string> lines = r.Lines();
  ASSERT_EQ(lines.size(), 2u) << r.Out;
  EXPECT_EQ(lines[0].rfind("done: " + quick, 0), 0u);
  EXPECT_EQ(lines[1].rfind("done: " + slow.Path, 0), 0u);
  EXPECT_TRUE(sawQuick);
}

TEST_F(Cli, InterruptStopsTheBatchAndKeepsNoEmptyOutput) {
  TPipeSource slow(Folder + "/slow.avi", "clip.avi", 2, 0.4);
  const std::string running = Folder + "/out/slow (3GPP 176x144).3gp";
  const std::string waiting = Folder + "/out/small_176x144 (3GPP 176x144).3gp";
  const TResult r = RunCli({"-o", Folder + "/out", slow.Path, Media("small_176x144.avi")}, {},
                           [&](pid_t pid) {
                             // Once the stalled job has written its header, it is running.
                             for (int i = 0; i < 400; ++i) {
                               std::error_code ignored;
                               if (fs::file_size(running, ignored) > 0 && !ignored)
                                 break;
                               std::this_thread::sleep_for(25ms);
                             }
                             kill(pid, SIGINT);
                             std::this_thread::sleep_for(100ms);
                             slow.Release(); // let the blocked read come back
                           });
  EXPECT_EQ(r.Status, 130) << r.Out << r.Err;
  const TFileSummary out = ReadBack(running);
  EXPECT_TRUE(out.Opened) << "the stopped output keeps its trailer";
  EXPECT_FALSE(fs::exists(waiting)) << "the job that never ran leaves no empty file";
}
