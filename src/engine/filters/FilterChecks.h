// Which filter chains change the picture size, and which option
// combinations with crop and pad a chain refuses.
#pragma once

#include <string>

namespace kestro {

class TCustomFFmpeg;

// False when the chain names a crop, rotate, scale or transpose filter.
bool FilterChainKeepsSize(const std::string& chain);

// The refusal text for the engine's pending crop, pad and filter settings,
// or an empty text when they go together.
std::string FilterOptionConflict(const TCustomFFmpeg& engine);

} // namespace kestro
