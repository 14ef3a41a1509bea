// Creating an output: container, streams with their encoder settings,
// metadata, and the file opened for writing.
#include "AudioFormats.h"
#include "EngineText.h"
#include "FFmpeg.h"
#include "filters/FilterChecks.h"

#include <sys/stat.h>

#include <algorithm>
#include <cmath>
#include <exception>
#include <cstring>
#include <ctime>
#include <vector>

namespace kestro {

namespace {

// The fraction nearest to d with numerator and denominator up to 255.
AVRational NearestFraction255(double d) {
  int e = int(std::log2(std::fabs(d) + 1e-20));
  if (e < 0)
    e = 0;
  const int64_t denominator = int64_t(1) << (61 - e);
  const int64_t numerator = int64_t(d * double(denominator) + 0.5);
  AVRational r{0, 1};
  avutil::av_reduce(&r.num, &r.den, numerator, denominator, 255);
  return r;
}

// |a - b| compared exactly, as reduced fractions.
AVRational Distance(AVRational a, AVRational b) {
  const int64_t num = std::llabs(int64_t(a.num) * b.den - int64_t(b.num) * a.den);
  const int64_t den = int64_t(a.den) * b.den;
  AVRational r{0, 1};
  avutil::av_reduce(&r.num, &r.den, num, den, INT32_MAX);
  return r;
}

AVRational NearestSupportedRate(const AVCodec* codec, AVRational wanted) {
  if (!codec || !codec->supported_framerates)
    return wanted;
  AVRational best = wanted;
  AVRational bestDistance{INT32_MAX, 1};
  bool first = true;
  for (const AVRational* p = codec->supported_framerates; p->num || p->den; ++p) {
    const AVRational d = Distance(*p, wanted);
    if (first || int64_t(d.num) * bestDistance.den < int64_t(bestDistance.num) * d.den) {
      best = *p;
      bestDistance = d;
      first = false;
    }
  }
  return best;
}

int Depth(AVPixelFormat format) {
  const AVPixFmtDescriptor* desc = avutil::av_pix_fmt_desc_get(format);
  return desc ? desc->comp[0].depth : 0;
}

// The pixel format the encoder is given: one asked for ("pix_fmt") when the
// encoder takes it; otherwise the source's, where it takes it, at most 8
// bits deep (what every player shows), else the encoder's nearest to it.
AVPixelFormat EncoderPixelFormat(const AVCodec* encoder, AVPixelFormat wanted, bool asked) {
  const AVPixelFormat* list = encoder ? encoder->pix_fmts : nullptr;
  if (!list)
    return wanted;
  std::vector<AVPixelFormat> plain, all;
  for (const AVPixelFormat* p = list; *p != AV_PIX_FMT_NONE; ++p) {
    all.push_back(*p);
    if (Depth(*p) <= 8)
      plain.push_back(*p);
  }
  if (all.empty())
    return wanted;
  if (asked && std::find(all.begin(), all.end(), wanted) != all.end())
    return wanted;
  std::vector<AVPixelFormat>& choice = asked || plain.empty() ? all : plain;
  if (wanted == AV_PIX_FMT_NONE || !avutil::av_pix_fmt_desc_get(wanted))
    return choice.front();
  if (std::find(choice.begin(), choice.end(), wanted) != choice.end())
    return wanted;
  choice.push_back(AV_PIX_FMT_NONE);
  const AVPixelFormat best =
      avcodec::avcodec_find_best_pix_fmt_of_list(choice.data(), wanted, 0, nullptr);
  return best == AV_PIX_FMT_NONE ? choice.front() : best;
}

// One integer of an override entry: digits with an optional sign, ending
// at the first character that cannot continue it.
bool ReadOverrideInt(const char*& p, int& value) {
  const char* start = p;
  if (*p == '+' || *p == '-')
    ++p;
  if (!std::isdigit(static_cast<unsigned char>(*p)))
    return false;
  value = int(std::strtol(start, const_cast<char**>(&p), 10));
  return true;
}

void ParseRcOverride(AVCodecContext* encoder, const char* text) {
  const char* p = text;
  int count = 0;
  while (p) {
    int start = 0, end = 0, q = 0;
    if (!ReadOverrideInt(p, start) || !*p)
      throw FFMpegException("error parsing rc_override");
    ++p;
    if (!ReadOverrideInt(p, end) || !*p)
      throw FFMpegException("error parsing rc_override");
    ++p;
    const char* qStart = p;
    if (!ReadOverrideInt(p, q))
      q = 0;
    auto* grown = static_cast<RcOverride*>(
        avutil::av_realloc(encoder->rc_override, sizeof(RcOverride) * (count + 1)));
    if (!grown)
      throw FFMpegException("error parsing rc_override");
    encoder->rc_override = grown;
    RcOverride& entry = grown[count++];
    entry.start_frame = start;
    entry.end_frame = end;
    if (q > 0) {
      entry.qscale = q;
      entry.quality_factor = 1.0f;
    } else {
      entry.qscale = 0;
      entry.quality_factor = float(-q) / 100.0f;
    }
    encoder->rc_override_count = count;
    p = std::strchr(qStart, '/');
    if (p)
      ++p;
  }
}

void SetLanguage(AVStream* stream, std::string& language) {
  if (language.empty())
    return;
  avutil::av_dict_set(&stream->metadata, "language", language.substr(0, 3).c_str(), 0);
  language.clear();
}

} // namespace

void TCustomFFmpeg::check_audio_video_sub_inputs(bool& hasVideo, bool& hasAudio,
                                                 bool& hasSubtitle) {
  hasVideo = hasAudio = hasSubtitle = false;
  for (int f = 0; f < InputFileCount; ++f)
    for (unsigned s = 0; s < InputFiles[f]->nb_streams; ++s)
      switch (InputFiles[f]->streams[s]->codecpar->codec_type) {
      case AVMEDIA_TYPE_VIDEO:
        hasVideo = hasVideo || !IsCoverPicture(InputFiles[f]->streams[s]);
        break;
      case AVMEDIA_TYPE_AUDIO:
        hasAudio = true;
        break;
      case AVMEDIA_TYPE_SUBTITLE:
        hasSubtitle = true;
        break;
      case AVMEDIA_TYPE_UNKNOWN:
      case AVMEDIA_TYPE_DATA:
      case AVMEDIA_TYPE_ATTACHMENT:
        break;
      default:
        throw FFMpegException("invalid codec_type of input file");
      }
}

namespace {

// The index `context` has, or is about to get, in the engine's outputs.
int OutputIndexOf(const TCustomFFmpeg& e, const AVFormatContext* context) {
  for (int f = 0; f < e.OutputFileCount; ++f)
    if (e.OutputFiles[f].get() == context)
      return f;
  return e.OutputFileCount;
}

} // namespace

namespace {

// Adds a stream to `context`, or raises once the per-file table is full.
AVStream* AddStream(AVFormatContext* context) {
  if (context->nb_streams >= unsigned(MaxStreams))
    throw FFMpegException("Could not alloc stream");
  AVStream* stream = avformat::avformat_new_stream(context, nullptr);
  if (!stream)
    throw FFMpegException("Could not alloc stream");
  stream->id = int(context->nb_streams) - 1;
  return stream;
}

// The pending settings a stream creator consumes, by media type.
struct TPendingStream {
  TAvTextPtr& CodecName;
  std::string* Language; // none for video
  std::vector<std::string>& Filters;
};

TPendingStream PendingOf(TCustomFFmpeg& e, AVMediaType type) {
  switch (type) {
  case AVMEDIA_TYPE_VIDEO:
    return {e.Settings.VideoCodecName, nullptr, e.Settings.VideoBitstreamFilters};
  case AVMEDIA_TYPE_AUDIO:
    return {e.Settings.AudioCodecName, &e.Settings.AudioLanguage, e.Settings.AudioBitstreamFilters};
  default:
    return {e.Settings.SubtitleCodecName, &e.Settings.SubtitleLanguage,
            e.Settings.SubtitleBitstreamFilters};
  }
}

// A creator that raises gives up its type's codec name and language, as a
// successful one consumes them.
class TCreatorGuard {
public:
  TCreatorGuard(TCustomFFmpeg& e, AVMediaType type)
      : Pending(PendingOf(e, type)), Uncaught(std::uncaught_exceptions()) {}
  ~TCreatorGuard() {
    if (std::uncaught_exceptions() > Uncaught) {
      Pending.CodecName.reset();
      if (Pending.Language)
        Pending.Language->clear();
    }
  }
  TCreatorGuard(const TCreatorGuard&) = delete;
  TCreatorGuard& operator=(const TCreatorGuard&) = delete;

private:
  TPendingStream Pending;
  int Uncaught;
};

struct TNewStream {
  AVStream* Stream;
  int File;  // index the output has, or is about to get
  int Index; // of the stream within it
};

// What every creator does first: the stream, with the type's pending
// bitstream filters moved onto it.
TNewStream BeginStream(TCustomFFmpeg& e, AVFormatContext* context, AVMediaType type) {
  AVStream* stream = AddStream(context);
  const TNewStream added{stream, OutputIndexOf(e, context), stream->index};
  TPendingStream pending = PendingOf(e, type);
  e.BitstreamFilterSpecs[added.File][added.Index] = std::move(pending.Filters);
  pending.Filters.clear();
  stream->codecpar->codec_type = type;
  return added;
}

// The stream's codec context, owned by the engine.
AVCodecContext* AttachCodecContext(TCustomFFmpeg& e, const TNewStream& added,
                                   const AVCodec* encoder, AVMediaType type) {
  TCodecContextPtr& slot = e.OutputCodecs[added.File][added.Index];
  slot.reset(avcodec::avcodec_alloc_context3(encoder));
  if (!slot)
    throw FFMpegException("Could not alloc stream");
  slot->codec_type = type;
  return slot.get();
}

} // namespace

void TCustomFFmpeg::new_video_stream(AVFormatContext* context) {
  TCreatorGuard guard(*this, AVMEDIA_TYPE_VIDEO);
  const TNewStream added = BeginStream(*this, context, AVMEDIA_TYPE_VIDEO);
  AVStream* stream = added.Stream;
  const int f = added.File, s = added.Index;

  const AVCodec* encoder = nullptr;
  AVCodecID codecId = AV_CODEC_ID_NONE;
  if (!Settings.VideoStreamCopy) {
    if (Settings.VideoCodecName) {
      if (!FindCodec(Settings.VideoCodecName.get(), AVMEDIA_TYPE_VIDEO, codecId, true, &encoder))
        throw FFMpegException(LastError);
    } else {
      codecId = avformat::av_guess_codec(context->oformat, nullptr, context->url, nullptr,
                                         AVMEDIA_TYPE_VIDEO);
      encoder = avcodec::avcodec_find_encoder(codecId);
    }
  }
  AVCodecContext* c = AttachCodecContext(*this, added, encoder, AVMEDIA_TYPE_VIDEO);
  c->thread_count = Settings.ThreadCount;
  TakePrivateOptions(encoder, EncoderOptions[f][s]);
  if (Settings.VideoCodecTag)
    c->codec_tag = unsigned(Settings.VideoCodecTag);
  AVCodecContext* defaults = Settings.CodecOptionContexts[AVMEDIA_TYPE_VIDEO].get();
  if ((Settings.VideoGlobalHeader & 1) ||
      (Settings.VideoGlobalHeader == 0 && (context->oformat->flags & AVFMT_GLOBALHEADER))) {
    c->flags |= AV_CODEC_FLAG_GLOBAL_HEADER;
    if (defaults)
      defaults->flags |= AV_CODEC_FLAG_GLOBAL_HEADER;
  }
  if (Settings.VideoGlobalHeader & 2) {
    c->flags2 |= AV_CODEC_FLAG2_LOCAL_HEADER;
    if (defaults)
      defaults->flags2 |= AV_CODEC_FLAG2_LOCAL_HEADER;
  }

  if (Settings.VideoStreamCopy) {
    StreamCopy[f][s] = true;
    stream->sample_aspect_ratio = NearestFraction255(
        Settings.FrameWidth != 0 && Settings.FrameHeight != 0
            ? Settings.FrameAspectRatio * Settings.FrameHeight / Settings.FrameWidth
            : Settings.FrameAspectRatio * 3.0 / 4.0);
    // The frame size set for this output need not be the copied picture's:
    // the run applies the aspect to that picture once it knows it.
    CopyDisplayAspect[f][s] = Settings.FrameAspectRatio;
  } else {
    const AVRational rate = Settings.FrameRate.num ? Settings.FrameRate : AVRational{25, 1};
    c->codec_id = codecId;
    SetContextOptions(c, defaults, AV_OPT_FLAG_VIDEO_PARAM | AV_OPT_FLAG_ENCODING_PARAM);
    const AVRational chosen = NearestSupportedRate(encoder, rate);
    c->time_base = {chosen.den, chosen.num};
    c->framerate = chosen;
    c->width = Settings.FrameWidth + Settings.FramePadLeft + Settings.FramePadRight;
    c->height = Settings.FrameHeight + Settings.FramePadTop + Settings.FramePadBottom;
    c->sample_aspect_ratio = NearestFraction255(
        c->width != 0 && c->height != 0 ? Settings.FrameAspectRatio * c->height / c->width
                                        : Settings.FrameAspectRatio * 3.0 / 4.0);
    stream->sample_aspect_ratio = c->sample_aspect_ratio;
    c->pix_fmt =
        EncoderPixelFormat(encoder, AVPixelFormat(Settings.FramePixFmt), Settings.PixFmtAsked);
    if (Settings.IntraOnly)
      c->gop_size = 0;
    if (Settings.VideoQScale != 0.0f || Settings.SameQuality) {
      c->flags |= AV_CODEC_FLAG_QSCALE;
      c->global_quality = int(FF_QP2LAMBDA * Settings.VideoQScale);
    }
    auto copyMatrix = [](const TAvBytesPtr& matrix) -> uint16_t* {
      if (!matrix)
        return nullptr;
      auto* copy = static_cast<uint16_t*>(avutil::av_malloc(64 * sizeof(uint16_t)));
      if (copy)
        std::memcpy(copy, matrix.get(), 64 * sizeof(uint16_t));
      return copy;
    };
    if (Settings.IntraMatrix)
      c->intra_matrix = copyMatrix(Settings.IntraMatrix);
    if (Settings.InterMatrix)
      c->inter_matrix = copyMatrix(Settings.InterMatrix);
    if (Settings.RcOverride)
      ParseRcOverride(c, Settings.RcOverride.get());
    if (c->rc_initial_buffer_occupancy == 0)
      c->rc_initial_buffer_occupancy = c->rc_buffer_size * 3 / 4;
    c->intra_dc_precision = Settings.IntraDcPrecision - 8;
    if (Settings.Psnr)
      c->flags |= AV_CODEC_FLAG_PSNR;
    if (Settings.PassNumber == 1)
      c->flags |= AV_CODEC_FLAG_PASS1;
    else if (Settings.PassNumber)
      c->flags |= AV_CODEC_FLAG_PASS2;
  }
  Settings.VideoDisable = 0;
  Settings.VideoCodecName.reset();
  Settings.VideoStreamCopy = 0;
}

void TCustomFFmpeg::new_audio_stream(AVFormatContext* context) {
  TCreatorGuard guard(*this, AVMEDIA_TYPE_AUDIO);
  const TNewStream added = BeginStream(*this, context, AVMEDIA_TYPE_AUDIO);
  AVStream* stream = added.Stream;
  const int f = added.File, s = added.Index;

  const AVCodec* encoder = nullptr;
  AVCodecID codecId = AV_CODEC_ID_NONE;
  if (!Settings.AudioStreamCopy) {
    codecId = avformat::av_guess_codec(context->oformat, nullptr, context->url, nullptr,
                                       AVMEDIA_TYPE_AUDIO);
    if (Settings.AudioCodecName &&
        !FindCodec(Settings.AudioCodecName.get(), AVMEDIA_TYPE_AUDIO, codecId, true, &encoder))
      throw FFMpegException(LastError);
    if (!encoder)
      encoder = avcodec::avcodec_find_encoder(codecId);
  }
  AVCodecContext* c = AttachCodecContext(*this, added, encoder, AVMEDIA_TYPE_AUDIO);
  c->thread_count = Settings.ThreadCount;
  TakePrivateOptions(encoder, EncoderOptions[f][s]);
  if (Settings.AudioCodecTag)
    c->codec_tag = unsigned(Settings.AudioCodecTag);
  AVCodecContext* defaults = Settings.CodecOptionContexts[AVMEDIA_TYPE_AUDIO].get();
  if (context->oformat->flags & AVFMT_GLOBALHEADER) {
    c->flags |= AV_CODEC_FLAG_GLOBAL_HEADER;
    if (defaults)
      defaults->flags |= AV_CODEC_FLAG_GLOBAL_HEADER;
  }
  avutil::av_channel_layout_uninit(&c->ch_layout);
  avutil::av_channel_layout_default(&c->ch_layout, Settings.AudioChannels);
  c->sample_rate = Settings.AudioSampleRate;
  if (Settings.AudioStreamCopy) {
    StreamCopy[f][s] = true;
  } else {
    c->codec_id = codecId;
    SetContextOptions(c, defaults, AV_OPT_FLAG_AUDIO_PARAM | AV_OPT_FLAG_ENCODING_PARAM);
    if (Settings.AudioQScale > -99999.0f) {
      c->flags |= AV_CODEC_FLAG_QSCALE;
      c->global_quality = int(FF_QP2LAMBDA * Settings.AudioQScale);
    }
    // The rate, channels and sample format asked (or the source's) are
    // where the choice among what the encoder takes starts.
    c->sample_fmt = NegotiateSampleFormat(encoder, AVSampleFormat(Settings.AudioSampleFmt));
    c->sample_rate = NegotiateSampleRate(encoder, Settings.AudioSampleRate);
    TChannelLayout asked;
    asked.Assign(c->ch_layout);
    NegotiateChannelLayout(encoder, asked.Layout, &c->ch_layout);
  }
  c->time_base = {1, c->sample_rate > 0 ? c->sample_rate : 1};
  SetLanguage(stream, Settings.AudioLanguage);
  Settings.AudioDisable = 0;
  Settings.AudioCodecName.reset();
  Settings.AudioStreamCopy = 0;
}

namespace {

bool IsTextSubtitle(AVCodecID id) {
  const AVCodecDescriptor* descriptor = avcodec::avcodec_descriptor_get(id);
  return descriptor && (descriptor->props & AV_CODEC_PROP_TEXT_SUB);
}

bool ContainerTakes(const AVOutputFormat* format, AVCodecID id) {
  return id == format->subtitle_codec ||
         avformat::avformat_query_codec(format, id, FF_COMPLIANCE_NORMAL) == 1;
}

// The text format a container keeps subtitles in: its own when that is
// text, else the first of the common ones it takes.
AVCodecID TextSubtitleCodecOf(const AVOutputFormat* format) {
  const AVCodecID candidates[] = {format->subtitle_codec, AV_CODEC_ID_MOV_TEXT,
                                  AV_CODEC_ID_SUBRIP, AV_CODEC_ID_ASS, AV_CODEC_ID_WEBVTT};
  for (AVCodecID id : candidates)
    if (id != AV_CODEC_ID_NONE && IsTextSubtitle(id) && avcodec::avcodec_find_encoder(id) &&
        ContainerTakes(format, id))
      return id;
  return AV_CODEC_ID_NONE;
}

} // namespace

const AVStream* TCustomFFmpeg::SubtitleSourceOf(const AVFormatContext* context) const {
  // The run maps output streams in creation order, across the outputs.
  int n = int(context->nb_streams);
  for (int f = 0; f < OutputFileCount && OutputFiles[f].get() != context; ++f)
    n += int(OutputFiles[f]->nb_streams);
  if (n < StreamMapCount) {
    const TStreamMap& map = StreamMaps[n];
    if (map.FileIndex < 0 || map.FileIndex >= InputFileCount || map.StreamIndex < 0 ||
        unsigned(map.StreamIndex) >= InputFiles[map.FileIndex]->nb_streams)
      return nullptr;
    return InputFiles[map.FileIndex]->streams[map.StreamIndex];
  }
  if (StreamMapCount > 0) // the maps chose the streams, and not this one
    return nullptr;
  for (int f = 0; f < InputFileCount; ++f)
    for (unsigned s = 0; s < InputFiles[f]->nb_streams; ++s)
      if (InputFiles[f]->streams[s]->codecpar->codec_type == AVMEDIA_TYPE_SUBTITLE)
        return InputFiles[f]->streams[s];
  return nullptr;
}

void TCustomFFmpeg::new_subtitle_stream(AVFormatContext* context) {
  // Without a codec named, text becomes the container's text format and a
  // picture subtitle is copied; one the container cannot hold is left out.
  AVCodecID automaticId = AV_CODEC_ID_NONE;
  auto consumePending = [this] {
    Settings.SubtitleDisable = 0;
    Settings.SubtitleLanguage.clear();
    Settings.SubtitleBitstreamFilters.clear();
  };
  if (!Settings.SubtitleStreamCopy && !Settings.SubtitleCodecName && InputFileCount > 0) {
    const AVStream* source = SubtitleSourceOf(context);
    if (!source) { // the maps leave subtitles out
      consumePending();
      return;
    }
    const AVCodecID sourceId = source->codecpar->codec_id;
    if (IsTextSubtitle(sourceId))
      automaticId = TextSubtitleCodecOf(context->oformat);
    else if (ContainerTakes(context->oformat, sourceId))
      Settings.SubtitleStreamCopy = 1;
    if (automaticId == AV_CODEC_ID_NONE && !Settings.SubtitleStreamCopy) {
      Log(1, Format("Subtitle stream (%s) left out: the %s format cannot hold it",
                    avcodec::avcodec_get_name(sourceId), context->oformat->name));
      consumePending();
      return;
    }
  }
  TCreatorGuard guard(*this, AVMEDIA_TYPE_SUBTITLE);
  const TNewStream added = BeginStream(*this, context, AVMEDIA_TYPE_SUBTITLE);
  AVStream* stream = added.Stream;
  const int f = added.File, s = added.Index;

  AVCodecID codecId = automaticId;
  const AVCodec* encoder = nullptr;
  if (!Settings.SubtitleStreamCopy && Settings.SubtitleCodecName &&
      !FindCodec(Settings.SubtitleCodecName.get(), AVMEDIA_TYPE_SUBTITLE, codecId, true, &encoder))
    throw FFMpegException(LastError);
  if (!Settings.SubtitleStreamCopy && !encoder)
    encoder = avcodec::avcodec_find_encoder(codecId);
  AVCodecContext* c = AttachCodecContext(*this, added, encoder, AVMEDIA_TYPE_SUBTITLE);
  TakePrivateOptions(encoder, EncoderOptions[f][s]);
  if (Settings.SubtitleStreamCopy) {
    StreamCopy[f][s] = true;
  } else {
    SetContextOptions(c, Settings.CodecOptionContexts[AVMEDIA_TYPE_SUBTITLE].get(),
                      AV_OPT_FLAG_SUBTITLE_PARAM | AV_OPT_FLAG_ENCODING_PARAM);
    c->codec_id = codecId;
    c->time_base = {1, 1000}; // cue times are whole milliseconds
  }
  SetLanguage(stream, Settings.SubtitleLanguage);
  Settings.SubtitleDisable = 0;
  Settings.SubtitleCodecName.reset();
  Settings.SubtitleStreamCopy = 0;
}

bool TCustomFFmpeg::OpenOutputFile(const std::string& fileName) {
  const int f = OutputFileCount;
  TFormatContextPtr context;
  auto fail = [&](const std::string& message) {
    LastError = message;
    if (f < MaxFiles)
      for (int s = 0; s < MaxStreams; ++s) {
        OutputCodecs[f][s].reset();
        StreamCopy[f][s] = false;
        CopyDisplayAspect[f][s] = 0.0f;
        BitstreamFilterSpecs[f][s].clear();
        EncoderOptions[f][s].Clear();
      }
    if (f < MaxFiles)
      MuxerOptions[f].Clear();
    Settings.PendingPrivateOptions.clear();
    if (context && context->pb && !(context->oformat->flags & AVFMT_NOFILE))
      avformat::avio_closep(&context->pb);
    Settings.ForcedOutputFormat = nullptr;
    Settings.ForcedInputFormat = nullptr;
    return false;
  };
  if (f >= MaxFiles)
    return fail(Format("%s: too many output files (at most %d)", fileName.c_str(), MaxFiles));
  if (std::string conflict = FilterOptionConflict(*this); !conflict.empty())
    return fail(conflict);
  Settings.FiltersInUse = !Settings.VideoFilters.empty();

  if (!Settings.ForcedOutputFormat)
    Settings.ForcedOutputFormat = avformat::av_guess_format(nullptr, fileName.c_str(), nullptr);
  if (!Settings.ForcedOutputFormat)
    return fail(Format("Unable to find a suitable output format for '%s'", fileName.c_str()));
  {
    AVFormatContext* raw = nullptr;
    avformat::avformat_alloc_output_context2(&raw, Settings.ForcedOutputFormat, nullptr,
                                             fileName.c_str());
    context.reset(raw);
  }
  if (!context)
    return fail(FormatOpenError(fileName, AVERROR(ENOMEM)));
  const AVOutputFormat* format = context->oformat;

  bool useVideo = format->video_codec != AV_CODEC_ID_NONE || Settings.VideoStreamCopy ||
                  Settings.VideoCodecName;
  bool useAudio = format->audio_codec != AV_CODEC_ID_NONE || Settings.AudioStreamCopy ||
                  Settings.AudioCodecName;
  // With inputs known, a subtitle stream is offered to every container; its
  // creator leaves out what the container cannot hold.
  bool useSubtitle = format->subtitle_codec != AV_CODEC_ID_NONE || Settings.SubtitleStreamCopy ||
                     Settings.SubtitleCodecName || InputFileCount > 0;
  if (InputFileCount > 0) {
    bool hasVideo, hasAudio, hasSubtitle;
    try {
      check_audio_video_sub_inputs(hasVideo, hasAudio, hasSubtitle);
    } catch (const std::exception& e) {
      return fail(Format("check_audio_video_sub_inputs fail: %s", e.what()));
    }
    useVideo = useVideo && hasVideo;
    useAudio = useAudio && hasAudio;
    useSubtitle = useSubtitle && hasSubtitle;
  }
  if (Settings.AudioDisable)
    useAudio = false;
  if (Settings.VideoDisable)
    useVideo = false;
  if (Settings.SubtitleDisable)
    useSubtitle = false;

  struct TCreator {
    bool Use;
    void (TCustomFFmpeg::*Create)(AVFormatContext*);
    const char* Failure;
  } creators[] = {
      {useVideo, &TCustomFFmpeg::new_video_stream, "new_video_stream fail: %s"},
      {useAudio, &TCustomFFmpeg::new_audio_stream, "new_audio_stream fail: %s"},
      {useSubtitle, &TCustomFFmpeg::new_subtitle_stream, "new_subtitle_stream fail: %s"},
  };
  for (const TCreator& creator : creators) {
    if (!creator.Use)
      continue;
    try {
      (this->*creator.Create)(context.get());
    } catch (const std::exception& e) {
      return fail(Format(creator.Failure, e.what()));
    }
  }

  if (std::string refused = TakeMuxerOptions(format, MuxerOptions[f]); !refused.empty())
    return fail(refused);

  if (Settings.RecordTimestamp) {
    const time_t seconds = time_t(Settings.RecordTimestamp);
    struct tm utc {};
    gmtime_r(&seconds, &utc);
    char text[32];
    std::strftime(text, sizeof text, "%Y-%m-%dT%H:%M:%S.000000Z", &utc);
    avutil::av_dict_set(&context->metadata, "creation_time", text, 0);
  }
  struct TMeta {
    const char* Key;
    const std::string& Value;
    size_t Limit;
  } meta[] = {{"title", Settings.MetaTitle, 511},         {"artist", Settings.MetaAuthor, 511},
              {"copyright", Settings.MetaCopyright, 511}, {"comment", Settings.MetaComment, 511},
              {"album", Settings.MetaAlbum, 511},         {"genre", Settings.MetaGenre, 31}};
  for (const TMeta& m : meta)
    if (!m.Value.empty())
      avutil::av_dict_set(&context->metadata, m.Key, m.Value.substr(0, m.Limit).c_str(), 0);
  if (Settings.MetaYear > 0)
    avutil::av_dict_set(&context->metadata, "date", std::to_string(Settings.MetaYear).c_str(), 0);
  if (Settings.MetaTrack > 0)
    avutil::av_dict_set(&context->metadata, "track", std::to_string(Settings.MetaTrack).c_str(), 0);

  if ((format->flags & AVFMT_NEEDNUMBER) &&
      !avformat::av_filename_number_test(context->url))
    return fail(FormatOpenError(context->url, AVERROR(EDOM)));
  if (!(format->flags & AVFMT_NOFILE) &&
      avformat::avio_open(&context->pb, fileName.c_str(), AVIO_FLAG_WRITE) < 0)
    return fail(Format("Could not open '%s'", fileName.c_str()));

  context->max_delay = int(Settings.MuxMaxDelay * 1000000);
  // Preload and loop count live in the muxers that have them.
  if (context->priv_data) {
    avutil::av_opt_set_int(context->priv_data, "preload", int64_t(Settings.MuxPreload * 1000000),
                           0);
    if (Settings.LoopOutput >= 0)
      avutil::av_opt_set_int(context->priv_data, "loop", Settings.LoopOutput, 0);
  }
  SetContextOptions(context.get(), Settings.FormatOptionContext.get(), AV_OPT_FLAG_ENCODING_PARAM);
  OutputIdentities[f] = {};
  struct stat st {};
  if (!(format->flags & AVFMT_NOFILE) && stat(fileName.c_str(), &st) == 0 && S_ISREG(st.st_mode))
    OutputIdentities[f] = {true, uint64_t(st.st_dev), uint64_t(st.st_ino)};
  OutputFiles[f].reset(context.release());
  ++OutputFileCount;
  MarkOwnContexts(); // what the libraries log from here on finds this job
  Settings.ForcedOutputFormat = nullptr;
  Settings.ForcedInputFormat = nullptr;
  return true;
}

bool TCustomFFmpeg::OutputInPlace(int f) const {
  const TFileIdentity& created = OutputIdentities[f];
  if (!created.Known)
    return true;
  const AVFormatContext* output = OutputFiles[f].get();
  struct stat st {};
  return output && output->url && stat(output->url, &st) == 0 &&
         uint64_t(st.st_dev) == created.Device && uint64_t(st.st_ino) == created.Inode;
}

void TCustomFFmpeg::CheckOutputWritten(int f, int code) {
  const AVFormatContext* output = OutputFiles[f].get();
  const char* name = output->url ? output->url : "";
  if (code >= 0 && output->pb && !(output->oformat->flags & AVFMT_NOFILE))
    code = std::min(output->pb->error, 0);
  if (code < 0)
    throw FFMpegException(Format("Could not write '%s': %s", name, ErrorText(code).c_str()));
  // Bytes written to a file no longer in its folder are lost with it.
  if (!OutputInPlace(f))
    throw FFMpegException(
        Format("Output file '%s' was removed while it was being written", name));
}

} // namespace kestro
