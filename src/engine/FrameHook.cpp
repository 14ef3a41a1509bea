#include "FrameHook.h"

#include "MediaLibs.h"
#include "MyUtils.h"

#include <dlfcn.h>
#include <strings.h>

#include <map>
#include <mutex>
#include <string>

namespace kestro {

namespace {

struct TCaseless {
  bool operator()(const std::string& a, const std::string& b) const {
    return strcasecmp(a.c_str(), b.c_str()) < 0;
  }
};

// Modules stay loaded for the life of the process; jobs share them.
std::mutex ModuleCacheLock;
std::map<std::string, void*, TCaseless>& ModuleCache() {
  static auto* cache = new std::map<std::string, void*, TCaseless>();
  return *cache;
}

void* CachedModule(const std::string& fileName) {
  std::lock_guard<std::mutex> lock(ModuleCacheLock);
  auto& cache = ModuleCache();
  if (auto it = cache.find(fileName); it != cache.end())
    return it->second;
  const size_t slash = fileName.rfind('/');
  const std::string folder = slash == std::string::npos ? "" : fileName.substr(0, slash);
  const std::string name = slash == std::string::npos ? fileName : fileName.substr(slash + 1);
  std::string error;
  // Dependencies that sit beside the module are opened from its folder.
  void* handle = LoadModuleFromFolder(folder, name, &error);
  if (!handle) {
    avutil::av_log(nullptr, AV_LOG_ERROR, "%s\n", TrimSystemMessage(error).c_str());
    return nullptr;
  }
  cache.emplace(fileName, handle);
  return handle;
}

} // namespace

int LoadHookModule(THookModule** listHead, int argc, char* argv[]) {
  if (argc < 1)
    return -2;
  void* library = CachedModule(argv[0]);
  if (!library)
    return -1;
  auto* node = static_cast<THookModule*>(avutil::av_mallocz(sizeof(THookModule)));
  if (!node)
    return -12;
  node->Configure = reinterpret_cast<KestroHookConfigure>(dlsym(library, "Configure"));
  node->Process = reinterpret_cast<KestroHookProcess>(dlsym(library, "Process"));
  node->Release = reinterpret_cast<KestroHookRelease>(dlsym(library, "Release"));
  int result = 0;
  if (!node->Process) {
    avutil::av_log(nullptr, AV_LOG_ERROR, "Failed to find Process entrypoint in %s\n", argv[0]);
    result = -2;
  } else if (!node->Configure && argc > 1) {
    avutil::av_log(nullptr, AV_LOG_ERROR, "Failed to find Configure entrypoint in %s\n", argv[0]);
    result = -2;
  } else if (node->Configure && node->Configure(&node->Context, argc, argv) != 0) {
    avutil::av_log(nullptr, AV_LOG_ERROR, "Failed to Configure %s\n", argv[0]);
    result = -22;
  }
  if (result != 0) {
    avutil::av_free(node);
    return result;
  }
  THookModule** tail = listHead;
  while (*tail)
    tail = &(*tail)->Next;
  *tail = node;
  return 0;
}

void ApplyHookModules(THookModule* first, KestroHookPicture* picture, int pixelFormat, int width,
                      int height, int64_t pts) {
  for (THookModule* node = first; node; node = node->Next)
    node->Process(node->Context, picture, pixelFormat, width, height, pts);
}

void UnloadHookModules(THookModule** listHead) {
  THookModule* node = *listHead;
  while (node) {
    THookModule* next = node->Next;
    if (node->Release)
      node->Release(node->Context);
    avutil::av_free(node);
    node = next;
  }
  *listHead = nullptr;
}

} // namespace kestro
