// Running the built kestroconvert from a test, and a source that stalls a
// job: a fixture offered through a named pipe.
#pragma once

#include "FixtureMedia.h"

#include <gtest/gtest.h>

#include <fcntl.h>
#include <signal.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <fstream>
#include <functional>
#include <iterator>
#include <mutex>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

namespace kestro::test {

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
// and may return true to have SIGINT sent to the program. A file size limit
// (bytes, 0 for none) makes writes beyond it fail, as on a full disk.
inline TResult RunCli(const std::vector<std::string>& args,
                      const std::function<bool(const std::string&)>& onLine = {},
                      const std::function<void(pid_t)>& whileRunning = {},
                      rlim_t fileSizeLimit = 0) {
  int out[2], err[2];
  EXPECT_EQ(pipe(out), 0);
  EXPECT_EQ(pipe(err), 0);
  const pid_t pid = fork();
  if (pid == 0) {
    if (fileSizeLimit) {
      signal(SIGXFSZ, SIG_IGN); // a write beyond the limit then fails instead of killing
      const rlimit limit{fileSizeLimit, fileSizeLimit};
      setrlimit(RLIMIT_FSIZE, &limit);
    }
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
          Go.wait_for(lock, std::chrono::seconds(20), [this] { return Released; });
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

} // namespace kestro::test
