// What the fault and load tests check around a batch: the process's threads
// and descriptors, empty files left in a folder, and the sources' bytes.
#pragma once

#include <cstdint>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <map>
#include <string>
#include <vector>

namespace kestro::test {

struct TProcessResources {
  int Threads = 0;
  int FileDescriptors = 0;
  static TProcessResources Now() {
    const auto count = [](const char* folder) {
      int n = 0;
      for ([[maybe_unused]] const auto& entry : std::filesystem::directory_iterator(folder))
        ++n;
      return n;
    };
    TProcessResources r;
    r.Threads = count("/proc/self/task");
    r.FileDescriptors = count("/proc/self/fd") - 1; // less the one counting them
    return r;
  }
};

// Every empty regular file under `folder`, which a batch must never leave.
inline std::vector<std::string> EmptyFilesIn(const std::string& folder) {
  std::vector<std::string> empty;
  std::error_code error;
  for (auto it = std::filesystem::recursive_directory_iterator(folder, error);
       !error && it != std::filesystem::recursive_directory_iterator(); it.increment(error))
    if (it->is_regular_file() && it->file_size() == 0)
      empty.push_back(it->path().string());
  return empty;
}

// A file's size and a hash of its bytes (FNV-1a, 64 bits).
struct TFingerprint {
  uintmax_t Size = 0;
  uint64_t Hash = 0;
  bool operator==(const TFingerprint&) const = default;
};

inline TFingerprint FingerprintOf(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  const std::string bytes(std::istreambuf_iterator<char>(in), {});
  uint64_t hash = 14695981039346656037ull;
  for (unsigned char c : bytes)
    hash = (hash ^ c) * 1099511628211ull;
  return {bytes.size(), hash};
}

inline std::map<std::string, TFingerprint> Fingerprints(const std::vector<std::string>& paths) {
  std::map<std::string, TFingerprint> prints;
  for (const std::string& path : paths)
    prints[path] = FingerprintOf(path);
  return prints;
}

} // namespace kestro::test
