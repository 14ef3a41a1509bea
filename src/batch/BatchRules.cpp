#include "BatchRules.h"

#include <algorithm>
#include <cctype>
#include <cstdlib>
#include <filesystem>
#include <sstream>

namespace kestro {

std::string PresetExtension(const std::string& entryText) {
  const size_t open = entryText.find('(');
  if (open == std::string::npos || open + 2 > entryText.size())
    return {};
  const size_t start = open + 2;
  const size_t close = entryText.find(')', start);
  return entryText.substr(start, close == std::string::npos ? std::string::npos : close - start);
}

std::string PresetShortName(const std::string& entryText) {
  const size_t open = entryText.find('(');
  std::string name = entryText.substr(0, open == std::string::npos ? entryText.size() : open);
  if (!name.empty())
    name.pop_back();
  for (char& c : name)
    if (c == '*')
      c = 'x';
  return name;
}

std::string FileExtension(const std::string& fileName) {
  const std::filesystem::path path(fileName);
  return path.has_extension() ? path.extension().string() : std::string();
}

const char* const AudioOnlyExtensions = ".aac .ac3 .mp2 .mp3 .wav .wma .amr .ogg .flac .ra";

bool IsAudioOnlyExtension(const std::string& extension) {
  // Whole entries only: a file without an extension, or with ".a", is not
  // an audio file just because its text appears inside an entry.
  if (extension.empty())
    return false;
  // "TRACK01.MP3" is as much a song as "track01.mp3".
  std::string lower = extension;
  std::transform(lower.begin(), lower.end(), lower.begin(),
                 [](unsigned char c) { return char(std::tolower(c)); });
  std::istringstream list(AudioOnlyExtensions);
  for (std::string entry; list >> entry;)
    if (entry == lower)
      return true;
  return false;
}

bool IsAudioOnlyOutput(const std::string& outputExtension, const std::string& sourceFileName) {
  return IsAudioOnlyExtension(outputExtension) ||
         IsAudioOnlyExtension(FileExtension(sourceFileName));
}

std::string UniqueOutputName(const std::string& base, const std::string& extension,
                             const std::string& shortName,
                             const std::function<bool(const std::string&)>& exists) {
  std::filesystem::path stemPath(base);
  stemPath.replace_extension();
  const std::string stem = stemPath.string();
  std::string candidate = stem + " (" + shortName + ")" + extension;
  for (long k = 1; exists(candidate); ++k)
    candidate = stem + " (" + shortName + " [" + std::to_string(k) + "])" + extension;
  return candidate;
}

std::string UniqueOutputName(const std::string& base, const std::string& extension,
                             const std::string& shortName) {
  return UniqueOutputName(base, extension, shortName, [](const std::string& name) {
    std::error_code ignored;
    return std::filesystem::exists(name, ignored);
  });
}

std::string OutputBase(bool sameFolder, const std::string& source,
                       const std::string& outputFolder) {
  if (sameFolder)
    return source;
  return (std::filesystem::path(outputFolder) / std::filesystem::path(source).filename()).string();
}

std::string DefaultOutputFolder() {
  const char* home = std::getenv("HOME");
  return std::string(home && *home ? home : "/tmp") + "/KestroVideo";
}

} // namespace kestro
