// An option text applied to a freshly reset engine: every refusal must be
// an FFMpegException with a text; nothing may crash, leak or throw anything
// else.
#include "FFmpeg.h"
#include "FuzzSupport.h"
#include "filters/FilterChecks.h"

#include <cstdint>
#include <string>

using namespace kestro;

namespace {

// Lines naming a hook module are dropped: loading a module the input names
// runs whatever code that file holds, by design, which is no parser fault.
std::string WithoutHookModules(const std::string& text) {
  std::string kept, line;
  for (size_t i = 0; i <= text.size(); ++i) {
    if (i == text.size() || text[i] == '\n' || text[i] == '\r') {
      if (line.find("vhook") == std::string::npos)
        kept += line;
      if (i < text.size())
        kept += text[i];
      line.clear();
    } else {
      line += text[i];
    }
  }
  return kept;
}

} // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
  fuzz::LoadLibrariesOnce();
  return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  const std::string text =
      WithoutHookModules(std::string(reinterpret_cast<const char*>(data), size));
  TCustomFFmpeg engine;
  engine.Reset();
  engine.Settings.Verbose = -1;
  try {
    engine.ParseOptionLines(text);
    FilterOptionConflict(engine);
  } catch (const FFMpegException& e) {
    fuzz::Check(e.what()[0] != '\0', "a refusal says why");
  }
  avutil::av_log_set_level(AV_LOG_QUIET); // "v" raises the libraries' log level
  return 0;
}
