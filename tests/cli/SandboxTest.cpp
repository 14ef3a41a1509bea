// The worker's sandbox: a hostile hook inside a real job, and the limits
// applied to a bare child process, call by call.
#include "Sandbox.h"
#include "CliSupport.h"
#include "FixtureMedia.h"

#include <gtest/gtest.h>
#include <nlohmann/json.hpp>

#include <fcntl.h>
#include <linux/io_uring.h>
#include <poll.h>
#include <seccomp.h>
#include <sys/ptrace.h>
#include <sys/socket.h>
#include <sys/syscall.h>
#include <sys/uio.h>
#include <sys/un.h>

#include <cerrno>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <map>
#include <memory>
#include <sstream>
#include <thread>

using namespace kestro;
using namespace kestro::test;
namespace fs = std::filesystem;
using nlohmann::json;
using namespace std::chrono_literals;

namespace {

class SandboxFolder : public ::testing::Test {
protected:
  void SetUp() override {
    char pattern[] = "/tmp/kestro-sandbox-XXXXXX";
    Folder = mkdtemp(pattern);
    fs::create_directory(Folder + "/out");
  }
  void TearDown() override { fs::remove_all(Folder); }
  std::string Folder;
};

// Runs `body` in a child process and returns what it wrote to the descriptor
// it is given. A child still running after `limit` is killed and the test
// fails.
std::string InChild(const std::function<void(int)>& body, std::chrono::seconds limit = 30s) {
  int pipeFds[2];
  EXPECT_EQ(pipe2(pipeFds, O_CLOEXEC), 0);
  const pid_t pid = fork();
  if (pid == 0) {
    close(pipeFds[0]);
    body(pipeFds[1]);
    _exit(0);
  }
  close(pipeFds[1]);
  std::string out;
  const auto deadline = std::chrono::steady_clock::now() + limit;
  for (;;) {
    const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
        deadline - std::chrono::steady_clock::now());
    pollfd ready{pipeFds[0], POLLIN, 0};
    if (left.count() <= 0 || poll(&ready, 1, int(left.count())) <= 0) {
      ADD_FAILURE() << "the child was still running after " << limit.count() << " s";
      kill(pid, SIGKILL);
      break;
    }
    char buf[4096];
    const ssize_t n = read(pipeFds[0], buf, sizeof buf);
    if (n <= 0)
      break;
    out.append(buf, size_t(n));
  }
  close(pipeFds[0]);
  int status = 0;
  waitpid(pid, &status, 0);
  return out;
}

void Say(int out, const std::string& line) {
  const std::string text = line + "\n";
  EXPECT_EQ(write(out, text.data(), text.size()), ssize_t(text.size()));
}

// errno of a call that returns -1 on failure, 0 when it worked.
int ErrorOf(long rc) {
  return rc < 0 ? errno : 0;
}

int OpenForWriting(const std::string& path) {
  const int fd = open(path.c_str(), O_WRONLY | O_CREAT | O_CLOEXEC, 0644);
  if (fd < 0)
    return errno;
  close(fd);
  return 0;
}

std::map<std::string, int> ParseOutcomes(const std::string& text,
                                         std::vector<std::string>& missing) {
  std::map<std::string, int> outcomes;
  std::istringstream in(text);
  for (std::string line; std::getline(in, line);) {
    if (line.rfind("missing ", 0) == 0) {
      missing.push_back(line.substr(8));
      continue;
    }
    const size_t blank = line.rfind(' ');
    outcomes[line.substr(0, blank)] = std::stoi(line.substr(blank + 1));
  }
  return outcomes;
}

// A listening Unix socket, closed with the test.
class TListener {
public:
  explicit TListener(const std::string& path) : Path(path) {
    Fd = socket(AF_UNIX, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0);
    sockaddr_un address{};
    address.sun_family = AF_UNIX;
    std::strncpy(address.sun_path, path.c_str(), sizeof address.sun_path - 1);
    EXPECT_EQ(bind(Fd, reinterpret_cast<sockaddr*>(&address), sizeof address), 0) << path;
    EXPECT_EQ(listen(Fd, 8), 0);
  }
  ~TListener() { close(Fd); }
  // True when a connection is waiting to be accepted.
  bool WasReached() const {
    const int peer = accept4(Fd, nullptr, nullptr, SOCK_CLOEXEC);
    if (peer < 0)
      return false;
    close(peer);
    return true;
  }
  std::string Path;
  int Fd = -1;
};

} // namespace

