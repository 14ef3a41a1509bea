#include "Sandbox.h"

#include <fcntl.h>
#include <linux/landlock.h>
#include <seccomp.h>
#include <sys/prctl.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <filesystem>
#include <memory>

// Rights newer than the kernel headers this may be built with.
#ifndef LANDLOCK_ACCESS_FS_REFER
#define LANDLOCK_ACCESS_FS_REFER (1ULL << 13)
#endif
#ifndef LANDLOCK_ACCESS_FS_TRUNCATE
#define LANDLOCK_ACCESS_FS_TRUNCATE (1ULL << 14)
#endif

namespace kestro {

namespace {

class TOwnedFd {
public:
  explicit TOwnedFd(int fd) : Fd(fd) {}
  TOwnedFd(const TOwnedFd&) = delete;
  TOwnedFd& operator=(const TOwnedFd&) = delete;
  ~TOwnedFd() {
    if (Fd >= 0)
      close(Fd);
  }
  int Fd;
};

struct TSeccompDeleter {
  void operator()(void* filter) const { seccomp_release(filter); }
};
using TSeccompPtr = std::unique_ptr<void, TSeccompDeleter>;

std::string ErrorText(int error) {
  return std::strerror(error);
}

// Refuses with EPERM what a converter never needs and an attacker wants.
// io_uring is refused too: its requests can create sockets without the
// socket call.
std::string RefuseSystemCalls() {
  TSeccompPtr filter(seccomp_init(SCMP_ACT_ALLOW));
  if (!filter)
    return "the system call filter cannot be made";
  // Threads started before this point (the signal waiter, library helpers)
  // get the same filter.
  if (const int rc = seccomp_attr_set(filter.get(), SCMP_FLTATR_CTL_TSYNC, 1); rc < 0)
    return "the kernel cannot filter every thread's system calls (" + ErrorText(-rc) + ")";
  static const char* const refused[] = {
      "socket",           "socketpair",        "execve",         "execveat", "ptrace",
      "process_vm_readv", "process_vm_writev", "io_uring_setup",
  };
  for (const char* name : refused) {
    const int call = seccomp_syscall_resolve_name(name);
    if (call == __NR_SCMP_ERROR)
      continue; // not a call of this architecture
    if (const int rc = seccomp_rule_add(filter.get(), SCMP_ACT_ERRNO(EPERM), call, 0); rc < 0)
      return std::string("the system call filter cannot refuse ") + name + " (" + ErrorText(-rc) +
             ")";
  }
  if (const int rc = seccomp_load(filter.get()); rc < 0)
    return "the kernel has no system call filter (" + ErrorText(-rc) + ")";
  return {};
}

long CreateRuleset(const landlock_ruleset_attr* attr, size_t size, uint32_t flags) {
  return syscall(__NR_landlock_create_ruleset, attr, size, flags);
}

// Writing beneath the output's folder only. The rights the ruleset handles
// depend on the kernel's version: each version adds some, and asking for one
// the kernel does not know makes it refuse the whole ruleset.
std::string LimitWritesTo(const std::filesystem::path& folder) {
  const int version = FileLimitsVersion();
  if (version <= 0)
    return "the kernel has no Landlock file-system limits";
  __u64 writes = LANDLOCK_ACCESS_FS_WRITE_FILE | LANDLOCK_ACCESS_FS_REMOVE_DIR |
                 LANDLOCK_ACCESS_FS_REMOVE_FILE | LANDLOCK_ACCESS_FS_MAKE_CHAR |
                 LANDLOCK_ACCESS_FS_MAKE_DIR | LANDLOCK_ACCESS_FS_MAKE_REG |
                 LANDLOCK_ACCESS_FS_MAKE_SOCK | LANDLOCK_ACCESS_FS_MAKE_FIFO |
                 LANDLOCK_ACCESS_FS_MAKE_BLOCK | LANDLOCK_ACCESS_FS_MAKE_SYM;
  // Version 1 refuses every move of a file into another folder, even within
  // the output folder; from 2 on it is a right the rule below grants there.
  if (version >= 2)
    writes |= LANDLOCK_ACCESS_FS_REFER;
  if (version >= 3)
    writes |= LANDLOCK_ACCESS_FS_TRUNCATE;
  const landlock_ruleset_attr attr{writes};
  const TOwnedFd ruleset(int(CreateRuleset(&attr, sizeof attr, 0)));
  if (ruleset.Fd < 0)
    return "the Landlock rules cannot be made (" + ErrorText(errno) + ")";
  const TOwnedFd beneath(open(folder.c_str(), O_PATH | O_DIRECTORY | O_CLOEXEC));
  if (beneath.Fd < 0)
    return "the output folder " + folder.string() + " cannot be opened (" + ErrorText(errno) + ")";
  landlock_path_beneath_attr rule{};
  rule.allowed_access = writes;
  rule.parent_fd = beneath.Fd;
  if (syscall(__NR_landlock_add_rule, ruleset.Fd, LANDLOCK_RULE_PATH_BENEATH, &rule, 0) != 0)
    return "the output folder cannot be given to Landlock (" + ErrorText(errno) + ")";
  // Binds this thread and the threads it starts, which is where the job runs;
  // the only thread already there waits for stop signals.
  if (syscall(__NR_landlock_restrict_self, ruleset.Fd, 0) != 0)
    return "the Landlock rules cannot be applied (" + ErrorText(errno) + ")";
  return {};
}

} // namespace

int FileLimitsVersion() {
  const long version = CreateRuleset(nullptr, 0, LANDLOCK_CREATE_RULESET_VERSION);
  return version > 0 ? int(version) : 0;
}

std::vector<std::string> ApplyWorkerSandbox(const std::string& outputFile) {
  std::vector<std::string> missing;
  // Without it neither part may be applied by an unprivileged process; it
  // also keeps a set-user-id program from gaining rights here.
  if (prctl(PR_SET_NO_NEW_PRIVS, 1, 0, 0, 0) != 0) {
    missing.push_back("Sandbox: the job runs without limits: " + ErrorText(errno));
  } else {
    std::error_code ignored;
    const std::filesystem::path folder =
        std::filesystem::absolute(outputFile, ignored).parent_path();
    if (const std::string why = LimitWritesTo(folder); !why.empty())
      missing.push_back("Sandbox: the job may write outside its output folder: " + why);
    if (const std::string why = RefuseSystemCalls(); !why.empty())
      missing.push_back("Sandbox: the job may open sockets and start programs: " + why);
  }
  return missing;
}

} // namespace kestro
