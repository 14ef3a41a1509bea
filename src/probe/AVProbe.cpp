#include "AVProbe.h"

#include "FFmpeg.h"

#include <cstring>
#include <stdexcept>

namespace kestro {

namespace {

int64_t ToMicroseconds(int64_t value, AVRational timeBase) {
  if (value == AV_NOPTS_VALUE || !timeBase.den)
    return -1;
  return avutil::av_rescale_q(value, timeBase, AVRational{1, 1000000});
}

// The fields every stream kind shares.
void FillCommon(TStreamInfoCommon& info, const AVStream* stream) {
  if (const AVDictionaryEntry* lang =
          avutil::av_dict_get(stream->metadata, "language", nullptr, 0))
    std::strncpy(info.Language, lang->value, sizeof info.Language - 1);
  std::strncpy(info.CodecName, avcodec::avcodec_get_name(stream->codecpar->codec_id),
               sizeof info.CodecName - 1);
  info.StartTime = stream->start_time;
  info.StartTimeUS = ToMicroseconds(stream->start_time, stream->time_base);
  info.Duration = stream->duration;
  info.DurationUS = ToMicroseconds(stream->duration, stream->time_base);
  info.BitRate = int(stream->codecpar->bit_rate);
}

void ClearCommon(TStreamInfoCommon& info) {
  std::memset(info.Language, 0, sizeof info.Language);
  std::memset(info.CodecName, 0, sizeof info.CodecName);
  info.StartTime = info.StartTimeUS = info.Duration = info.DurationUS = -1;
  info.BitRate = -1;
}

} // namespace

void TAVProbe::CheckLibraries() {
  if (!avcodec::Library().LibraryBound())
    throw std::runtime_error("LibAVCodec not loaded.");
  if (!avformat::Library().LibraryBound())
    throw std::runtime_error("LibAVFormat not loaded.");
  if (!avutil::Library().LibraryBound())
    throw std::runtime_error("LibAVUtil not loaded.");
  if (!swscale::Library().LibraryBound())
    throw std::runtime_error("LibSwScale not loaded.");
}

bool TAVProbe::Open(const std::string& fileName, const std::string& formatName) {
  CheckLibraries();
  Close();
  if (!Enabled)
    return false;
  const AVInputFormat* format = nullptr;
  if (!formatName.empty()) {
    format = avformat::av_find_input_format(formatName.c_str());
    if (!format) {
      LastError = "Unknown input format: " + formatName;
      return false;
    }
  }
  AVFormatContext* context = avformat::avformat_alloc_context();
  const int opened = avformat::avformat_open_input(&context, fileName.c_str(), format, nullptr);
  if (opened < 0) {
    LastError = FormatOpenError(fileName, opened);
    return false;
  }
  FormatContext = context;
  OwnsContext = true;
  int probed;
  {
    std::lock_guard<std::mutex> lock(CodecLock());
    probed = avformat::avformat_find_stream_info(context, nullptr);
  }
  if (probed < 0) {
    LastError = fileName + ": could not find codec parameters";
    Close();
    return false;
  }
  CountStreams();
  FormatName = formatName;
  return true;
}

void TAVProbe::Attach(AVFormatContext* context) {
  CheckLibraries();
  Close();
  OwnsContext = false;
  FormatContext = context;
  CountStreams();
}

void TAVProbe::Close() {
  FormatName.clear();
  if (FormatContext && OwnsContext)
    avformat::avformat_close_input(&FormatContext);
  FormatContext = nullptr;
  OwnsContext = false;
  CountStreams();
}

void TAVProbe::CountStreams() {
  StreamCount = AudioStreamCount = VideoStreamCount = SubtitleStreamCount = -1;
  CoverPictureCount = 0;
  FirstAudioStream = FirstVideoStream = FirstSubtitleStream = -1;
  if (!FormatContext)
    return;
  StreamCount = int(FormatContext->nb_streams);
  AudioStreamCount = VideoStreamCount = SubtitleStreamCount = 0;
  for (int i = 0; i < StreamCount; ++i) {
    auto count = [i](int& counter, int& first) {
      ++counter;
      if (first < 0)
        first = i;
    };
    const AVStream* stream = FormatContext->streams[i];
    switch (stream->codecpar->codec_type) {
    case AVMEDIA_TYPE_VIDEO:
      // A song's cover is stored as a video stream of one picture; it is not
      // the source's video.
      if (IsCoverPicture(stream))
        ++CoverPictureCount;
      else
        count(VideoStreamCount, FirstVideoStream);
      break;
    case AVMEDIA_TYPE_AUDIO:
      count(AudioStreamCount, FirstAudioStream);
      break;
    case AVMEDIA_TYPE_SUBTITLE:
      count(SubtitleStreamCount, FirstSubtitleStream);
      break;
    default:
      break;
    }
  }
}

bool TAVProbe::LoadLibraries(const std::string& folder, bool versioned) {
  TLibraryBinding* libraries[] = {&avcodec::Library(), &avformat::Library(), &avutil::Library(),
                                  &swscale::Library()};
  bool all = true;
  for (TLibraryBinding* library : libraries)
    all = all && library->LibraryBound();
  if (all)
    return true;
  const bool doRegister[] = {true, true, false, false};
  for (int i = 0; i < 4; ++i)
    if (!libraries[i]->LoadAndBind(LastError, folder, versioned, doRegister[i])) {
      UnloadLibraries();
      return false;
    }
  return true;
}

void TAVProbe::UnloadLibraries() {
  avcodec::Library().UnloadLibrary();
  avformat::Library().UnloadLibrary();
  avutil::Library().UnloadLibrary();
  swscale::Library().UnloadLibrary();
}

const AVStream* TAVProbe::StreamOfType(int index, AVMediaType type, const char* kind) const {
  if (!FormatContext) {
    avutil::av_log(nullptr, AV_LOG_INFO, "file not loaded.\n");
    return nullptr;
  }
  if (index < 0) {
    index = type == AVMEDIA_TYPE_AUDIO ? FirstAudioStream : FirstVideoStream;
    if (index < 0) {
      avutil::av_log(nullptr, AV_LOG_ERROR, "no %s stream.\n", kind);
      return nullptr;
    }
  } else if (index >= StreamCount) {
    avutil::av_log(nullptr, AV_LOG_ERROR, "stream index #%d is invalid.\n", index);
    return nullptr;
  }
  const AVStream* stream = FormatContext->streams[index];
  if (stream->codecpar->codec_type != type) {
    avutil::av_log(nullptr, AV_LOG_ERROR, "stream #%d is not %s stream.\n", index, kind);
    return nullptr;
  }
  return stream;
}

void TAVProbe::GetAudioStreamInfo(int index, TAudioStreamInfo& info) const {
  ClearCommon(info);
  info.Channels = info.SampleRate = info.SampleFormat = -1;
  const AVStream* stream = StreamOfType(index, AVMEDIA_TYPE_AUDIO, "audio");
  if (!stream)
    return;
  FillCommon(info, stream);
  info.Channels = stream->codecpar->ch_layout.nb_channels;
  info.SampleRate = stream->codecpar->sample_rate;
  info.SampleFormat = stream->codecpar->format;
}

void TAVProbe::GetVideoStreamInfo(int index, TVideoStreamInfo& info) const {
  ClearCommon(info);
  info.Height = info.Width = info.PixelFormat = info.FrameRateNum = info.FrameRateDen = -1;
  info.DisplayAspect = -1.0f;
  info.Rotation = 0;
  const AVStream* stream = StreamOfType(index, AVMEDIA_TYPE_VIDEO, "video");
  if (!stream)
    return;
  FillCommon(info, stream);
  const AVCodecParameters* par = stream->codecpar;
  info.Height = par->height;
  info.Width = par->width;
  const AVRational sar = stream->sample_aspect_ratio.num ? stream->sample_aspect_ratio
                                                          : par->sample_aspect_ratio;
  // An unknown aspect (0 or 0/0) counts as square pixels.
  const float pixelAspect = sar.num && sar.den ? float(sar.num) / float(sar.den) : 1.0f;
  if (par->height)
    info.DisplayAspect = float(par->width) * pixelAspect / float(par->height);
  info.PixelFormat = par->format;
  info.FrameRateNum = stream->r_frame_rate.num;
  info.FrameRateDen = stream->r_frame_rate.den;
  const int turns = ClockwiseQuarterTurns(stream);
  info.Rotation = turns < 0 ? -1 : 90 * turns;
}

std::string TAVProbe::GetFileName() const {
  if (!FormatContext) {
    avutil::av_log(nullptr, AV_LOG_INFO, "file not loaded.\n");
    return {};
  }
  return std::string(FormatContext->url ? FormatContext->url : "").substr(0, 1024);
}

std::string TAVProbe::FormatOpenError(const std::string& fileName, int errorCode) {
  return TCustomFFmpeg::FormatOpenError(fileName, errorCode);
}

} // namespace kestro