// The refused calls, each with the error a process without the sandbox would
// not get. A thread that was already running when the sandbox went on is
// refused too, which is what lets the worker apply it late.
TEST_F(SandboxFolder, AChildWithTheSandboxCannotExecConnectOrTrace) {
  const std::string output = Folder + "/out/clip.3gp";
  const std::string source = Fixtures::MediaPath("clip.avi");
  const bool fileLimits = FileLimitsVersion() > 0;
  const std::string text = InChild([&](int out) {
    int wake[2];
    if (pipe(wake) != 0)
      _exit(1);
    int threadSocket = -1;
    std::thread early([&] {
      char byte;
      if (read(wake[0], &byte, 1) == 1)
        threadSocket = ErrorOf(socket(AF_INET, SOCK_STREAM, 0));
    });
    for (const std::string& line : ApplyWorkerSandbox(output))
      Say(out, "missing " + line);
    EXPECT_EQ(write(wake[1], "x", 1), 1);
    early.join();
    Say(out, "socket in an earlier thread " + std::to_string(threadSocket));

    Say(out, "socket " + std::to_string(ErrorOf(socket(AF_UNIX, SOCK_STREAM, 0))));
    int pair[2];
    Say(out, "socketpair " + std::to_string(ErrorOf(socketpair(AF_UNIX, SOCK_STREAM, 0, pair))));
    io_uring_params params{};
    Say(out, "io_uring_setup " + std::to_string(ErrorOf(syscall(__NR_io_uring_setup, 4, &params))));
    Say(out,
        "ptrace " + std::to_string(ErrorOf(ptrace(PTRACE_PEEKDATA, getppid(), nullptr, nullptr))));
    char from = 'a', to = 0;
    iovec local{&to, 1}, remote{&from, 1};
    Say(out, "process_vm_readv " +
                 std::to_string(ErrorOf(process_vm_readv(getpid(), &local, 1, &remote, 1, 0))));
    Say(out, "process_vm_writev " +
                 std::to_string(ErrorOf(process_vm_writev(getpid(), &remote, 1, &local, 1, 0))));
    Say(out, "write outside " + std::to_string(OpenForWriting(Folder + "/outside.txt")));
    Say(out, "write the output " + std::to_string(OpenForWriting(output)));
    Say(out, "write a helper file " + std::to_string(OpenForWriting(Folder + "/out/stats-0.log")));
    Say(out,
        "make a folder " + std::to_string(ErrorOf(mkdir((Folder + "/out/sub").c_str(), 0755))));
    Say(out,
        "rename inside " + std::to_string(ErrorOf(rename((Folder + "/out/stats-0.log").c_str(),
                                                         (Folder + "/out/sub/s.log").c_str()))));
    Say(out, "read outside " + std::to_string(ErrorOf(open(source.c_str(), O_RDONLY | O_CLOEXEC))));
    // Last: without the sandbox it replaces the child.
    char* const argv[] = {const_cast<char*>("/bin/true"), nullptr};
    execv("/bin/true", argv);
    Say(out, "execve " + std::to_string(errno));
  });

  std::vector<std::string> missing;
  const std::map<std::string, int> outcomes = ParseOutcomes(text, missing);
  const std::map<std::string, int> expected = {
      {"socket in an earlier thread", EPERM},
      {"socket", EPERM},
      {"socketpair", EPERM},
      {"io_uring_setup", EPERM},
      {"ptrace", EPERM},
      {"process_vm_readv", EPERM},
      {"process_vm_writev", EPERM},
      {"write outside", fileLimits ? EACCES : 0},
      {"write the output", 0},
      {"write a helper file", 0},
      {"make a folder", 0},
      {"rename inside", 0},
      {"read outside", 0},
      {"execve", EPERM},
  };
  EXPECT_EQ(outcomes, expected) << text;
  EXPECT_EQ(missing.size(), fileLimits ? 0u : 1u) << text;
}

