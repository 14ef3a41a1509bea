// Running the built kestroconvert from a test.
#pragma once

#include <gtest/gtest.h>

#include <signal.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <condition_variable>
#include <functional>
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
// A program still running after `limit` is killed and the test fails, so a
// hang costs that long and no more.
inline TResult RunCli(const std::vector<std::string>& args,
                      const std::function<bool(const std::string&)>& onLine = {},
                      const std::function<void(pid_t)>& whileRunning = {},
                      rlim_t fileSizeLimit = 0,
                      std::chrono::seconds limit = std::chrono::seconds(120)) {
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
  std::mutex doneLock;
  std::condition_variable doneSignal;
  bool done = false, killed = false;
  std::thread deadline([&] {
    std::unique_lock<std::mutex> lock(doneLock);
    if (!doneSignal.wait_for(lock, limit, [&] { return done; })) {
      killed = true;
      kill(pid, SIGKILL);
    }
  });
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
  {
    std::lock_guard<std::mutex> lock(doneLock);
    done = true;
  }
  doneSignal.notify_all();
  deadline.join();
  EXPECT_FALSE(killed) << "kestroconvert was still running after " << limit.count() << " s";
  if (watcher.joinable())
    watcher.join();
  result.Status = WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
  return result;
}

} // namespace kestro::test
