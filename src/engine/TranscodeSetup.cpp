// The run's set-up: stream tables, the source of every output stream,
// encoder or copy parameters, scalers, two-pass files, codecs, headers.
#include "AudioOutput.h"
#include "EngineText.h"
#include "FFmpeg.h"
#include "PictureOps.h"
#include "PictureStage.h"
#include "Muxer.h"
#include "RunTables.h"
#include "VideoOutput.h"

#include <algorithm>
#include <cmath>
#include <cstring>

namespace kestro {

namespace {

const char* Language(const AVStream* stream) {
  const AVDictionaryEntry* e = avutil::av_dict_get(stream->metadata, "language", nullptr, 0);
  return e ? e->value : nullptr;
}

// The decoder's tag goes along unless the output format knows the codec
// under a different tag.
unsigned CopiedCodecTag(const AVOutputFormat* format, const AVCodecParameters* source) {
  if (!format->codec_tag ||
      avformat::av_codec_get_id(format->codec_tag, source->codec_tag) != AV_CODEC_ID_NONE ||
      avformat::av_codec_get_tag(format->codec_tag, source->codec_id) == 0)
    return source->codec_tag;
  return 0;
}

// The source's colour description goes with its pictures: primaries and
// transfer always; matrix and range where both sides are YUV (a picture
// made from RGB or gray is made with the default matrix).
void DescribeColours(AVCodecContext* enc, const AVCodecParameters* source) {
  enc->color_primaries =
      KnownOrUnspecified(source->color_primaries, AVCOL_PRI_NB, AVCOL_PRI_UNSPECIFIED);
  enc->color_trc = KnownOrUnspecified(source->color_trc, AVCOL_TRC_NB, AVCOL_TRC_UNSPECIFIED);
  if (!IsYuvFormat(source->format) || !IsYuvFormat(enc->pix_fmt))
    return;
  enc->colorspace = KnownOrUnspecified(source->color_space, AVCOL_SPC_NB, AVCOL_SPC_UNSPECIFIED);
  enc->color_range =
      KnownOrUnspecified(source->color_range, AVCOL_RANGE_NB, AVCOL_RANGE_UNSPECIFIED);
}

// An open hands back the options it did not use: none may be dropped.
void RefuseUnused(const TDictionary& options) {
  if (const AVDictionaryEntry* left = options.First())
    throw FFMpegException(Format("Unrecognized option '%s'", left->key));
}

// Gives `to` the display matrix of `from`, so that players still turn its
// pictures upright.
void KeepDisplayMatrix(const AVStream* from, AVStream* to) {
  const uint8_t* matrix = DisplayMatrixOf(from);
  if (!matrix)
    return;
  const size_t size = 9 * sizeof(int32_t);
  uint8_t* copy = avformat::av_stream_new_side_data(to, AV_PKT_DATA_DISPLAYMATRIX, size);
  if (!copy)
    throw FFMpegException("av_mallocz fail");
  std::memcpy(copy, matrix, size);
}

// The decoder's style header (ASS), which the text subtitle encoders take
// their styles from and refuse to open without.
template <typename F>
void CopySubtitleHeader(TInputStreamState& ist, AVCodecContext* enc, F&& openDecoder) {
  openDecoder(ist);
  const AVCodecContext* dec = ist.Decoder;
  if (!dec->subtitle_header || dec->subtitle_header_size <= 0 || enc->subtitle_header)
    return;
  enc->subtitle_header = static_cast<uint8_t*>(
      avutil::av_mallocz(size_t(dec->subtitle_header_size) + 1));
  if (!enc->subtitle_header)
    throw FFMpegException("av_mallocz fail");
  std::memcpy(enc->subtitle_header, dec->subtitle_header, size_t(dec->subtitle_header_size));
  enc->subtitle_header_size = dec->subtitle_header_size;
}

} // namespace

void TCustomFFmpeg::Transcode() {
  try {
    SetupRun();
    RunMainLoop();
    EndRun();
  } catch (...) {
    // The output side stops before the codecs it uses close.
    if (Run && Run->OutputSide)
      Run->OutputSide->Abandon();
    CloseOpenEncoders();
    CloseOpenDecoders();
    Run.reset();
    throw;
  }
}

void TCustomFFmpeg::MarkOwnContexts() {
  // Set before any codec opens: codec threads work on copies of the context
  // and carry this mark along. A mark already there is not written again,
  // as other threads may be reading it.
  const auto mark = [this](auto* context) {
    if (context && context->opaque != this)
      context->opaque = this;
  };
  for (int f = 0; f < InputFileCount; ++f) {
    mark(InputFiles[f].get());
    for (TCodecContextPtr& decoder : InputCodecs[f])
      mark(decoder.get());
  }
  for (int f = 0; f < OutputFileCount; ++f) {
    mark(OutputFiles[f].get());
    for (TCodecContextPtr& encoder : OutputCodecs[f])
      mark(encoder.get());
  }
}

TPictureRules TCustomFFmpeg::PictureRules(const TInputStreamState& input) const {
  TPictureRules rules;
  // Pictures are turned upright when asked to and the turn is a right angle.
  const int turns = ClockwiseQuarterTurns(input.Stream);
  rules.QuarterTurns = Settings.AutoRotate && turns > 0 ? turns : 0;
  rules.SwsFlags = Settings.SwsFlags;
  if (Settings.FiltersInUse)
    rules.Chain = Settings.VideoFilters;
  rules.Cropped = Settings.FrameTopCrop + Settings.FrameBottomCrop + Settings.FrameLeftCrop +
                      Settings.FrameRightCrop !=
                  0;
  rules.PadWidth = Settings.FramePadLeft + Settings.FramePadRight;
  rules.PadHeight = Settings.FramePadTop + Settings.FramePadBottom;
  rules.FrameWidth = Settings.FrameWidth;
  rules.FrameHeight = Settings.FrameHeight;
  return rules;
}

void TCustomFFmpeg::SetupRun() {
  // The counts are only ever raised by a successful open; a table that
  // disagrees with them is refused rather than read.
  for (int f = 0; f < InputFileCount; ++f)
    if (!InputFiles[f])
      throw FFMpegException("Must supply at least one input file");
  for (int f = 0; f < OutputFileCount; ++f)
    if (!OutputFiles[f])
      throw FFMpegException("Must supply at least one output file");
  MarkOwnContexts();
  Run = std::make_unique<TRunTables>();
  TRunTables& run = *Run;

  // Input tables.
  run.InputFileStates.resize(InputFileCount);
  for (int f = 0; f < InputFileCount; ++f) {
    AVFormatContext* input = InputFiles[f].get();
    run.InputFileStates[f].FirstStream = int(run.InputStreams.size());
    run.InputFileStates[f].StreamCount = int(input->nb_streams);
    for (unsigned s = 0; s < input->nb_streams; ++s) {
      auto state = std::make_unique<TInputStreamState>();
      state->FileIndex = f;
      state->StreamIndex = int(s);
      state->Stream = input->streams[s];
      state->Decoder = s < InputCodecs[f].size() ? InputCodecs[f][s].get() : nullptr;
      state->Discard = 1;
      state->RateEmulation = InputRateEmulation[f];
      if (state->RateEmulation) {
        state->ReadStart = avutil::av_gettime();
        state->FramesRead = 0;
      }
      run.InputStreams.push_back(std::move(state));
    }
  }

  // Output stream count and the maps.
  int outputStreamCount = 0;
  for (int f = 0; f < OutputFileCount; ++f) {
    if (OutputFiles[f]->nb_streams == 0)
      throw FFMpegException("Output file does not contain any stream");
    outputStreamCount += int(OutputFiles[f]->nb_streams);
  }
  if (StreamMapCount >= 1 && StreamMapCount != outputStreamCount)
    throw FFMpegException("Number of stream maps must match number of output streams");
  auto validStream = [&](int file, int stream) {
    return file >= 0 && file < InputFileCount && stream >= 0 &&
           stream < run.InputFileStates[file].StreamCount;
  };
  for (int i = 0; i < StreamMapCount; ++i) {
    const TStreamMap& map = StreamMaps[i];
    if (!validStream(map.FileIndex, map.StreamIndex))
      throw FFMpegException(
          Format("Could not find input stream #%d.%d", map.FileIndex, map.StreamIndex));
    if (!validStream(map.SyncFileIndex, map.SyncStreamIndex))
      throw FFMpegException(Format("Could not find sync stream #%d.%d", map.SyncFileIndex,
                                   map.SyncStreamIndex));
  }

  // Output stream table and the source of each stream.
  auto inputType = [&](int index) {
    return run.InputStreams[index]->Stream->codecpar->codec_type;
  };
  // What a stream is taken for when no map names it: a cover picture is not
  // the video of a song.
  auto automaticType = [&](int index) {
    return IsCoverPicture(run.InputStreams[index]->Stream) ? AVMEDIA_TYPE_ATTACHMENT
                                                           : inputType(index);
  };
  int n = 0;
  for (int f = 0; f < OutputFileCount; ++f) {
    AVFormatContext* output = OutputFiles[f].get();
    for (unsigned s = 0; s < output->nb_streams; ++s, ++n) {
      auto ost = std::make_unique<TOutputStreamState>();
      ost->Output = output;
      ost->FileIndex = f;
      ost->StreamIndex = int(s);
      ost->Stream = output->streams[s];
      ost->Encoder = OutputCodecs[f][s].get();
      const AVMediaType type = ost->Encoder->codec_type;
      int source = -1;
      if (StreamMapCount) {
        const TStreamMap& map = StreamMaps[n];
        source = run.InputFileStates[map.FileIndex].FirstStream + map.StreamIndex;
        if (inputType(source) != type) {
          avformat::av_dump_format(output, f, output->url, 1);
          throw FFMpegException(Format("Codec type mismatch for mapping #%d.%d -> #%d.%d",
                                       map.FileIndex, map.StreamIndex, f, int(s)));
        }
      } else if (Settings.ProgramId) {
        for (int i = 0; i < InputFileCount && source < 0; ++i) {
          AVFormatContext* input = InputFiles[i].get();
          for (unsigned p = 0; p < input->nb_programs && source < 0; ++p) {
            const AVProgram* program = input->programs[p];
            if (program->id != Settings.ProgramId)
              continue;
            for (unsigned k = 0; k < program->nb_stream_indexes && source < 0; ++k) {
              const int candidate =
                  run.InputFileStates[i].FirstStream + int(program->stream_index[k]);
              if (run.InputStreams[candidate]->Discard && automaticType(candidate) == type)
                source = candidate;
            }
          }
        }
      } else {
        for (int i = 0; i < int(run.InputStreams.size()) && source < 0; ++i)
          if (run.InputStreams[i]->Discard && automaticType(i) == type)
            source = i;
        if (source < 0)
          for (int i = int(run.InputStreams.size()) - 1; i >= 0 && source < 0; --i)
            if (automaticType(i) == type)
              source = i;
      }
      if (source < 0) {
        avformat::av_dump_format(output, f, output->url, 1);
        throw FFMpegException(
            Format("Could not find input stream matching output stream #%d.%d", f, int(s)));
      }
      ost->SourceStreamIndex = source;
      run.InputStreams[source]->Discard = 0;
      if (StreamMapCount) {
        const TStreamMap& map = StreamMaps[n];
        ost->SyncInput =
            run.InputStreams[run.InputFileStates[map.SyncFileIndex].FirstStream +
                             map.SyncStreamIndex]
                .get();
      } else {
        ost->SyncInput = run.InputStreams[source].get();
      }
      run.OutputStreams.push_back(std::move(ost));
    }
  }

  // Parameters of every output stream.
  for (size_t n = 0; n < run.OutputStreams.size(); ++n) {
    TOutputStreamState& ost = *run.OutputStreams[n];
    TInputStreamState& ist = *run.InputStreams[ost.SourceStreamIndex];
    AVCodecContext* enc = ost.Encoder;
    const AVCodecParameters* source = ist.Stream->codecpar;
    if (!Language(ost.Stream))
      if (const char* language = Language(ist.Stream))
        avutil::av_dict_set(&ost.Stream->metadata, "language",
                            std::string(language).substr(0, 3).c_str(), 0);
    ost.Stream->disposition = ist.Stream->disposition;

    if (StreamCopy[ost.FileIndex][ost.StreamIndex]) {
      AVCodecParameters* par = ost.Stream->codecpar;
      const unsigned tag = enc->codec_tag;
      avcodec::avcodec_parameters_copy(par, source);
      par->codec_tag = tag ? tag : CopiedCodecTag(ost.Output->oformat, source);
      if (par->codec_type == AVMEDIA_TYPE_VIDEO) {
        // Muxers refuse a stream whose aspect differs from its parameters'.
        const float aspect = CopyDisplayAspect[ost.FileIndex][ost.StreamIndex];
        AVRational sar = ist.Stream->sample_aspect_ratio.num ? ist.Stream->sample_aspect_ratio
                                                             : source->sample_aspect_ratio;
        if (aspect > 0.0f && par->width > 0 && par->height > 0)
          avutil::av_reduce(&sar.num, &sar.den,
                            llrint(double(aspect) * par->height * 10000.0),
                            int64_t(par->width) * 10000, 255);
        ost.Stream->sample_aspect_ratio = par->sample_aspect_ratio = sar;
        ost.Stream->avg_frame_rate = ist.Stream->avg_frame_rate;
        ost.Stream->r_frame_rate = ist.Stream->r_frame_rate;
        KeepDisplayMatrix(ist.Stream, ost.Stream);
      }
      // The source's own clock: a coarser one would make the time stamps
      // of a variable frame rate collide.
      ost.Stream->time_base = ist.Stream->time_base;
      switch (par->codec_type) {
      case AVMEDIA_TYPE_AUDIO:
        if (Settings.AudioVolume != 256)
          throw FFMpegException("-acodec copy and -vol are incompatible (frames are not decoded)");
        if ((par->block_align == 1 && par->codec_id == AV_CODEC_ID_MP3) ||
            par->codec_id == AV_CODEC_ID_AC3)
          par->block_align = 0;
        break;
      case AVMEDIA_TYPE_VIDEO:
        if (CustomHookCallback)
          throw FFMpegException(
              "-vcodec copy and CustomHook are incompatible (frames are not decoded)");
        if (Settings.FrameHooksInUse)
          throw FFMpegException("-vcodec copy and -vhook are incompatible (frames are not decoded)");
        break;
      case AVMEDIA_TYPE_SUBTITLE:
        break;
      default:
        throw FFMpegException("invalid codec_type of output stream");
      }
      continue;
    }

    switch (enc->codec_type) {
    case AVMEDIA_TYPE_AUDIO:
      // Samples that reach the encoder in the source's own format keep its
      // depth: a 24-bit source in 32-bit samples is coded as 24 bits.
      if (enc->bits_per_raw_sample == 0 && source->bits_per_raw_sample > 0 &&
          avutil::av_get_packed_sample_fmt(enc->sample_fmt) ==
              avutil::av_get_packed_sample_fmt(AVSampleFormat(source->format)))
        enc->bits_per_raw_sample = source->bits_per_raw_sample;
      ost.Audio = MakeAudioOutput(ost, source->sample_rate);
      break;
    case AVMEDIA_TYPE_VIDEO: {
      ost.Video = std::make_unique<TVideoOutput>(*VideoLink, ost);
      ost.Video->SetUp({Settings.FrameTopCrop, Settings.FrameBottomCrop, Settings.FrameLeftCrop,
                        Settings.FrameRightCrop},
                       {Settings.FramePadTop, Settings.FramePadBottom, Settings.FramePadLeft,
                        Settings.FramePadRight});
      int64_t flags = Settings.SwsFlags;
      if (Settings.ScalerOptionContext &&
          avutil::av_opt_get_int(Settings.ScalerOptionContext.get(), "sws_flags", 0, &flags) >= 0)
        Settings.SwsFlags = unsigned(flags);
      DescribeColours(enc, source);
      // Pictures are turned upright when asked to and the turn is a right
      // angle; otherwise the output keeps the tag.
      const int turns = ClockwiseQuarterTurns(ist.Stream);
      if (!Settings.AutoRotate || turns < 0)
        KeepDisplayMatrix(ist.Stream, ost.Stream);
      ost.MustEncode = 1;
      ist.MustDecode = 1;
      if (!ist.Pictures)
        ist.Pictures = std::make_unique<TPictureStage>(*PictureLink, ist, ost.SourceStreamIndex,
                                                       PictureRules(ist));
      if (!ist.Pictures->SetUp(ost)) {
        const std::string& why = ist.Pictures->Error();
        LastError = why.empty() ? "Error opening filters!" : "Error opening filters: " + why;
        throw FFMpegException(LastError);
      }
      break;
    }
    case AVMEDIA_TYPE_SUBTITLE:
      break;
    default:
      throw FFMpegException("invalid codec_type of output stream");
    }
    ost.MustEncode = 1;
    ist.MustDecode = 1;

    // Two-pass statistics files.
    if (enc->flags & (AV_CODEC_FLAG_PASS1 | AV_CODEC_FLAG_PASS2)) {
      std::string name = (Settings.PassLogFileName.empty() ? std::string("ffmpeg2pass")
                                                           : Settings.PassLogFileName) +
                         "-" + std::to_string(n) + ".log";
      if (name.size() >= 1024)
        name.resize(1023);
      if (enc->flags & AV_CODEC_FLAG_PASS1) {
        ost.PassLogFile = myutil::my_fopen(name.c_str(), "w");
        if (!ost.PassLogFile)
          throw FFMpegException("creat file fail: " + name);
      } else {
        FILE* file = myutil::my_fopen(name.c_str(), "r");
        if (!file)
          throw FFMpegException("creat open fail: " + name);
        myutil::my_fseek(file, 0, SEEK_END);
        const long size = myutil::my_ftell(file);
        myutil::my_fseek(file, 0, SEEK_SET);
        char* buffer = size >= 0 ? static_cast<char*>(avutil::av_malloc(size_t(size) + 1)) : nullptr;
        if (!buffer) {
          myutil::my_fclose(file);
          throw FFMpegException("Could not allocate log buffer");
        }
        const size_t read = myutil::my_fread(buffer, 1, size_t(size), file);
        myutil::my_fclose(file);
        buffer[read] = 0;
        enc->stats_in = buffer;
      }
    }
  }

  for (int f = 0; f < OutputFileCount; ++f)
    avformat::av_dump_format(OutputFiles[f].get(), f, OutputFiles[f]->url, 1);

  if (Settings.Verbose >= 0 && LogCallback) {
    Log(1, "Stream mapping:");
    for (auto& ost : run.OutputStreams) {
      const TInputStreamState& source = *run.InputStreams[ost->SourceStreamIndex];
      Log(1, Format("  Stream #%d.%d -> #%d.%d", source.FileIndex, source.StreamIndex,
                    ost->FileIndex, ost->StreamIndex));
      if (ost->SyncInput != &source)
        Log(1, Format(" [sync #%d.%d]", ost->SyncInput->FileIndex, ost->SyncInput->StreamIndex));
    }
  }

  // Encoders, then decoders, each opened under the codec lock. A subtitle
  // encoder needs the style header its source's decoder makes when it opens.
  auto openDecoder = [&](TInputStreamState& ist) {
    if (avcodec::avcodec_is_open(ist.Decoder))
      return;
    const AVCodec* codec = avcodec::avcodec_find_decoder(ist.Decoder->codec_id);
    if (!codec)
      throw FFMpegException(Format("Unsupported codec (id=%d) for input stream #%d.%d",
                                   int(ist.Decoder->codec_id), ist.FileIndex, ist.StreamIndex));
    // With the output side on its own thread, a video decoder may take the
    // cores the run was given. One that decodes a picture per thread gets a
    // thread more: its threads wait on each other's reference pictures, and
    // the spare one keeps a core busy meanwhile (on two cores, 3 threads
    // decode 720p H.264 a tenth faster than 2, at the same CPU time).
    // A stream decoded in stretches keeps its own decoder on one thread: the
    // stretches' decoders do the work.
    if (ist.Stream->codecpar->codec_type == AVMEDIA_TYPE_VIDEO && ist.Decoder->thread_count == 1 &&
        DecoderThreadsFit() && !SegmentDecodingFits(ist))
      ist.Decoder->thread_count =
          CoresForRun() + ((codec->capabilities & AV_CODEC_CAP_FRAME_THREADS) ? 1 : 0);
    std::lock_guard<std::mutex> lock(CodecLock());
    if (avcodec::avcodec_open2(ist.Decoder, codec, nullptr) < 0)
      throw FFMpegException(Format("Error while opening codec for input stream #%d.%d",
                                   ist.FileIndex, ist.StreamIndex));
    RunState.OpenDecoders.push_front(&ist);
  };
  for (auto& ost : run.OutputStreams) {
    if (!ost->MustEncode)
      continue;
    AVCodecContext* enc = ost->Encoder;
    // The encoder chosen by name, which need not be the first of its codec.
    const AVCodec* codec = enc->codec ? enc->codec : avcodec::avcodec_find_encoder(enc->codec_id);
    if (!codec)
      throw FFMpegException(Format("Unsupported codec for output stream #%d.%d", ost->FileIndex,
                                   ost->StreamIndex));
    if (enc->codec_type == AVMEDIA_TYPE_SUBTITLE)
      CopySubtitleHeader(*run.InputStreams[ost->SourceStreamIndex], enc, openDecoder);
    {
      std::lock_guard<std::mutex> lock(CodecLock());
      TDictionary& options = EncoderOptions[ost->FileIndex][ost->StreamIndex];
      if (avcodec::avcodec_open2(enc, codec, &options.Dict) < 0)
        throw FFMpegException(Format("Error while opening codec for output stream #%d.%d - maybe "
                                     "incorrect parameters such as bit_rate, rate, width or height",
                                     ost->FileIndex, ost->StreamIndex));
      RunState.OpenEncoders.push_front(ost.get());
      RefuseUnused(options);
    }
    // The muxer learns the stream from the opened encoder.
    avcodec::avcodec_parameters_from_context(ost->Stream->codecpar, enc);
    ost->Stream->time_base = enc->time_base;
    RunState.GlobalHeaderBytes += enc->extradata_size;
  }
  for (auto& ist : run.InputStreams)
    if (ist->MustDecode)
      openDecoder(*ist);

  for (auto& ist : run.InputStreams) {
    ist->Pts = 0;
    ist->NextPts = NoTimestamp;
    ist->AtStart = 1;
  }

  // Bitstream filters see the stream's final parameters.
  Muxer->Close();
  for (auto& ost : run.OutputStreams)
    Muxer->SetUp(*ost, BitstreamFilterSpecs[ost->FileIndex][ost->StreamIndex]);

  CarrySourceMetadata();
  // Meta-data maps.
  for (int i = 0; i < MetaDataMapCount; ++i) {
    const TMetaDataMap& map = MetaDataMaps[i];
    if (map.OutputFileIndex < 0 || map.OutputFileIndex >= OutputFileCount)
      throw FFMpegException(Format("Invalid output file index %d map_meta_data(%d,%d)",
                                   map.OutputFileIndex, map.OutputFileIndex, map.InputFileIndex));
    if (map.InputFileIndex < 0 || map.InputFileIndex >= InputFileCount)
      throw FFMpegException(Format("Invalid input file index %d map_meta_data(%d,%d)",
                                   map.InputFileIndex, map.OutputFileIndex, map.InputFileIndex));
    const AVDictionary* from = InputFiles[map.InputFileIndex]->metadata;
    AVDictionary** to = &OutputFiles[map.OutputFileIndex]->metadata;
    for (const char* key :
         {"title", "artist", "author", "copyright", "comment", "album", "date", "track", "genre"})
      if (const AVDictionaryEntry* e = avutil::av_dict_get(from, key, nullptr, 0))
        avutil::av_dict_set(to, key, e->value, 0);
  }

  bool allRtp = OutputFileCount > 0;
  for (int f = 0; f < OutputFileCount; ++f) {
    CheckOutputWritten(f, 0); // a file removed since it was created is not written at all
    if (avformat::avformat_write_header(OutputFiles[f].get(), &MuxerOptions[f].Dict) < 0) {
      CheckOutputWritten(f, 0);
      throw FFMpegException(Format(
          "Could not write header for output file #%d (incorrect codec parameters ?)", f));
    }
    RefuseUnused(MuxerOptions[f]);
    allRtp = allRtp && std::strcmp(OutputFiles[f]->oformat->name, "rtp") == 0;
  }
  if (allRtp && LogCallback) {
    char sdp[2048] = {0};
    std::vector<AVFormatContext*> outputs;
    for (int f = 0; f < OutputFileCount; ++f)
      outputs.push_back(OutputFiles[f].get());
    avformat::av_sdp_create(outputs.data(), OutputFileCount, sdp, sizeof sdp);
    std::string text = sdp;
    const size_t first = text.find_first_not_of(" \t\r\n");
    const size_t last = text.find_last_not_of(" \t\r\n");
    Log(1, "SDP: " + (first == std::string::npos ? std::string() : text.substr(first, last - first + 1)));
  }

  RunState.StartWallClock = avutil::av_gettime();
  run.LastReportTime = RunState.StartWallClock;
}

} // namespace kestro
