#include "SourceCheck.h"

#include "InputSource.h"

#include <filesystem>

namespace kestro {

std::string NameOnce(const std::string& source, const std::string& error) {
  if (error.rfind(source + ":", 0) == 0)
    return error;
  return source + ": " + error;
}

std::string OpenSource(TAVProbe& probe, const std::string& source) {
  std::error_code ignored;
  if (std::filesystem::is_directory(source, ignored))
    return source + ": is a folder";
  if (TInputSource::IsStream(source) || probe.Open(source))
    return {};
  return NameOnce(source, probe.LastError);
}

std::string CheckSource(TAVProbe& probe, const std::string& source) {
  const std::string error = OpenSource(probe, source);
  probe.Close();
  return error;
}

} // namespace kestro
