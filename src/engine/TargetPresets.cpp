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
    if (FrameRate.den == 0)
      throw FFMpegException("frame_rate is invalid.");
    bool decided = NormOfKey(RateKey(FrameRate.num, FrameRate.den), norm);
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
    if (Verbose > 0 && LogCallback)
      Log(1, Format("Assuming %s for target.", norm == nmPal ? "PAL" : "NTSC"));
  }

  const bool pal = norm == nmPal;
  const char* rate = norm == nmPal ? "25" : norm == nmNtsc ? "30000/1001" : "24000/1001";
  auto generic = [this](const char* name, const char* value) { SetDefaultOption(name, value); };
  auto defaultAspect = [this](const char* aspect) {
    if (FrameAspectRatio != 0.0f)
      return;
    if (LogCallback)
      Log(1, std::string("Assuming ") + aspect + " for aspect ratio");
    OptAspectRatio(aspect);
  };

  if (type == "vcd") {
    OptCodecName(AVMEDIA_TYPE_VIDEO, "mpeg1video");
    OptCodecName(AVMEDIA_TYPE_AUDIO, "mp2");
    SetOutputFormat("vcd");
    OptFrameSize(pal ? "352x288" : "352x240");
    OptFrameRate(rate);
    generic("gop", pal ? "15" : "18");
    generic("b", "1150000");
    generic("maxrate", "1150000");
    generic("minrate", "1150000");
    generic("bufsize", "327680");
    generic("ab", "224000");
    AudioSampleRate = 44100;
    AudioChannels = 2;
    generic("packetsize", "2324");
    generic("muxrate", "1411200");
    // A lower preload than the default so a standard player's buffer is not
    // overrun at the start.
    MuxPreload = 0.44f;
    defaultAspect("4:3");
  } else if (type == "svcd") {
    OptCodecName(AVMEDIA_TYPE_VIDEO, "mpeg2video");
    OptCodecName(AVMEDIA_TYPE_AUDIO, "mp2");
    SetOutputFormat("svcd");
    OptFrameSize(pal ? "480x576" : "480x480");
    OptFrameRate(rate);
    generic("gop", pal ? "15" : "18");
    generic("b", "2040000");
    generic("maxrate", "2516000");
    generic("minrate", "0");
    generic("bufsize", "1835008");
    generic("flags", "+scan_offset");
    generic("ab", "224000");
    AudioSampleRate = 44100;
    if (AudioChannels == 1)
      AudioChannels = 2;
    generic("packetsize", "2324");
    defaultAspect("4:3");
  } else if (type == "dvd") {
    OptCodecName(AVMEDIA_TYPE_VIDEO, "mpeg2video");
    OptCodecName(AVMEDIA_TYPE_AUDIO, "ac3");
    SetOutputFormat("dvd");
    OptFrameSize(pal ? "720x576" : "720x480");
    OptFrameRate(rate);
    generic("gop", pal ? "15" : "18");
    generic("b", "6000000");
    generic("maxrate", "9000000");
    generic("minrate", "0");
    generic("bufsize", "1835008");
    AudioSampleRate = 48000;
    if (AudioChannels == 1)
      AudioChannels = 2;
    generic("packetsize", "2048");
    generic("muxrate", "10080000");
    generic("ab", "448000");
    defaultAspect("16:9");
  } else if (type == "dv" || type == "dv50") {
    SetOutputFormat("dv");
    OptFrameSize(pal ? "720x576" : "720x480");
    OptPixFmt(type == "dv50" ? "yuv422p" : pal ? "yuv420p" : "yuv411p");
    OptFrameRate(rate);
    AudioSampleRate = 48000;
    AudioChannels = 2;
  } else {
    throw FFMpegException("Unknown target type");
  }
}

} // namespace kestro
