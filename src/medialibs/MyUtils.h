// Loading shared modules from a folder of our own choosing.
#pragma once

#include <string>
#include <vector>

namespace kestro {

// Opens `fileName` from `folder` when the file is there (its own dependencies
// that sit in the same folder are opened from there first, so a private build
// dropped into the folder is used as a whole); otherwise, and for an empty
// folder, the name goes to the system's library search. Returns the dlopen
// handle or nullptr; on failure `error` holds the loader's text.
void* LoadModuleFromFolder(const std::string& folder, const std::string& fileName,
                           std::string* error = nullptr);

// The DT_NEEDED names of an ELF shared object (empty when unreadable).
std::vector<std::string> NeededLibraries(const std::string& path);

// The loader's last error with trailing blanks, line breaks and full stops
// removed, the way messages quote it.
std::string TrimSystemMessage(std::string text);

// The path the dynamic loader actually opened for a handle.
std::string ModulePath(void* handle);

std::string JoinPath(const std::string& folder, const std::string& name);

} // namespace kestro
