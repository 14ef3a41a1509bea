#include "FrameHook.h"

#include "MediaLibs.h"
#include "MyUtils.h"

#include <dlfcn.h>
#include <link.h>
#include <strings.h>
#include <unistd.h>

#include <cstring>
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

void* OpenLibrary(const std::string& nameOrPath, std::string& error) {
  void* handle = dlopen(nameOrPath.c_str(), RTLD_NOW | RTLD_LOCAL | RTLD_NODELETE);
  if (!handle) {
    const char* text = dlerror();
    error = text ? text : "unknown error";
  }
  return handle;
}

void* OpenHookLibrary(const std::string& fileName, std::string& error) {
  const size_t slash = fileName.rfind('/');
  // A bare name goes through the system's library search.
  if (slash == std::string::npos)
    return OpenLibrary(fileName, error);
  // The libraries it needs that sit in its folder are opened from there
  // first; the loader then reuses them instead of searching elsewhere.
  const std::string folder = fileName.substr(0, slash == 0 ? 1 : slash);
  for (const std::string& dependency : NeededLibraries(fileName))
    if (access(JoinPath(folder, dependency).c_str(), F_OK) == 0)
      LoadModuleFromFolder(folder, dependency, nullptr);
  // Loaded by its path, never by a library of the same name found elsewhere.
  return OpenLibrary(fileName, error);
}

void* CachedModule(const std::string& fileName) {
  std::lock_guard<std::mutex> lock(ModuleCacheLock);
  auto& cache = ModuleCache();
  if (auto it = cache.find(fileName); it != cache.end())
    return it->second;
  std::string error;
  void* handle = OpenHookLibrary(fileName, error);
  if (!handle) {
    avutil::av_log(nullptr, AV_LOG_PANIC, "%s\n", TrimSystemMessage(error).c_str());
    return nullptr;
  }
  cache.emplace(fileName, handle);
  return handle;
}

// An export of the module itself: dlsym also searches the libraries a
// module depends on, which must not lend it their entry points.
void* ModuleExport(void* library, const char* name) {
  void* symbol = dlsym(library, name);
  if (!symbol)
    return nullptr;
  struct link_map* own = nullptr;
  struct link_map* holder = nullptr;
  Dl_info info{};
  if (dlinfo(library, RTLD_DI_LINKMAP, &own) != 0 ||
      !dladdr1(symbol, &info, reinterpret_cast<void**>(&holder), RTLD_DL_LINKMAP) ||
      holder != own)
    return nullptr;
  return symbol;
}

// One block holding argc + 1 pointers and the strings they point to.
char** CopyArguments(int argc, char* argv[]) {
  size_t size = sizeof(char*) * size_t(argc + 1);
  for (int i = 0; i < argc; ++i)
    size += std::strlen(argv[i]) + 1;
  auto** copy = static_cast<char**>(avutil::av_mallocz(size));
  if (!copy)
    return nullptr;
  char* text = reinterpret_cast<char*>(copy + argc + 1);
  for (int i = 0; i < argc; ++i) {
    const size_t length = std::strlen(argv[i]) + 1;
    std::memcpy(text, argv[i], length);
    copy[i] = text;
    text += length;
  }
  return copy;
}

void FreeNode(THookModule* node) {
  avutil::av_free(node->Arguments);
  avutil::av_free(node);
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
  node->Arguments = CopyArguments(argc, argv);
  if (!node->Arguments) {
    FreeNode(node);
    return -12;
  }
  node->Configure = reinterpret_cast<KestroHookConfigure>(ModuleExport(library, "Configure"));
  node->Process = reinterpret_cast<KestroHookProcess>(ModuleExport(library, "Process"));
  node->Release = reinterpret_cast<KestroHookRelease>(ModuleExport(library, "Release"));
  int result = 0;
  if (!node->Process) {
    avutil::av_log(nullptr, AV_LOG_PANIC, "Failed to find Process entrypoint in %s\n", argv[0]);
    result = -2;
  } else if (!node->Configure && argc > 1) {
    avutil::av_log(nullptr, AV_LOG_PANIC, "Failed to find Configure entrypoint in %s\n", argv[0]);
    result = -2;
  } else if (node->Configure && node->Configure(&node->Context, argc, node->Arguments) != 0) {
    avutil::av_log(nullptr, AV_LOG_PANIC, "Failed to Configure %s\n", argv[0]);
    result = -22;
  }
  if (result != 0) {
    FreeNode(node);
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
    FreeNode(node);
    node = next;
  }
  *listHead = nullptr;
}

} // namespace kestro
