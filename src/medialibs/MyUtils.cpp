#include "MyUtils.h"

#include <dlfcn.h>
#include <elf.h>
#include <link.h>
#include <sys/stat.h>

#include <cstring>
#include <fstream>

namespace kestro {

std::string JoinPath(const std::string& folder, const std::string& name) {
  if (folder.empty())
    return name;
  if (folder.back() == '/')
    return folder + name;
  return folder + "/" + name;
}

std::string TrimSystemMessage(std::string text) {
  while (!text.empty() && (text.back() == ' ' || text.back() == '\t' || text.back() == '\r' ||
                           text.back() == '\n' || text.back() == '.'))
    text.pop_back();
  return text;
}

std::string ModulePath(void* handle) {
  struct link_map* map = nullptr;
  if (!handle || dlinfo(handle, RTLD_DI_LINKMAP, &map) != 0 || !map || !map->l_name)
    return {};
  return map->l_name;
}

namespace {

bool FileExists(const std::string& path) {
  struct stat st {};
  return stat(path.c_str(), &st) == 0 && S_ISREG(st.st_mode);
}

template <typename T> bool ReadAt(std::ifstream& in, uint64_t offset, T& out) {
  in.seekg(static_cast<std::streamoff>(offset));
  in.read(reinterpret_cast<char*>(&out), sizeof(T));
  return static_cast<bool>(in);
}

} // namespace

std::vector<std::string> NeededLibraries(const std::string& path) {
  // Only 64-bit little-endian objects matter here: that is what this build
  // loads. Anything else simply has no dependencies we can pre-open.
  std::vector<std::string> result;
  std::ifstream in(path, std::ios::binary);
  Elf64_Ehdr eh{};
  if (!in || !ReadAt(in, 0, eh) || std::memcmp(eh.e_ident, ELFMAG, SELFMAG) != 0 ||
      eh.e_ident[EI_CLASS] != ELFCLASS64 || eh.e_phentsize != sizeof(Elf64_Phdr))
    return result;
  std::vector<Elf64_Phdr> loads;
  Elf64_Phdr dynamic{};
  bool haveDynamic = false;
  for (unsigned i = 0; i < eh.e_phnum && i < 256; ++i) {
    Elf64_Phdr ph{};
    if (!ReadAt(in, eh.e_phoff + uint64_t(i) * sizeof(Elf64_Phdr), ph))
      return result;
    if (ph.p_type == PT_LOAD)
      loads.push_back(ph);
    else if (ph.p_type == PT_DYNAMIC) {
      dynamic = ph;
      haveDynamic = true;
    }
  }
  if (!haveDynamic)
    return result;
  auto fileOffset = [&](uint64_t vaddr, uint64_t& off) {
    for (const auto& ph : loads)
      if (vaddr >= ph.p_vaddr && vaddr < ph.p_vaddr + ph.p_filesz) {
        off = vaddr - ph.p_vaddr + ph.p_offset;
        return true;
      }
    return false;
  };
  std::vector<uint64_t> neededOffsets;
  uint64_t strtab = 0;
  for (uint64_t pos = 0; pos + sizeof(Elf64_Dyn) <= dynamic.p_filesz && pos < (1u << 20);
       pos += sizeof(Elf64_Dyn)) {
    Elf64_Dyn dyn{};
    if (!ReadAt(in, dynamic.p_offset + pos, dyn) || dyn.d_tag == DT_NULL)
      break;
    if (dyn.d_tag == DT_NEEDED)
      neededOffsets.push_back(dyn.d_un.d_val);
    else if (dyn.d_tag == DT_STRTAB)
      strtab = dyn.d_un.d_ptr;
  }
  uint64_t strOff = 0;
  if (!fileOffset(strtab, strOff))
    return result;
  for (uint64_t nameOff : neededOffsets) {
    in.clear();
    in.seekg(static_cast<std::streamoff>(strOff + nameOff));
    std::string name;
    std::getline(in, name, '\0');
    if (in && !name.empty() && name.size() < 256)
      result.push_back(name);
  }
  return result;
}

namespace {

void* OpenModule(const std::string& nameOrPath, std::string* error) {
  // Libraries stay mapped once opened (many cannot be unloaded safely); an
  // unload only drops our handle and bindings.
  void* handle = dlopen(nameOrPath.c_str(), RTLD_NOW | RTLD_LOCAL | RTLD_NODELETE);
  if (!handle && error) {
    const char* text = dlerror();
    *error = text ? text : "unknown error";
  }
  return handle;
}

void* LoadFromFolder(const std::string& folder, const std::string& fileName, std::string* error,
                     int depth) {
  const std::string path = JoinPath(folder, fileName);
  if (!FileExists(path))
    return OpenModule(fileName, error);
  // The dynamic loader never looks into the module's own folder for its
  // dependencies, but it does reuse an object already open under the wanted
  // name: open the ones that sit beside it first.
  if (depth < 8)
    for (const std::string& dep : NeededLibraries(path))
      if (FileExists(JoinPath(folder, dep)))
        LoadFromFolder(folder, dep, nullptr, depth + 1);
  return OpenModule(path, error);
}

} // namespace

void* LoadModuleFromFolder(const std::string& folder, const std::string& fileName,
                           std::string* error) {
  if (folder.empty())
    return OpenModule(fileName, error);
  return LoadFromFolder(folder, fileName, error, 0);
}

} // namespace kestro
