#include "LibraryBinding.h"

#include "MyUtils.h"

#include <dlfcn.h>

#include <cstdio>
#include <stdexcept>

namespace kestro {

namespace {

struct TLibraryError : std::runtime_error {
  using std::runtime_error::runtime_error;
};

std::string Format3(const char* pattern, const std::string& a, const std::string& b,
                    const std::string& c = {}) {
  const int size = std::snprintf(nullptr, 0, pattern, a.c_str(), b.c_str(), c.c_str());
  std::string out(size > 0 ? size : 0, '\0');
  std::snprintf(out.data(), out.size() + 1, pattern, a.c_str(), b.c_str(), c.c_str());
  return out;
}

// The handle a built-in library reports as loaded; never passed to dlclose.
int BuiltInModuleTag;

} // namespace

TLibraryBinding::TLibraryBinding(std::string versionedName, std::string plainName,
                                 std::vector<TBindSlot> slots, std::vector<void*> builtIn)
    : VersionedName(std::move(versionedName)), PlainName(std::move(plainName)),
      Slots(std::move(slots)), BuiltIn(std::move(builtIn)) {}

std::string TLibraryBinding::LibraryFileName() const {
  return Versioned ? VersionedName : PlainName;
}

bool TLibraryBinding::LoadLibraryFrom(const std::string& folder) {
  if (Module)
    return true;
  if (!BuiltIn.empty()) {
    Module = &BuiltInModuleTag;
    return true;
  }
  std::string system;
  Module = LoadModuleFromFolder(folder, LibraryFileName(), &system);
  if (!Module) {
    Error = Format3("Load libraray %s error: %s", LibraryFileName(), TrimSystemMessage(system));
    return false;
  }
  return true;
}

void TLibraryBinding::BindFunction(const char* name, void** slot) {
  if (!Module)
    return;
  if (!BuiltIn.empty()) {
    for (size_t i = 0; i < Slots.size() && i < BuiltIn.size(); ++i)
      if (Slots[i].Slot == slot) {
        *slot = BuiltIn[i];
        return;
      }
    throw TLibraryError(
        Format3("Load function %s@%s error: %s", name, LibraryFileName(), "no such function"));
  }
  dlerror();
  void* address = dlsym(Module, name);
  if (!address) {
    const char* text = dlerror();
    throw TLibraryError(Format3("Load function %s@%s error: %s", name, LibraryFileName(),
                                TrimSystemMessage(text ? text : "symbol is null")));
  }
  *slot = address;
}

bool TLibraryBinding::LoadAndBind(std::string& errorOut, const std::string& folder,
                                  bool versioned, bool doRegister) {
  Versioned = versioned;
  bool result = LoadLibraryFrom(folder);
  if (result && !Bound) {
    try {
      for (const TBindSlot& s : Slots)
        BindFunction(s.Name, s.Slot);
      // Registration of codecs, formats and filters is implicit in the
      // libraries we bind today; nothing to call.
      (void)doRegister;
      Bound = true;
    } catch (const std::exception& e) {
      Error = e.what();
      result = false;
    }
  }
  if (!result)
    errorOut = Error;
  return result;
}

void TLibraryBinding::UnloadLibrary() {
  if (Module && Module != &BuiltInModuleTag)
    dlclose(Module);
  Module = nullptr;
  Bound = false;
  for (const TBindSlot& s : Slots)
    *s.Slot = nullptr;
}

} // namespace kestro
