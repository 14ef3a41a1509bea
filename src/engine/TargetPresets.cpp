// Disc and tape presets ("target"): everything one standard requires, in one
// step, written as pending options so later options can still override it.
#include "EngineText.h"
#include "FFmpeg.h"
#include "OptionValues.h"

#include <cmath>

namespace kestro {

namespace {

enum TNorm { nmPal, nmNtsc, nmFilm };

// frames per 1000 seconds, rounded to the nearest (ties to even)
long RateKey(int64_t num, int64_t den) {
  return den ? std::lrint(double(num) * 1000.0 / double(den)) : 0;
}

bool NormOfKey(long key, TNorm& norm) {
  if (key == 25000) {
    norm = nmPal;
    return true;
  }
  if (key == 29970 || key == 23976) {
    norm = nmNtsc;
    return true;
  }
  return false;
}

enum TChannelRule { chStereo, chMonoToStereo };

// A generic option; `NtscValue`, when given, replaces the value for NTSC and
// film.
struct TGenericSetting {
  const char* Name;
  const char* Value;
  const char* NtscValue;
};

struct TTargetPreset {
  const char* Type;
  const char* VideoCodec;
  const char* AudioCodec;
  const char* Format;
  const char* SizePal;
  const char* SizeNtsc;
  const char* PixFmtPal; // null: the pixel format is left alone
  const char* PixFmtNtsc;
  TGenericSetting Generic[10]; // in the order they are given
  int SampleRate;
  TChannelRule Channels;
  float MuxPreload; // 0: left alone
  const char* Aspect; // assumed when none is known; null: none
};

// The disc and tape standards, one row each.
const TTargetPreset TargetPresets[] = {
    {"vcd", "mpeg1video", "mp2", "vcd", "352x288", "352x240", nullptr, nullptr,
     {{"gop", "15", "18"}, {"b", "1150000", nullptr}, {"maxrate", "1150000", nullptr},
      {"minrate", "1150000", nullptr}, {"bufsize", "327680", nullptr}, {"ab", "224000", nullptr},
      {"packetsize", "2324", nullptr}, {"muxrate", "1411200", nullptr}},
     // A lower preload keeps a standard player's buffer from overrunning at the start.
     44100, chStereo, 0.44f, "4:3"},
    {"svcd", "mpeg2video", "mp2", "svcd", "480x576", "480x480", nullptr, nullptr,
     {{"gop", "15", "18"}, {"b", "2040000", nullptr}, {"maxrate", "2516000", nullptr},
      {"minrate", "0", nullptr}, {"bufsize", "1835008", nullptr},
      {"scan_offset", "1", nullptr}, {"ab", "224000", nullptr},
      {"packetsize", "2324", nullptr}},
     44100, chMonoToStereo, 0, "4:3"},
    {"dvd", "mpeg2video", "ac3", "dvd", "720x576", "720x480", nullptr, nullptr,
     {{"gop", "15", "18"}, {"b", "6000000", nullptr}, {"maxrate", "9000000", nullptr},
      {"minrate", "0", nullptr}, {"bufsize", "1835008", nullptr},
      {"packetsize", "2048", nullptr}, {"muxrate", "10080000", nullptr}, {"ab", "448000", nullptr}},
     48000, chMonoToStereo, 0, "16:9"},
    {"dv", nullptr, nullptr, "dv", "720x576", "720x480", "yuv420p", "yuv411p", {}, 48000,
     chStereo, 0, nullptr},
    {"dv50", nullptr, nullptr, "dv", "720x576", "720x480", "yuv422p", "yuv422p", {}, 48000,
     chStereo, 0, nullptr},
};

} // namespace

void TCustomFFmpeg::OptTarget(const std::string& value) {
  const std::string text = options::TrimBlanks(value);
  for (const char* prefix : {"pal-", "ntsc-", "film-"}) {
    const std::string p = prefix;
    if (text.rfind(p, 0) == 0) {
      SetTarget(text.substr(p.size()), p.substr(0, p.size() - 1), "ntsc");
      return;
    }
  }
  SetTarget(text, "auto", "ntsc");
}

void TCustomFFmpeg::SetTarget(const std::string& type, const std::string& normText,
                              const std::string& fallbackNorm) {
  TNorm norm = nmPal;
  if (normText == "pal") {
    norm = nmPal;
  } else if (normText == "ntsc") {
    norm = nmNtsc;
  } else if (normText == "film") {
    norm = nmFilm;
  } else {
    if (Settings.FrameRate.den == 0)
      throw FFMpegException("frame_rate is invalid.");
    bool decided = NormOfKey(RateKey(Settings.FrameRate.num, Settings.FrameRate.den), norm);
    for (int f = 0; f < InputFileCount && !decided; ++f)
      for (unsigned s = 0; s < InputFiles[f]->nb_streams && !decided; ++s) {
        if (InputFiles[f]->streams[s]->codecpar->codec_type != AVMEDIA_TYPE_VIDEO ||
            s >= InputCodecs[f].size())
          continue;
        const AVRational tb = InputCodecs[f][s]->time_base;
        if (tb.num)
          decided = NormOfKey(RateKey(tb.den, tb.num), norm);
      }
    if (!decided)
      norm = fallbackNorm == "film" ? nmFilm : fallbackNorm == "ntsc" ? nmNtsc : nmPal;
    if (Settings.Verbose > 0 && LogCallback)
      Log(1, Format("Assuming %s for target.", norm == nmPal ? "PAL" : "NTSC"));
  }

  const bool pal = norm == nmPal;
  const TTargetPreset* preset = nullptr;
  for (const TTargetPreset& p : TargetPresets)
    if (type == p.Type)
      preset = &p;
  if (!preset)
    throw FFMpegException("Unknown target type");

  if (preset->VideoCodec)
    OptCodecName(AVMEDIA_TYPE_VIDEO, preset->VideoCodec);
  if (preset->AudioCodec)
    OptCodecName(AVMEDIA_TYPE_AUDIO, preset->AudioCodec);
  SetOutputFormat(preset->Format);
  OptFrameSize(pal ? preset->SizePal : preset->SizeNtsc);
  if (preset->PixFmtPal)
    OptPixFmt(pal ? preset->PixFmtPal : preset->PixFmtNtsc);
  OptFrameRate(norm == nmPal ? "25" : norm == nmNtsc ? "30000/1001" : "24000/1001");
  for (const TGenericSetting& g : preset->Generic)
    if (g.Name) {
      const char* value = pal || !g.NtscValue ? g.Value : g.NtscValue;
      // The mpeg muxers' rate and the mpeg-2 encoder's scan offset are
      // options of theirs alone.
      if (!SetDefaultOption(g.Name, value))
        SetPrivateOption(g.Name, value, false);
    }
  Settings.AudioSampleRate = preset->SampleRate;
  if (preset->Channels == chStereo ||
      (preset->Channels == chMonoToStereo && Settings.AudioChannels == 1))
    Settings.AudioChannels = 2;
  if (preset->MuxPreload > 0)
    Settings.MuxPreload = preset->MuxPreload;
  if (preset->Aspect && Settings.FrameAspectRatio == 0.0f) {
    if (LogCallback)
      Log(1, std::string("Assuming ") + preset->Aspect + " for aspect ratio");
    OptAspectRatio(preset->Aspect);
  }
}

} // namespace kestro
