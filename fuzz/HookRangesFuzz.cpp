// Hook time range texts: whatever the text, the engine ends up with sorted,
// well-formed ranges and a count that matches them.
#include "FuzzSupport.h"
#include "OptionRecords.h"

#include <cstdint>
#include <string>

using namespace kestro;

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  static TCustomFFmpeg engine; // ParseHookRanges needs no libraries
  ParseHookRanges(engine, std::string(reinterpret_cast<const char*>(data), size));
  const auto& ranges = engine.GetHookTimeRanges();
  fuzz::Check(engine.GetHookRangeCount() == int(ranges.size()), "count matches the ranges");
  fuzz::Check(engine.GetHookRangeIndex() == 0, "the index starts at the first range");
  for (size_t i = 0; i < ranges.size(); ++i) {
    fuzz::Check(ranges[i].Start <= ranges[i].End && ranges[i].End >= 0, "a range is well formed");
    fuzz::Check(ranges[i].Start % 1000 == 0 && ranges[i].End % 1000 == 0,
                "ranges are whole milliseconds");
    fuzz::Check(i == 0 || ranges[i - 1].End <= ranges[i].End, "ranges are sorted by their end");
  }
  return 0;
}