// On a kernel without one of the parts (hidden here by a filter of the
// test's own) the job still runs, and its log says which part is missing.
TEST_F(SandboxFolder, AMissingPartIsLoggedAndTheJobStillRuns) {
  struct Case {
    const char* Hidden;
    std::string Line;
  } cases[] = {
      {"landlock_create_ruleset",
       "Sandbox: the job may write outside its output folder: the kernel "
       "has no Landlock file-system limits"},
      {"seccomp", "Sandbox: the job may open sockets and start programs: the kernel cannot filter "
                  "every thread's system calls"},
  };
  const std::string jobFile = Folder + "/job.json";
  const std::string output = Folder + "/out/x.3gp";
  std::ofstream(jobFile) << json{{"source", Fixtures::MediaPath("small_176x144.avi")},
                                 {"output", output},
                                 {"log_level", 2},
                                 {"output_options",
                                  {{"FileFormat", "3gp"},
                                   {"VideoCodec", "h263"},
                                   {"FrameSize", "176x144"},
                                   {"AudioCodec", "aac"},
                                   {"AudioSampleRate", 8000},
                                   {"AudioChannels", 1}}}};
  for (const Case& c : cases) {
    SCOPED_TRACE(c.Hidden);
    const std::string text = InChild(
        [&](int out) {
          scmp_filter_ctx hide = seccomp_init(SCMP_ACT_ALLOW);
          if (!hide ||
              seccomp_rule_add(hide, SCMP_ACT_ERRNO(ENOSYS), seccomp_syscall_resolve_name(c.Hidden),
                               0) != 0 ||
              seccomp_load(hide) != 0)
            _exit(1);
          const int job = open(jobFile.c_str(), O_RDONLY);
          dup2(job, STDIN_FILENO);
          dup2(out, STDOUT_FILENO);
          char* const argv[] = {const_cast<char*>(KESTROCONVERT), const_cast<char*>("--worker"),
                                nullptr};
          execv(KESTROCONVERT, argv);
          _exit(127);
        },
        60s);
    std::vector<std::string> sandboxLines;
    json result;
    std::istringstream in(text);
    for (std::string line; std::getline(in, line);) {
      const json event = json::parse(line, nullptr, false);
      if (event.value("event", "") == "result")
        result = event;
      const std::string message = event.value("message", "");
      if (event.value("event", "") == "log" && message.rfind("Sandbox:", 0) == 0) {
        EXPECT_EQ(event.value("level", ""), "info");
        sandboxLines.push_back(message);
      }
    }
    ASSERT_EQ(sandboxLines.size(), 1u) << text;
    EXPECT_EQ(sandboxLines[0].substr(0, c.Line.size()), c.Line);
    EXPECT_EQ(result.value("status", ""), "done") << text;
    fs::remove(output);
  }
}

class HostileHook : public SandboxFolder {
protected:
  // Converts a short clip with the escape hook aimed at a file beside the
  // output folder and at a listening socket of this test.
  TResult Convert(const std::vector<std::string>& extra = {}) {
    std::vector<std::string> args = {"-p",
                                     "3gp",
                                     "--json",
                                     "-o",
                                     Folder + "/out",
                                     "-x",
                                     std::string("vhook=") + KESTRO_HOOK_DIR +
                                         "/testhook_escape.so|" + Outside() + "|" + Listener->Path};
    for (const std::string& e : extra) {
      args.push_back("-x");
      args.push_back(e);
    }
    args.push_back(Fixtures::MediaPath("small_176x144.avi"));
    return RunCli(args, {}, {}, 0, 60s);
  }
  void SetUp() override {
    SandboxFolder::SetUp();
    Listener = std::make_unique<TListener>(Folder + "/listen.sock");
  }
  std::string Outside() const { return Folder + "/outside.txt"; }
  static int DoneResults(const TResult& r) {
    int done = 0;
    for (const std::string& line : r.Lines()) {
      const json event = json::parse(line, nullptr, false);
      done += event.value("event", "") == "result" && event.value("status", "") == "done";
    }
    return done;
  }
  std::unique_ptr<TListener> Listener;
};

TEST_F(HostileHook, CannotConnectToAListeningSocket) {
  const TResult r = Convert();
  EXPECT_EQ(r.Status, 0) << r.Out << r.Err;
  EXPECT_EQ(DoneResults(r), 1) << r.Out;
  EXPECT_NE(r.Err.find("escape_hook: connect " + Listener->Path + ": " + std::strerror(EPERM)),
            std::string::npos)
      << r.Err;
  EXPECT_FALSE(Listener->WasReached());
}

// The two-pass statistics beside the output show the folder itself stays
// writable while the file next to it is refused.
TEST_F(HostileHook, CannotWriteOutsideTheOutputFolder) {
  if (FileLimitsVersion() == 0)
    GTEST_SKIP() << "the kernel has no Landlock: writes outside the output folder are not limited";
  const std::string stats = Folder + "/out/stats";
  const TResult r = Convert({"pass=1", "passlogfile=" + stats});
  EXPECT_EQ(r.Status, 0) << r.Out << r.Err;
  EXPECT_EQ(DoneResults(r), 1) << r.Out;
  EXPECT_NE(r.Err.find("escape_hook: write " + Outside() + ": " + std::strerror(EACCES)),
            std::string::npos)
      << r.Err;
  EXPECT_FALSE(fs::exists(Outside()));
  EXPECT_GT(fs::file_size(stats + "-0.log"), 0u);
}
