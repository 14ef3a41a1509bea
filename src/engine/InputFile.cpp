// Opening an input: demuxer, stream probe, start position, decoder contexts,
// and the input's properties taken over as defaults for the next output.
#include "EngineText.h"
#include "FFmpeg.h"

#include <algorithm>
#include <cctype>

namespace kestro {

namespace {

// Names the libraries used to know codecs by, mapped to today's.
const char* LegacyCodecName(const std::string& name, bool encoder) {
  if (name == "libamr_nb")
    return encoder ? "libopencore_amrnb" : "libopencore_amrnb";
  if (name == "libamr_wb")
    return encoder ? "libvo_amrwbenc" : "libopencore_amrwb";
  return nullptr;
}

const AVCodec* FindCodecByName(const char* name, bool encoder) {
  auto find = encoder ? avcodec::avcodec_find_encoder_by_name : avcodec::avcodec_find_decoder_by_name;
  const AVCodec* codec = find(name);
  if (!codec)
    if (const char* today = LegacyCodecName(name, encoder))
      codec = find(today);
  return codec;
}

std::string LowerExtension(const std::string& fileName) {
  const size_t slash = fileName.find_last_of('/');
  const size_t dot = fileName.find_last_of('.');
  if (dot == std::string::npos || (slash != std::string::npos && dot < slash))
    return {};
  std::string ext = fileName.substr(dot);
  std::transform(ext.begin(), ext.end(), ext.begin(),
                 [](unsigned char c) { return char(std::tolower(c)); });
  return ext;
}

float Ratio(AVRational r) { return r.den ? float(r.num) / float(r.den) : 0.0f; }

} // namespace

bool TCustomFFmpeg::FindCodec(const char* name, AVMediaType type, AVCodecID& codecId,
                              bool encoder, const AVCodec** found) {
  if (found)
    *found = nullptr;
  if (!name) {
    codecId = AV_CODEC_ID_NONE;
    return true;
  }
  const char* kind = encoder ? "encoder" : "decoder";
  const AVCodec* codec = FindCodecByName(name, encoder);
  if (!codec) {
    LastError = Format("Unknown %s '%s'", kind, name);
    return false;
  }
  if (codec->type != type) {
    LastError = Format("Invalid %s type '%s'", kind, name);
    return false;
  }
  codecId = codec->id;
  if (found)
    *found = codec;
  return true;
}

bool TCustomFFmpeg::OpenInputFile(const std::string& fileName) {
  // Whatever happens, the per-input settings last for this one input only.
  auto clearPending = [this] {
    Settings.VideoCodecName.reset();
    Settings.AudioCodecName.reset();
    Settings.SubtitleCodecName.reset();
    Settings.ForcedInputFormat = nullptr;
    Settings.ForcedOutputFormat = nullptr;
    Settings.InputIO = nullptr;
    Settings.VideoChannel = 0;
    Settings.RateEmulation = 0;
  };
  auto fail = [&](const std::string& message) {
    LastError = message;
    clearPending();
    return false;
  };
  if (InputFileCount >= MaxFiles)
    return fail(Format("%s: too many input files (at most %d)", fileName.c_str(), MaxFiles));

  TFormatContextPtr context(avformat::avformat_alloc_context());
  if (!context)
    return fail(FormatOpenError(fileName, AVERROR(ENOMEM)));

  // Capture settings reach the demuxers that take them (raw and device
  // inputs); the others ignore them.
  AVDictionary* settings = nullptr;
  struct TDictOwner {
    AVDictionary** Dict;
    ~TDictOwner() { avutil::av_dict_free(Dict); }
  } settingsOwner{&settings};
  if (Settings.FrameRate.num && Settings.FrameRate.den)
    avutil::av_dict_set(&settings, "framerate",
                        Format("%d/%d", Settings.FrameRate.num, Settings.FrameRate.den).c_str(), 0);
  avutil::av_dict_set(&settings, "sample_rate", std::to_string(Settings.AudioSampleRate).c_str(),
                      0);
  avutil::av_dict_set(&settings, "channels", std::to_string(Settings.AudioChannels).c_str(), 0);
  const int captureWidth = Settings.FrameWidth + Settings.FramePadLeft + Settings.FramePadRight;
  const int captureHeight = Settings.FrameHeight + Settings.FramePadTop + Settings.FramePadBottom;
  if (captureWidth > 0 && captureHeight > 0)
    avutil::av_dict_set(&settings, "video_size",
                        Format("%dx%d", captureWidth, captureHeight).c_str(), 0);
  if (Settings.FramePixFmt >= 0)
    if (const char* name = avutil::av_get_pix_fmt_name(AVPixelFormat(Settings.FramePixFmt)))
      avutil::av_dict_set(&settings, "pixel_format", name, 0);
  if (Settings.VideoChannel)
    avutil::av_dict_set(&settings, "channel", std::to_string(Settings.VideoChannel).c_str(), 0);
  if (Settings.VideoStandard)
    avutil::av_dict_set(&settings, "standard", Settings.VideoStandard.get(), 0);
  if (Settings.LoopInput)
    avutil::av_dict_set(&settings, "loop", "1", 0);

  AVCodecID videoId, audioId, subtitleId;
  if (!FindCodec(Settings.VideoCodecName.get(), AVMEDIA_TYPE_VIDEO, videoId, false) ||
      !FindCodec(Settings.AudioCodecName.get(), AVMEDIA_TYPE_AUDIO, audioId, false) ||
      !FindCodec(Settings.SubtitleCodecName.get(), AVMEDIA_TYPE_SUBTITLE, subtitleId, false))
    return fail(LastError);
  if (Settings.PgmYuvCompat)
    videoId = AV_CODEC_ID_PGMYUV;
  SetContextOptions(context.get(), Settings.FormatOptionContext.get(), AV_OPT_FLAG_DECODING_PARAM);
  // A stop or an abort reaches every wait of the libraries on this input.
  context->interrupt_callback = {&TCustomFFmpeg::InterruptCheck, this};
  std::unique_ptr<TInputSource> source;
  if (!Settings.InputIO && TInputSource::IsStream(fileName)) {
    source = std::make_unique<TInputSource>();
    int error = 0;
    if (!source->Open(fileName, context->interrupt_callback, error))
      return fail(FormatOpenError(fileName, error));
    Settings.InputIO = source->IO();
  }
  if (Settings.InputIO) {
    context->pb = Settings.InputIO;
    context->flags |= AVFMT_FLAG_CUSTOM_IO;
  }
  context->video_codec_id = videoId;
  context->audio_codec_id = audioId;
  context->subtitle_codec_id = subtitleId;

  AVFormatContext* raw = context.release();
  const int opened =
      avformat::avformat_open_input(&raw, fileName.c_str(), Settings.ForcedInputFormat, &settings);
  if (opened < 0) // the library freed the context
    return fail(FormatOpenError(fileName, opened));
  TInputContextPtr input(raw);

  if (Settings.ProgramId != 0)
    for (unsigned i = 0; i < input->nb_programs; ++i)
      if (input->programs[i]->id != Settings.ProgramId)
        input->programs[i]->discard = AVDISCARD_ALL;

  int probed;
  {
    std::lock_guard<std::mutex> lock(CodecLock());
    probed = avformat::avformat_find_stream_info(input.get(), nullptr);
  }
  if (probed < 0 && Settings.Verbose >= 0)
    return fail(Format("%s: could not find codec parameters", fileName.c_str()));

  int64_t start = Settings.StartTime;
  if (input->start_time != AV_NOPTS_VALUE)
    start += input->start_time;
  if (Settings.StartTime != 0)
    avformat::av_seek_frame(input.get(), -1, start, AVSEEK_FLAG_BACKWARD);
  Settings.StartTime = 0;

  const int fileIndex = InputFileCount;
  std::vector<TCodecContextPtr> decoders;
  for (unsigned i = 0; i < input->nb_streams; ++i) {
    AVStream* stream = input->streams[i];
    const AVCodecParameters* par = stream->codecpar;
    const AVCodec* decoder = avcodec::avcodec_find_decoder(par->codec_id);
    TCodecContextPtr codec(avcodec::avcodec_alloc_context3(decoder));
    if (!codec || avcodec::avcodec_parameters_to_context(codec.get(), par) < 0)
      return fail(FormatOpenError(fileName, AVERROR(ENOMEM)));
    codec->pkt_timebase = stream->time_base;
    codec->thread_count = Settings.ThreadCount;
    switch (par->codec_type) {
    case AVMEDIA_TYPE_AUDIO:
      SetContextOptions(codec.get(), Settings.CodecOptionContexts[AVMEDIA_TYPE_AUDIO].get(),
                        AV_OPT_FLAG_AUDIO_PARAM | AV_OPT_FLAG_DECODING_PARAM);
      Settings.AudioChannels = codec->ch_layout.nb_channels;
      Settings.AudioSampleRate = codec->sample_rate;
      Settings.AudioSampleFmt = codec->sample_fmt;
      if (Settings.AudioDisable)
        stream->discard = AVDISCARD_ALL;
      break;
    case AVMEDIA_TYPE_VIDEO: {
      SetContextOptions(codec.get(), Settings.CodecOptionContexts[AVMEDIA_TYPE_VIDEO].get(),
                        AV_OPT_FLAG_VIDEO_PARAM | AV_OPT_FLAG_DECODING_PARAM);
      Settings.FrameHeight = codec->height;
      Settings.FrameWidth = codec->width;
      const AVRational sar =
          stream->sample_aspect_ratio.num ? stream->sample_aspect_ratio : codec->sample_aspect_ratio;
      Settings.FrameAspectRatio = Ratio(sar);
      if (codec->width != 0 && codec->height != 0) // a header may claim any size
        Settings.FrameAspectRatio =
            Settings.FrameAspectRatio != 0.0f
                ? float(codec->width) * Settings.FrameAspectRatio / float(codec->height)
                : float(codec->width) / float(codec->height);
      else if (Settings.FrameAspectRatio == 0.0f)
        Settings.FrameAspectRatio = 4.0f / 3.0f;
      if (codec->pix_fmt == AV_PIX_FMT_NONE && LowerExtension(fileName).rfind(".rmvb", 0) == 0)
        codec->pix_fmt = AV_PIX_FMT_YUV420P;
      Settings.FramePixFmt = codec->pix_fmt;
      Settings.PixFmtAsked = false;
      // The next output is as big as the source looks upright.
      const int turns = ClockwiseQuarterTurns(stream);
      Settings.FrameSizeTurned = Settings.AutoRotate && (turns == 1 || turns == 3);
      if (Settings.FrameSizeTurned) {
        std::swap(Settings.FrameWidth, Settings.FrameHeight);
        Settings.FrameAspectRatio = 1.0f / Settings.FrameAspectRatio;
      }
      if (Settings.MeThreshold)
        codec->debug |= 32; // motion vectors, which the threshold relies on
      // The codec-level rate is what the stream says it averages.
      if (stream->avg_frame_rate.num && stream->avg_frame_rate.den) {
        codec->framerate = stream->avg_frame_rate;
        codec->time_base = {stream->avg_frame_rate.den, stream->avg_frame_rate.num};
      }
      const AVRational rate = stream->r_frame_rate;
      if (codec->time_base.num && codec->time_base.den && rate.den &&
          (codec->time_base.den != rate.num || codec->time_base.num != rate.den) && LogEnabled(1) &&
          Settings.Verbose > 0)
        Log(1, Format("Seems stream %d codec frame rate differs from container frame rate: "
                      "%2.2f (%d/%d) -> %2.2f (%d/%d)",
                      int(i), double(codec->time_base.den) / codec->time_base.num,
                      codec->time_base.den, codec->time_base.num, double(rate.num) / rate.den,
                      rate.num, rate.den));
      Settings.FrameRate = rate;
      if (Settings.VideoDisable)
        stream->discard = AVDISCARD_ALL;
      else if (Settings.VideoDiscard)
        stream->discard = AVDiscard(Settings.VideoDiscard);
      break;
    }
    case AVMEDIA_TYPE_SUBTITLE:
      if (Settings.SubtitleDisable)
        stream->discard = AVDISCARD_ALL;
      break;
    case AVMEDIA_TYPE_UNKNOWN:
    case AVMEDIA_TYPE_DATA:
    case AVMEDIA_TYPE_ATTACHMENT:
      break;
    default:
      clearPending();
      throw FFMpegException("invalid codec_type");
    }
    decoders.push_back(std::move(codec));
  }

  if (input->duration != AV_NOPTS_VALUE) {
    const int64_t duration = input->duration / 1000;
    if (duration > RunState.TotalOutputDuration)
      RunState.TotalOutputDuration = int(std::min<int64_t>(duration, INT32_MAX));
  }
  InputRateEmulation[fileIndex] = Settings.RateEmulation;
  InputTsOffsets[fileIndex] =
      Settings.CopyTimestamps ? Settings.InputTsOffset : Settings.InputTsOffset - start;
  if (Settings.Verbose >= 0)
    avformat::av_dump_format(input.get(), fileIndex, fileName.c_str(), 0);
  InputFiles[fileIndex] = std::move(input);
  InputSources[fileIndex] = std::move(source);
  InputCodecs[fileIndex] = std::move(decoders);
  ++InputFileCount;
  clearPending();
  return true;
}

} // namespace kestro
