#include "FilterChecks.h"

#include "FFmpeg.h"

#include <algorithm>
#include <cctype>

namespace kestro {

bool FilterChainKeepsSize(const std::string& chain) {
  std::string text = chain;
  std::transform(text.begin(), text.end(), text.begin(),
                 [](unsigned char c) { return char(std::tolower(c)); });
  static const std::string resizing = ",crop,rotate,scale,transpose,";
  size_t pos = 0;
  while (pos < text.size()) {
    size_t comma = text.find(',', pos);
    if (comma == std::string::npos)
      comma = text.size();
    const std::string piece = text.substr(pos, comma - pos);
    const std::string name = piece.substr(0, piece.find('='));
    if (resizing.find("," + name + ",") != std::string::npos)
      return false;
    pos = comma + 1;
  }
  return true;
}

std::string FilterOptionConflict(const TCustomFFmpeg& e) {
  if (e.Settings.VideoFilters.empty())
    return {};
  if (e.Settings.FrameTopCrop + e.Settings.FrameBottomCrop + e.Settings.FrameLeftCrop +
          e.Settings.FrameRightCrop !=
      0)
    return "Cannot enable crop options and filters at the same time.";
  if (!FilterChainKeepsSize(e.Settings.VideoFilters) &&
      e.Settings.FramePadTop + e.Settings.FramePadBottom + e.Settings.FramePadLeft +
              e.Settings.FramePadRight !=
          0)
    return "Cannot enable pad options and the filters which resize frame at the same time. "
           "(crop, rotate, scale, transpose, etc.)";
  return {};
}

} // namespace kestro
