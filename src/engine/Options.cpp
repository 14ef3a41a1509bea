// The option text, the option vocabulary and the generic options that go to
// the libraries' own option tables.
#include "EngineText.h"
#include "FFmpeg.h"
#include "OptionValues.h"

#include <cstring>
#include <functional>
#include <stdexcept>
#include <string_view>
#include <type_traits>
#include <unordered_map>
#include <vector>

namespace kestro {

using namespace options;

namespace {

using TApply = std::function<void(TCustomFFmpeg&, const std::string& name,
                                  const std::string& value)>;

struct TOptionRow {
  const char* Name;
  TApply Apply;
};

// Hands a parsed value to its target: a field of the engine, a method of it,
// or a function taking the engine.
// A setting the options write straight into.
template <typename T> T& Field(TCustomFFmpeg& engine, T TEngineSettings::*field) {
  return engine.Settings.*field;
}

template <typename Target, typename Value>
void Deliver(TCustomFFmpeg& engine, Target target, Value&& value) {
  if constexpr (std::is_same_v<Target, TAvTextPtr TEngineSettings::*>)
    Field(engine, target) = AvText(value.c_str());
  else if constexpr (std::is_member_object_pointer_v<Target>)
    Field(engine, target) = std::forward<Value>(value);
  else
    std::invoke(target, engine, std::forward<Value>(value));
}

// The value kinds. Each returns one row of the table.

TOptionRow Ignored(const char* name) {
  return {name, [](TCustomFFmpeg& e, const std::string& n, const std::string&) {
            if (e.LogCallback)
              e.Log(1, "Do nothing: option - " + n);
          }};
}

// Naming the option is what counts: its value is not looked at.
template <typename Target> TOptionRow Flag(const char* name, Target target) {
  return {name, [target](TCustomFFmpeg& e, const std::string&, const std::string&) {
            if constexpr (std::is_member_object_pointer_v<Target>)
              Field(e, target) = 1;
            else
              std::invoke(target, e);
          }};
}

// A value read by `Parse` and handed to the target.
template <auto Parse, typename Target> TOptionRow Parsed(const char* name, Target target) {
  return {name, [target](TCustomFFmpeg& e, const std::string&, const std::string& v) {
            Deliver(e, target, Parse(v));
          }};
}

const std::string& AsText(const std::string& value) { return value; }

template <typename Target> TOptionRow Int(const char* name, Target target) {
  return Parsed<ParseInt>(name, target);
}
template <typename Target> TOptionRow Int64(const char* name, Target target) {
  return Parsed<ParseInt64>(name, target);
}
template <typename Target> TOptionRow Float(const char* name, Target target) {
  return Parsed<ParseFloat>(name, target);
}
template <typename Target> TOptionRow Text(const char* name, Target target) {
  return Parsed<AsText>(name, target);
}

// Handlers that need the option's name as well as its value.
template <typename Target> TOptionRow Named(const char* name, Target target) {
  return {name, [target](TCustomFFmpeg& e, const std::string& n, const std::string& v) {
            std::invoke(target, e, n, v);
          }};
}

template <bool IsDuration, typename Target> TOptionRow Time(const char* name, Target target) {
  return {name, [target](TCustomFFmpeg& e, const std::string& n, const std::string& v) {
            Deliver(e, target, e.ParseTime(n, v, IsDuration));
          }};
}
template <typename Target> TOptionRow Duration(const char* name, Target target) {
  return Time<true>(name, target);
}
template <typename Target> TOptionRow Date(const char* name, Target target) {
  return Time<false>(name, target);
}

AVFormatContext* LastOutput(TCustomFFmpeg& e) {
  if (e.OutputFileCount <= 0)
    throw FFMpegException("At least one output file must be specified");
  return e.OutputFiles[e.OutputFileCount - 1].get();
}

template <AVMediaType Type> void SetCodecName(TCustomFFmpeg& e, const std::string& v) {
  e.OptCodecName(Type, v);
}
template <TCustomFFmpeg::TFrameSide Side> void SetCrop(TCustomFFmpeg& e, int v) {
  e.OptFrameCrop(Side, v);
}
template <TCustomFFmpeg::TFrameSide Side> void SetPad(TCustomFFmpeg& e, int v) {
  e.OptFramePad(Side, v);
}
template <int Kind> void SetMaxFrames(TCustomFFmpeg& e, int v) {
  e.Settings.MaxFrames[Kind] = v;
}

using E = TCustomFFmpeg;
using S = TEngineSettings;

const std::vector<TOptionRow>& OptionTable() {
  static const std::vector<TOptionRow> table = {
      // Command-line leftovers that mean nothing here.
      Ignored("L"),
      Ignored("h"),
      Ignored("version"),
      Ignored("formats"),
      Ignored("i"),
      Ignored("y"),
      Ignored("benchmark"),
      Ignored("apre"),
      Ignored("vpre"),
      Ignored("spre"),
      // Codec threads: 0 lets each codec choose, N gives it N.
      Int("threads",
          [](E& e, int v) {
            if (v < 0)
              throw FFMpegException(Format("Invalid value '%d' for option 'threads'", v));
            e.Settings.ThreadCount = v;
            e.Settings.ThreadCountAsked = true;
          }),
      // The run's output side on a thread of its own (1, the default) or
      // everything on one thread (0); and the cores a run may keep busy.
      Int("pipeline",
          [](E& e, int v) {
            if (v < 0 || v > 1)
              throw FFMpegException(Format("Invalid value '%d' for option 'pipeline'", v));
            e.Settings.Pipeline = v;
          }),
      Int("cores",
          [](E& e, int v) {
            if (v < 0)
              throw FFMpegException(Format("Invalid value '%d' for option 'cores'", v));
            e.Settings.CoreShare = v;
          }),

      // General, selection and timing.
      Text("f", &E::OptFormat),
      Int("v", &E::SetVerbose),
      Text("target", &E::OptTarget),
      Text("map", &E::OptStreamMap),
      Text("map_meta_data", &E::OptMetaDataMap),
      Int("programid", &S::ProgramId),
      Duration("t",
               [](E& e, int64_t us) {
                 // Whole milliseconds; a limit beyond what they can count is the
                 // largest one they can.
                 const int64_t ms = us / 1000;
                 e.SetRecordingTimeMs(ms > INT32_MAX ? INT32_MAX : static_cast<int>(ms));
               }),
      Duration("ss", &S::StartTime),
      Duration("itsoffset", &S::InputTsOffset),
      Text("itsscale", &E::OptInputTsScale),
      Date("timestamp", &E::OptRecordTimestamp),
      Int64("fs", &S::FileSizeLimit),
      Int("vframes", &SetMaxFrames<0>),
      Int("aframes", &SetMaxFrames<1>),
      Int("dframes", &SetMaxFrames<2>),
      Flag("loop_input", &S::LoopInput),
      Int("loop_output", &S::LoopOutput),
      Flag("re", &S::RateEmulation),
      Flag("copyts", &S::CopyTimestamps),
      Flag("shortest", &S::Shortest),
      Int("vsync", &S::VideoSyncMethod),
      Int("async", &S::AudioSyncMethod),
      Float("adrift_threshold", &S::AudioDriftThreshold),
      Float("dts_delta_threshold", &S::DtsDeltaThreshold),
      Flag("isync", &S::InputSync),
      Flag("xerror", &S::StopOnError),
      Flag("dump", &S::PacketDump),
      Flag("hex", &S::HexDump),
      Float("muxdelay", &S::MuxMaxDelay),
      Float("muxpreload", &S::MuxPreload),
      Text("title", &E::SetTitle),
      Text("author", &E::SetAuthor),
      Text("copyright", &E::SetCopyright),
      Text("comment", &E::SetComment),
      Text("genre", &E::SetGenre),
      Text("album", &E::SetAlbum),

      // Video.
      Named("b", &E::OptBitrate),
      Named("vb", &E::OptBitrate),
      Text("r", &E::OptFrameRate),
      Text("s", &E::OptFrameSize),
      Text("aspect", &E::OptAspectRatio),
      Text("pix_fmt", &E::OptPixFmt),
      Int("croptop", &SetCrop<E::fsTop>),
      Int("cropbottom", &SetCrop<E::fsBottom>),
      Int("cropleft", &SetCrop<E::fsLeft>),
      Int("cropright", &SetCrop<E::fsRight>),
      Int("padtop", &SetPad<E::fsTop>),
      Int("padbottom", &SetPad<E::fsBottom>),
      Int("padleft", &SetPad<E::fsLeft>),
      Int("padright", &SetPad<E::fsRight>),
      Int("padcolor", &E::OptPadColor),
      Flag("intra", &S::IntraOnly),
      Flag("vn", &S::VideoDisable),
      Int("vdt", &S::VideoDiscard),
      Float("qscale", &E::OptQScale),
      Text("rc_override", &S::RcOverride),
      Text("vcodec", &SetCodecName<AVMEDIA_TYPE_VIDEO>),
      Int("me_threshold", &S::MeThreshold),
      Flag("sameq", &S::SameQuality),
      Int("pass", &E::OptPass),
      Text("passlogfile", &S::PassLogFileName),
      Flag("deinterlace", &S::Deinterlace),
      Int("autorotate", &E::SetAutoRotate),
      Flag("psnr", &S::Psnr),
      Flag("vstats", &E::OptVStats),
      Text("vstats_file", &E::OptVStatsFile),
      Text("vhook", &E::OptVideoHook),
      Text("vfilters",
           [](E& e, const std::string& v) {
             if (!v.empty())
               e.Settings.VideoFilters = v;
           }),
      Text("intra_matrix",
           [](E& e, const std::string& v) { e.ParseMatrix(e.Settings.IntraMatrix, v); }),
      Text("inter_matrix",
           [](E& e, const std::string& v) { e.ParseMatrix(e.Settings.InterMatrix, v); }),
      Int("top", &S::TopFieldFirst),
      Int("dc", &S::IntraDcPrecision),
      Named("vtag", &E::OptCodecTag),
      Flag("newvideo", [](E& e) { e.new_video_stream(LastOutput(e)); }),
      Flag("qphist", &S::QpHistogram),
      Int("vglobal", &S::VideoGlobalHeader),
      Int("vc", &S::VideoChannel),
      Text("tvstd", &S::VideoStandard),
      Named("vbsf", &E::OptBitstreamFilter),

      // Audio.
      Named("ab", &E::OptBitrate),
      Float("aq", &S::AudioQScale),
      Int("ar",
          [](E& e, int v) {
            if (v > 0)
              e.Settings.AudioSampleRate = v;
          }),
      Int("ac",
          [](E& e, int v) {
            if (v > 0)
              e.Settings.AudioChannels = v;
          }),
      Flag("an", &S::AudioDisable),
      Text("acodec", &SetCodecName<AVMEDIA_TYPE_AUDIO>),
      Named("atag", &E::OptCodecTag),
      Int("vol", &S::AudioVolume),
      Flag("newaudio", [](E& e) { e.new_audio_stream(LastOutput(e)); }),
      Text("alang", &S::AudioLanguage),
      Text("sample_fmt", &E::OptSampleFmt),
      Named("absf", &E::OptBitstreamFilter),

      // Subtitles.
      Flag("sn", &S::SubtitleDisable),
      Text("scodec", &SetCodecName<AVMEDIA_TYPE_SUBTITLE>),
      Flag("newsubtitle", [](E& e) { e.new_subtitle_stream(LastOutput(e)); }),
      Text("slang", &S::SubtitleLanguage),
      Named("sbsf", &E::OptBitstreamFilter),
  };
  return table;
}

const std::unordered_map<std::string_view, const TOptionRow*>& OptionIndex() {
  static const auto index = [] {
    std::unordered_map<std::string_view, const TOptionRow*> map;
    for (const TOptionRow& row : OptionTable())
      if (!map.emplace(row.Name, &row).second)
        throw std::logic_error(std::string("option listed twice: ") + row.Name);
    return map;
  }();
  return index;
}

// Sets name := value in one option context; the option that took it, or
// null when the context refused.
const AVOption* SetIn(void* context, const char* name, const char* value) {
  if (!context || avutil::av_opt_set(context, name, value, 0) < 0)
    return nullptr;
  return avutil::av_opt_find(context, name, nullptr, 0, 0);
}

} // namespace

void TCustomFFmpeg::ParseOptionLines(const std::string& text) {
  // CR LF, a lone CR and a lone LF all end a line.
  std::string rest;
  const std::string trimmed = TrimBlanks(text);
  rest.reserve(trimmed.size());
  for (size_t i = 0; i < trimmed.size(); ++i) {
    if (trimmed[i] == '\r') {
      rest += '\n';
      if (i + 1 < trimmed.size() && trimmed[i + 1] == '\n')
        ++i;
    } else {
      rest += trimmed[i];
    }
  }
  for (size_t pos = 0; pos < rest.size();) {
    size_t end = rest.find('\n', pos);
    if (end == std::string::npos)
      end = rest.size();
    const std::string line = rest.substr(pos, end - pos);
    pos = end + 1;
    // Blanks around the name or the value are a slip of the pen, not part
    // of them: "vcodec = mpeg4" means what it says.
    const size_t equals = line.find('=');
    const std::string name = TrimBlanks(line.substr(0, equals));
    const std::string value =
        equals == std::string::npos ? std::string() : TrimBlanks(line.substr(equals + 1));
    if (name.empty())
      continue;
    SetOption(name, value);
  }
}

namespace {

// Whether the objects of `cls` (a codec's or a muxer's private class) have it.
bool HasPrivateOption(const AVClass* cls, const char* name) {
  return cls && avutil::av_opt_find(&cls, name, nullptr, 0, AV_OPT_SEARCH_FAKE_OBJ);
}

// Whether any encoder or muxer has an option of this name of its own.
bool AnyPrivateOption(const char* name) {
  void* codecs = nullptr;
  while (const AVCodec* codec = avcodec::av_codec_iterate(&codecs))
    if (avcodec::av_codec_is_encoder(codec) && HasPrivateOption(codec->priv_class, name))
      return true;
  void* muxers = nullptr;
  while (const AVOutputFormat* muxer = avformat::av_muxer_iterate(&muxers))
    if (HasPrivateOption(muxer->priv_class, name))
      return true;
  return false;
}

} // namespace

void TCustomFFmpeg::SetOption(const std::string& name, const std::string& value) {
  const auto& index = OptionIndex();
  if (const auto row = index.find(name); row != index.end()) {
    row->second->Apply(*this, name, value);
    return;
  }
  if (SetDefaultOption(name.c_str(), value.c_str()))
    return;
  const bool generic = IsGenericOption(name.c_str());
  // A generic name without a value leaves the setting as it was.
  if (generic && TrimBlanks(value).empty())
    return;
  // Some names are both: x264's "profile" takes "high", the generic one a number.
  if (generic && !AnyPrivateOption(name.c_str()))
    throw FFMpegException(
        Format("Invalid value '%s' for option '%s'", value.c_str(), name.c_str()));
  SetPrivateOption(name, value, false);
}

bool TCustomFFmpeg::IsGenericOption(const char* name) const {
  const auto has = [name](const void* context, const char* n) {
    return context && avutil::av_opt_find(const_cast<void*>(context), n, nullptr, 0, 0);
  };
  // "ab", "vb", "sb": the rest of the name in that media type's table.
  const bool typed = name[0] == 'a' || name[0] == 'v' || name[0] == 's';
  for (const TCodecContextPtr& context : Settings.CodecOptionContexts)
    if (has(context.get(), name) || (typed && has(context.get(), name + 1)))
      return true;
  return has(Settings.FormatOptionContext.get(), name) ||
         has(Settings.ScalerOptionContext.get(), name);
}

void TCustomFFmpeg::SetPrivateOption(const std::string& name, const std::string& value,
                                     bool optional) {
  if (!AnyPrivateOption(name.c_str())) {
    if (optional)
      return;
    throw FFMpegException(Format("Unrecognized option '%s'", name.c_str()));
  }
  Settings.PendingPrivateOptions.push_back({name, value, optional});
}

void TCustomFFmpeg::TakePrivateOptions(const AVCodec* codec, TDictionary& into) {
  if (!codec)
    return;
  auto& pending = Settings.PendingPrivateOptions;
  for (auto it = pending.begin(); it != pending.end();) {
    if (HasPrivateOption(codec->priv_class, it->Name.c_str())) {
      avutil::av_dict_set(&into.Dict, it->Name.c_str(), it->Value.c_str(), 0);
      it = pending.erase(it);
    } else {
      ++it;
    }
  }
}

std::string TCustomFFmpeg::TakeMuxerOptions(const AVOutputFormat* format, TDictionary& into) {
  std::string refused;
  for (const TEngineSettings::TPrivateOption& option : Settings.PendingPrivateOptions) {
    if (HasPrivateOption(format->priv_class, option.Name.c_str()))
      avutil::av_dict_set(&into.Dict, option.Name.c_str(), option.Value.c_str(), 0);
    else if (!option.Optional && refused.empty())
      refused = option.Name;
    else if (option.Optional && LogCallback)
      Log(1, Format("Option '%s' is not used by this output", option.Name.c_str()));
  }
  Settings.PendingPrivateOptions.clear();
  return refused.empty() ? refused : Format("Unrecognized option '%s'", refused.c_str());
}

bool TCustomFFmpeg::SetDefaultOption(const char* name, const char* value) {
  if (!name || !value || TrimBlanks(name).empty() || TrimBlanks(value).empty())
    return false;
  // Names the libraries once used for options they now call otherwise.
  if (std::strcmp(name, "gop") == 0)
    name = "g";
  AVCodecContext* lookup = Settings.CodecOptionContexts[AVMEDIA_TYPE_VIDEO].get();
  if (!lookup || !Settings.FormatOptionContext)
    return false; // no Reset yet: nothing can hold the option
  // Which codec option contexts take an option: the ones whose media type it
  // is marked for (data and attachment take any).
  static constexpr int TypeFlags[MediaTypeCount] = {
      AV_OPT_FLAG_VIDEO_PARAM, AV_OPT_FLAG_AUDIO_PARAM, 0, AV_OPT_FLAG_SUBTITLE_PARAM, 0};
  const AVOption* result = nullptr;
  for (int type = 0; type < MediaTypeCount; ++type)
    if (avutil::av_opt_find(lookup, name, nullptr, TypeFlags[type], 0))
      result = SetIn(Settings.CodecOptionContexts[type].get(), name, value);
  if (!result)
    result = SetIn(Settings.FormatOptionContext.get(), name, value);
  if (!result)
    result = SetIn(Settings.ScalerOptionContext.get(), name, value);
  if (!result) {
    // "ab", "vb", "sb": the rest of the name in that media type's context.
    int type = -1;
    switch (name[0]) {
    case 'a':
      type = AVMEDIA_TYPE_AUDIO;
      break;
    case 'v':
      type = AVMEDIA_TYPE_VIDEO;
      break;
    case 's':
      type = AVMEDIA_TYPE_SUBTITLE;
      break;
    }
    if (type >= 0)
      result = SetIn(Settings.CodecOptionContexts[type].get(), name + 1, value);
  }
  if (!result)
    return false;
  Settings.GenericOptionNames.push_back(result->name);
  Settings.GenericOptionCount = static_cast<int>(Settings.GenericOptionNames.size());
  if (lookup->debug || Settings.FormatOptionContext->debug) {
    avutil::av_log_set_level(2);
    LibraryLogLevel = 2;
    Settings.Verbose = 2;
  }
  return true;
}

bool TCustomFFmpeg::SetDefaultOptionInt(const char* name, int value) {
  return SetDefaultOption(name, std::to_string(value).c_str());
}

void TCustomFFmpeg::SetContextOptions(void* context, void* optionContext, int flags) {
  if (!context || !optionContext)
    return;
  for (const char* name : Settings.GenericOptionNames) {
    const AVOption* option = avutil::av_opt_find(optionContext, name, nullptr, 0, 0);
    if (!option || (option->flags & flags) != flags)
      continue;
    uint8_t* text = nullptr;
    if (avutil::av_opt_get(optionContext, name, 0, &text) < 0 || !text)
      continue;
    avutil::av_opt_set(context, name, reinterpret_cast<const char*>(text), 0);
    avutil::av_free(text);
  }
}

// ---- Direct setters

void TCustomFFmpeg::SetVerbose(int value) {
  Settings.Verbose = value;
  avutil::av_log_set_level(value);
  LibraryLogLevel = value;
}

void TCustomFFmpeg::SetStartTime(int64_t microseconds) {
  if (microseconds > 0)
    Settings.StartTime = microseconds;
}

void TCustomFFmpeg::SetProgramId(int value) {
  if (value >= 0)
    Settings.ProgramId = value;
}

void TCustomFFmpeg::SetRecordingTimeMs(int milliseconds) {
  if (milliseconds <= 0)
    return;
  Settings.RecordingTime = int64_t(milliseconds) * 1000;
  RunState.TotalOutputDuration = milliseconds;
}

void TCustomFFmpeg::SetAudioVolume(int value) {
  if (value >= 0)
    Settings.AudioVolume = value;
}

void TCustomFFmpeg::SetAudioSyncMethod(int value) {
  Settings.AudioSyncMethod = value;
}

void TCustomFFmpeg::SetVideoSyncMethod(int value) {
  Settings.VideoSyncMethod = value;
}

void TCustomFFmpeg::SetMuxMaxDelay(float seconds) {
  if (seconds > 0.0f)
    Settings.MuxMaxDelay = seconds;
}

void TCustomFFmpeg::SetMuxPreload(float seconds) {
  if (seconds > 0.0f)
    Settings.MuxPreload = seconds;
}

} // namespace kestro
