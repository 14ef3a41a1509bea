// The option records as JSON, so that a job can be handed to another
// process whole: every field is written, and a missing field keeps its
// default.
#pragma once

#include "OptionRecords.h"

#include <nlohmann/json.hpp>

namespace kestro {

void to_json(nlohmann::json& out, const TInputOptions& options);
void from_json(const nlohmann::json& in, TInputOptions& options);
void to_json(nlohmann::json& out, const TOutputOptions& options);
void from_json(const nlohmann::json& in, TOutputOptions& options);

} // namespace kestro
