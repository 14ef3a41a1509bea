// One run-time bound shared library: its file names, module handle, bound
// flag, last error text and the table of function slots it fills.
#pragma once

#include <string>
#include <vector>

namespace kestro {

struct TBindSlot {
  const char* Name;
  void** Slot;
};

class TLibraryBinding {
public:
  // `versionedName` is the soname of the major version we were built against,
  // `plainName` the development link name. A built-in library passes its own
  // implementations in `builtIn` (same order as `slots`) and never opens a file.
  TLibraryBinding(std::string versionedName, std::string plainName, std::vector<TBindSlot> slots,
                  std::vector<void*> builtIn = {});

  std::string LibraryFileName() const;
  bool LoadLibraryFrom(const std::string& folder);
  // Throws TLibraryError when the name is missing from the loaded module.
  void BindFunction(const char* name, void** slot);
  bool LoadAndBind(std::string& errorOut, const std::string& folder, bool versioned,
                   bool doRegister = false);
  void UnloadLibrary();
  bool LibraryBound() const { return Bound; }
  const std::string& ErrorText() const { return Error; }
  void* Handle() const { return Module; }

private:
  std::string VersionedName;
  std::string PlainName;
  std::vector<TBindSlot> Slots;
  std::vector<void*> BuiltIn;
  void* Module = nullptr;
  bool Bound = false;
  bool Versioned = true;
  std::string Error;
};

} // namespace kestro

// Declares, inside the current namespace, one pointer per function of a list
// with the exact type of the library's own declaration, so that code calls
// `avcodec::avcodec_open2(...)` and a direct call to the library fails to link.
#define KESTRO_DECLARE_SLOT(name) inline decltype(&::name) name = nullptr;
#define KESTRO_SLOT_ENTRY(name) ::kestro::TBindSlot{#name, reinterpret_cast<void**>(&name)},

#define KESTRO_STR2(x) #x
#define KESTRO_STR(x) KESTRO_STR2(x)

// Defines `ns::Library()` for a system library named lib<ns>.so.<major>.
#define KESTRO_DEFINE_LIBRARY(ns, major, list)                                                   \
  namespace ns {                                                                                 \
  ::kestro::TLibraryBinding& Library() {                                                         \
    static ::kestro::TLibraryBinding binding("lib" #ns ".so." KESTRO_STR(major), "lib" #ns ".so", \
                                             {list(KESTRO_SLOT_ENTRY)});                          \
    return binding;                                                                              \
  }                                                                                              \
  }
