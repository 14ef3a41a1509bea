#include "RecordJson.h"

#include <cstring>

namespace kestro {

namespace {

using nlohmann::json;

// One helper pair per field kind, so that each record lists its fields once
// for both directions.
template <typename T> void Put(json& out, const char* name, const T& value) { out[name] = value; }
template <size_t N> void Put(json& out, const char* name, const char (&value)[N]) {
  out[name] = std::string(value, strnlen(value, N));
}
template <typename T> void Get(const json& in, const char* name, T& value) {
  if (const auto it = in.find(name); it != in.end())
    it->get_to(value);
}
template <size_t N> void Get(const json& in, const char* name, char (&value)[N]) {
  if (const auto it = in.find(name); it != in.end()) {
    const std::string text = it->get<std::string>();
    if (text.size() >= N)
      throw std::invalid_argument(std::string("\"") + name + "\" is longer than " +
                                  std::to_string(N - 1) + " bytes");
    std::memset(value, 0, N);
    std::memcpy(value, text.data(), text.size());
  }
}

template <typename Json, typename Record, typename Visit>
void InputFields(Json& j, Record& r, Visit visit) {
  visit(j, "FileName", r.FileName);
  visit(j, "FileFormat", r.FileFormat);
  visit(j, "StartTimeMs", r.StartTimeMs);
  visit(j, "ProgramID", r.ProgramID);
  visit(j, "ExtraOptions", r.ExtraOptions);
}

template <typename Json, typename Record, typename Visit>
void OutputFields(Json& j, Record& r, Visit visit) {
#define KESTRO_FIELD(name) visit(j, #name, r.name)
  KESTRO_FIELD(FileName); KESTRO_FIELD(FileFormat); KESTRO_FIELD(PacketSize);
  KESTRO_FIELD(MuxRate); KESTRO_FIELD(MuxDelay); KESTRO_FIELD(MuxPreload);
  KESTRO_FIELD(AudioCodec); KESTRO_FIELD(DisableAudio); KESTRO_FIELD(AudioVolume);
  KESTRO_FIELD(AudioChannels); KESTRO_FIELD(AudioSampleRate); KESTRO_FIELD(AudioBitrate);
  KESTRO_FIELD(AudioBitrateTolerance); KESTRO_FIELD(AudioLanguage); KESTRO_FIELD(AudioSync);
  KESTRO_FIELD(AudioTag); KESTRO_FIELD(VideoCodec); KESTRO_FIELD(DisableVideo);
  KESTRO_FIELD(FrameRateText); KESTRO_FIELD(FrameSize); KESTRO_FIELD(AspectRatio);
  KESTRO_FIELD(CropTop); KESTRO_FIELD(CropBottom); KESTRO_FIELD(CropLeft); KESTRO_FIELD(CropRight);
  KESTRO_FIELD(PadTop); KESTRO_FIELD(PadBottom); KESTRO_FIELD(PadLeft); KESTRO_FIELD(PadRight);
  KESTRO_FIELD(PaddingColor); KESTRO_FIELD(GOPSize); KESTRO_FIELD(VideoBitrate);
  KESTRO_FIELD(VideoMaxRate); KESTRO_FIELD(VideoMinRate); KESTRO_FIELD(VideoBitrateTolerance);
  KESTRO_FIELD(VideoBufferSize); KESTRO_FIELD(VideoSync); KESTRO_FIELD(VideoTag);
  KESTRO_FIELD(VideoFilters); KESTRO_FIELD(DisableSubtitle); KESTRO_FIELD(SubtitleLanguage);
  KESTRO_FIELD(CopyTimestamp); KESTRO_FIELD(RecordingTimeMs); KESTRO_FIELD(Timestamp);
  KESTRO_FIELD(Year); KESTRO_FIELD(Track); KESTRO_FIELD(Title); KESTRO_FIELD(Author);
  KESTRO_FIELD(Copyright); KESTRO_FIELD(Comment); KESTRO_FIELD(Album); KESTRO_FIELD(Genre);
  KESTRO_FIELD(Target); KESTRO_FIELD(TargetNorm); KESTRO_FIELD(TargetFallbackNorm);
  KESTRO_FIELD(EnableCustomHook); KESTRO_FIELD(EnableBeforeHook); KESTRO_FIELD(HookRanges);
  KESTRO_FIELD(ExtraOptions); KESTRO_FIELD(StreamOptions);
#undef KESTRO_FIELD
}

const auto Writer = [](json& j, const char* name, const auto& value) { Put(j, name, value); };
const auto Reader = [](const json& j, const char* name, auto& value) { Get(j, name, value); };

} // namespace

void to_json(json& out, const TInputOptions& options) {
  out = json::object();
  InputFields(out, options, Writer);
}
void from_json(const json& in, TInputOptions& options) {
  InitInputOptions(options);
  InputFields(in, options, Reader);
}
void to_json(json& out, const TOutputOptions& options) {
  out = json::object();
  OutputFields(out, options, Writer);
}
void from_json(const json& in, TOutputOptions& options) {
  InitOutputOptions(options);
  OutputFields(in, options, Reader);
}

} // namespace kestro
