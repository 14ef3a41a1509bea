#include "BatchOutput.h"

#include "MediaLibs.h"

#include <filesystem>
#include <sstream>

namespace kestro {

void FillOutputOptions(TOutputOptions& record, const TPreset* preset, bool audioOnly,
                       const TAVProbe& probe) {
  record.DisableVideo = audioOnly;
  if (preset) {
    record.VideoCodec = preset->VideoCodec;
    record.AudioCodec = preset->AudioCodec;
    record.FrameSize = preset->FrameSize;
    record.AudioChannels = preset->AudioChannels;
    record.AudioSampleRate = preset->AudioSampleRate;
    record.VideoBitrate = preset->VideoBitrate;
    record.AudioBitrate = preset->AudioBitrate;
  }
  // What the preset leaves open comes from the source.
  TAudioStreamInfo audio;
  probe.GetAudioInfo(audio);
  if (record.AudioChannels == -1)
    record.AudioChannels = audio.Channels;
  if (record.AudioSampleRate == -1)
    record.AudioSampleRate = audio.SampleRate;
  if (record.AudioBitrate == -1)
    record.AudioBitrate = audio.BitRate;
  if (!record.DisableVideo) {
    TVideoStreamInfo video;
    probe.GetVideoInfo(video);
    // A source recorded on its side is left to the engine, which knows
    // whether its pictures will be turned upright.
    const bool sideways = video.Rotation == 90 || video.Rotation == 270;
    if (record.FrameSize.empty() && video.Width > 0 && video.Height > 0 && !sideways)
      record.FrameSize = std::to_string(video.Width) + "x" + std::to_string(video.Height);
    if (record.VideoBitrate == -1)
      record.VideoBitrate = 1500000;
  }
}

TOutputPlan PlanOutput(const std::string& entryText, const std::string& source, bool sameFolder,
                       const std::string& outputFolder, const TAVProbe& probe) {
  const std::string extension = PresetExtension(entryText);
  if (!sameFolder) {
    std::error_code ignored; // a folder that cannot be made fails the output's opening
    std::filesystem::create_directories(outputFolder, ignored);
  }
  TOutputPlan plan;
  plan.FileName = UniqueOutputName(OutputBase(sameFolder, source, outputFolder), extension,
                                   PresetShortName(entryText));
  InitOutputOptions(plan.Options);
  FillOutputOptions(plan.Options, FindPreset(entryText), IsAudioOnlyOutput(extension, source),
                    probe);
  return plan;
}

std::string DescribeLibraries(const std::string& folder) {
  std::ostringstream text;
  if (!LoadAllLibraries(folder, true)) {
    text << "The media libraries could not be loaded:\n" << LibraryLoadError() << "\n";
    return text.str();
  }
  text << "Media libraries: " << avutil::av_version_info() << "\n";
  auto version = [](unsigned v) {
    return std::to_string(v >> 16) + "." + std::to_string((v >> 8) & 0xff) + "." +
           std::to_string(v & 0xff);
  };
  text << "  avcodec " << version(avcodec::avcodec_version()) << ", avformat "
       << version(avformat::avformat_version()) << ", avutil " << version(avutil::avutil_version())
       << "\n  avfilter " << version(avfilter::avfilter_version()) << ", swscale "
       << version(swscale::swscale_version()) << ", swresample "
       << version(swresample::swresample_version()) << "\n\nCodecs the presets use:\n";
  for (const TPreset& preset : Presets())
    for (const char* codec : {preset.VideoCodec, preset.AudioCodec}) {
      const AVCodec* found = avcodec::avcodec_find_encoder_by_name(codec);
      if (!found && std::string(codec) == "libamr_nb")
        found = avcodec::avcodec_find_encoder_by_name("libopencore_amrnb");
      text << "  " << codec << ": " << (found ? "available" : "missing") << "\n";
    }
  return text.str();
}

} // namespace kestro
