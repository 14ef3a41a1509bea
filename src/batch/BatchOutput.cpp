#include "BatchOutput.h"

#include "MediaLibs.h"

#include <algorithm>
#include <filesystem>
#include <set>
#include <sstream>

namespace kestro {

namespace {

// Bits per sample worth keeping: what a lossless source stores; a lossy
// source counts as 16.
int AudioDepth(const AVCodecParameters* par) {
  if (par->bits_per_raw_sample > 0)
    return par->bits_per_raw_sample;
  const AVCodecDescriptor* descriptor = avcodec::avcodec_descriptor_get(par->codec_id);
  if (descriptor && (descriptor->props & AV_CODEC_PROP_LOSSLESS) && par->bits_per_coded_sample > 0)
    return par->bits_per_coded_sample;
  return 16;
}

void Line(std::string& text, const std::string& name, const std::string& value) {
  text += name + "=" + value + "\n";
}

// The codec and its settings for one audio track, as option lines.
std::string AudioTrackLines(const TPresetRow& row, const TSourceTracks::TAudio* track) {
  std::string text;
  const bool deep = track && track->Depth > 16;
  const std::string codec =
      deep && !row.DeepAudioCodec.empty() ? row.DeepAudioCodec : row.AudioCodec;
  Line(text, "acodec", codec);
  if (codec == "copy")
    return text;
  int channels = track ? track->Channels : 0;
  if (row.MaxChannels > 0 && (channels <= 0 || channels > row.MaxChannels))
    channels = row.MaxChannels;
  if (channels > 0)
    Line(text, "ac", std::to_string(channels));
  const int rate = row.SampleRate > 0 ? row.SampleRate : track ? track->SampleRate : 0;
  if (rate > 0) // the encoder takes it or its nearest rate
    Line(text, "ar", std::to_string(rate));
  // A row that keeps the source's depth keeps 16 bits at 16 bits.
  if (!row.DeepAudioCodec.empty() && track && !deep)
    Line(text, "sample_fmt", "s16");
  return text;
}

// The seed's rule: the row's values (none without a row), and what it
// leaves open from the source's first audio and video streams.
struct TClassicValues {
  std::string VideoCodec, AudioCodec, FrameSize;
  int AudioChannels = -1, AudioSampleRate = -1, AudioBitrate = -1, VideoBitrate = -1;
};

TClassicValues ClassicValues(const TPresetRow* row, bool audioOnly, const TAVProbe& probe) {
  const auto pick = [](int rowValue, int sourceValue) {
    return rowValue > 0 ? rowValue : sourceValue;
  };
  TClassicValues v;
  TAudioStreamInfo audio;
  probe.GetAudioInfo(audio);
  v.AudioChannels = pick(row ? row->MaxChannels : 0, audio.Channels);
  v.AudioSampleRate = pick(row ? row->SampleRate : 0, audio.SampleRate);
  v.AudioBitrate = pick(row ? row->AudioBitrate : 0, audio.BitRate);
  if (row) {
    v.VideoCodec = row->VideoCodec;
    v.AudioCodec = row->AudioCodec;
    if (row->MaxWidth > 0 && row->MaxHeight > 0)
      v.FrameSize = std::to_string(row->MaxWidth) + "x" + std::to_string(row->MaxHeight);
  }
  if (audioOnly)
    return v;
  if (v.FrameSize.empty()) {
    TVideoStreamInfo video;
    probe.GetVideoInfo(video);
    // A source recorded on its side is left to the engine, which knows
    // whether its pictures will be turned upright.
    const bool sideways = video.Rotation == 90 || video.Rotation == 270;
    if (video.Width > 0 && video.Height > 0 && !sideways)
      v.FrameSize = std::to_string(video.Width) + "x" + std::to_string(video.Height);
  }
  v.VideoBitrate = pick(row ? row->VideoBitrate : 0, 1500000);
  return v;
}

std::string ClassicLines(const TPresetRow& row, bool audioOnly, const TAVProbe& probe) {
  const TClassicValues v = ClassicValues(&row, audioOnly, probe);
  std::string text;
  const auto number = [&text](const char* name, int value) {
    if (value > 0)
      Line(text, name, std::to_string(value));
  };
  Line(text, "acodec", v.AudioCodec);
  number("ac", v.AudioChannels);
  number("ar", v.AudioSampleRate);
  number("ab", v.AudioBitrate);
  if (audioOnly)
    return text;
  Line(text, "vcodec", v.VideoCodec);
  if (!v.FrameSize.empty())
    Line(text, "s", v.FrameSize);
  number("vb", v.VideoBitrate);
  return text;
}

} // namespace

TSourceTracks ReadTracks(const TAVProbe& probe) {
  TSourceTracks tracks;
  const AVFormatContext* context = probe.FormatContext;
  if (!context)
    return tracks;
  tracks.Known = true;
  for (unsigned i = 0; i < context->nb_streams; ++i) {
    const AVStream* stream = context->streams[i];
    const AVCodecParameters* par = stream->codecpar;
    switch (par->codec_type) {
    case AVMEDIA_TYPE_AUDIO:
      tracks.Audio.push_back(
          {par->ch_layout.nb_channels, par->sample_rate, AudioDepth(par), int(i)});
      break;
    case AVMEDIA_TYPE_VIDEO: {
      // A song's cover is no video; the first real picture stream is.
      if (stream->disposition & AV_DISPOSITION_ATTACHED_PIC) {
        if (tracks.Cover < 0)
          tracks.Cover = int(i);
        break;
      }
      if (tracks.Video)
        break;
      tracks.Video = true;
      TVideoStreamInfo info;
      probe.GetVideoStreamInfo(int(i), info);
      // Pictures recorded on their side come out upright: the box holds that size.
      const bool sideways = info.Rotation == 90 || info.Rotation == 270;
      tracks.Width = sideways ? par->height : par->width;
      tracks.Height = sideways ? par->width : par->height;
      if (stream->avg_frame_rate.num > 0 && stream->avg_frame_rate.den > 0)
        tracks.FrameRate = double(stream->avg_frame_rate.num) / stream->avg_frame_rate.den;
      else if (stream->r_frame_rate.num > 0 && stream->r_frame_rate.den > 0)
        tracks.FrameRate = double(stream->r_frame_rate.num) / stream->r_frame_rate.den;
      break;
    }
    case AVMEDIA_TYPE_SUBTITLE:
      ++tracks.SubtitleTracks;
      break;
    default:
      break;
    }
  }
  return tracks;
}

std::pair<int, int> FitInside(int width, int height, int maxWidth, int maxHeight) {
  double scale = 1.0;
  if (maxWidth > 0 && width > maxWidth)
    scale = std::min(scale, double(maxWidth) / width);
  if (maxHeight > 0 && height > maxHeight)
    scale = std::min(scale, double(maxHeight) / height);
  const auto even = [](double size) { return std::max(2, int(size + 0.5) / 2 * 2); };
  int w = even(width * scale), h = even(height * scale);
  // Rounding up to even must not leave the box.
  if (maxWidth > 0 && w > maxWidth)
    w = maxWidth / 2 * 2;
  if (maxHeight > 0 && h > maxHeight)
    h = maxHeight / 2 * 2;
  return {w, h};
}

TOutputChoice ChooseOutput(const TPresetRow& row, const std::string& source,
                           const TAVProbe& probe) {
  TOutputChoice choice{false, row.Extension, row.Format};
  if (row.Classic) {
    choice.AudioOnly = IsAudioOnlyOutput(row.Extension, source);
    return choice;
  }
  const TSourceTracks tracks = ReadTracks(probe);
  if (row.VideoCodec.empty()) {
    choice.AudioOnly = true;
  } else if (tracks.Known && !tracks.Video) {
    choice.AudioOnly = true;
    choice.Extension = row.AudioOnlyExtension.empty() ? row.Extension : row.AudioOnlyExtension;
    choice.Format = row.AudioOnlyExtension.empty() ? row.Format : row.AudioOnlyFormat;
  }
  return choice;
}

void FillOutputOptions(TOutputOptions& record, const TPresetRow& row, bool audioOnly,
                       const TAVProbe& probe) {
  record.DisableVideo = audioOnly;
  if (row.Classic) {
    record.ExtraOptions = ClassicLines(row, audioOnly, probe);
    return;
  }
  const TSourceTracks tracks = ReadTracks(probe);
  std::string lines;
  if (!audioOnly) {
    Line(lines, "vcodec", row.VideoCodec);
    if (row.VideoCodec != "copy") {
      if (tracks.Width > 0 && tracks.Height > 0) {
        const auto [w, h] = FitInside(tracks.Width, tracks.Height, row.MaxWidth, row.MaxHeight);
        Line(lines, "s", std::to_string(w) + "x" + std::to_string(h));
      }
      if (row.MaxFrameRate > 0 && tracks.FrameRate > row.MaxFrameRate + 0.01)
        Line(lines, "r", std::to_string(row.MaxFrameRate));
      if (!row.PixelFormat.empty())
        Line(lines, "pix_fmt", row.PixelFormat);
      if (row.VideoBitrate > 0)
        Line(lines, "vb", std::to_string(row.VideoBitrate));
      for (const std::string& option : row.VideoOptions)
        lines += option + "\n";
    }
  }

  // Every audio track of a video row, in order (the engine gives each new
  // stream the next track of its kind); one track for an audio row.
  const bool everyTrack = !row.VideoCodec.empty();
  const TSourceTracks::TAudio* first = tracks.Audio.empty() ? nullptr : &tracks.Audio[0];
  if (first || !tracks.Known) {
    lines += AudioTrackLines(row, first);
    if (row.AudioCodec != "copy") {
      if (row.AudioBitrate > 0)
        Line(lines, "ab", std::to_string(row.AudioBitrate));
      for (const std::string& option : row.AudioOptions)
        lines += option + "\n";
    }
  }
  std::string more;
  const size_t audioTracks =
      everyTrack ? tracks.Audio.size() : std::min<size_t>(1, tracks.Audio.size());
  for (size_t k = 1; k < audioTracks; ++k)
    more += AudioTrackLines(row, &tracks.Audio[k]) + "newaudio\n";
  // A song's cover goes with it as it is. The engine takes a cover for no
  // stream of its own accord, so every stream of the output is mapped.
  if (audioOnly && row.KeepCover && tracks.Cover >= 0 && audioTracks > 0) {
    more += "vcodec=copy\nnewvideo\n";
    for (size_t k = 0; k < audioTracks; ++k)
      more += "map=0:" + std::to_string(tracks.Audio[k].Index) + "\n";
    more += "map=0:" + std::to_string(tracks.Cover) + "\n";
  }

  // Subtitles: the first track, made what the row asks (the engine picks the
  // container's own format when the row names none).
  if (audioOnly || row.SubtitleCodec == "none" || tracks.SubtitleTracks == 0)
    record.DisableSubtitle = true;
  else if (!row.SubtitleCodec.empty())
    Line(lines, "scodec", row.SubtitleCodec);
  record.ExtraOptions = lines;
  record.StreamOptions = more;
}

void FillOutputOptions(TOutputOptions& record, const TPresetRow* row, bool audioOnly,
                       const TAVProbe& probe) {
  if (row) {
    FillOutputOptions(record, *row, audioOnly, probe);
    return;
  }
  const TClassicValues v = ClassicValues(nullptr, audioOnly, probe);
  record.DisableVideo = audioOnly;
  record.AudioChannels = v.AudioChannels;
  record.AudioSampleRate = v.AudioSampleRate;
  record.AudioBitrate = v.AudioBitrate;
  record.FrameSize = v.FrameSize;
  record.VideoBitrate = v.VideoBitrate;
}

TOutputPlan PlanOutput(const TPresetRow& row, const std::string& source, bool sameFolder,
                       const std::string& outputFolder, const TAVProbe& probe) {
  const TOutputChoice choice = ChooseOutput(row, source, probe);
  if (!sameFolder) {
    std::error_code ignored; // a folder that cannot be made fails the output's opening
    std::filesystem::create_directories(outputFolder, ignored);
  }
  TOutputPlan plan;
  plan.FileName = UniqueOutputName(OutputBase(sameFolder, source, outputFolder), choice.Extension,
                                   RowLabel(row));
  InitOutputOptions(plan.Options);
  FillOutputOptions(plan.Options, row, choice.AudioOnly, probe);
  plan.Options.FileFormat = choice.Format;
  return plan;
}

std::string DescribeLibraries(const std::string& folder, const TPresetTable& presets) {
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
  std::set<std::string> listed;
  for (const TPresetRow& row : presets.Rows())
    for (const std::string& codec : {row.VideoCodec, row.AudioCodec, row.DeepAudioCodec}) {
      if (codec.empty() || codec == "copy" || !listed.insert(codec).second)
        continue;
      const AVCodec* found = avcodec::avcodec_find_encoder_by_name(codec.c_str());
      if (!found && codec == "libamr_nb")
        found = avcodec::avcodec_find_encoder_by_name("libopencore_amrnb");
      text << "  " << codec << ": " << (found ? "available" : "missing") << "\n";
    }
  return text.str();
}

} // namespace kestro
