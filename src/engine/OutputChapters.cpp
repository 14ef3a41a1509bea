// What a source says about itself besides its streams: its tags (title,
// artist, album, ...) and its chapters, carried from the first input to every
// output. Containers without a place for them leave them out on writing.
#include "FFmpeg.h"

#include <strings.h>

#include <algorithm>

namespace kestro {

namespace {

// Tags the container writes about itself, not about the recording.
bool IsContainerBookkeeping(const char* key) {
  for (const char* own : {"major_brand", "minor_version", "compatible_brands", "encoder"})
    if (strcasecmp(key, own) == 0)
      return true;
  return false;
}

bool HasMetaDataMap(const TCustomFFmpeg& e, int output) {
  for (int i = 0; i < e.MetaDataMapCount; ++i)
    if (e.MetaDataMaps[i].OutputFileIndex == output)
      return true;
  return false;
}

// A chapter allocated the way the output context frees its own.
struct TChapterDeleter {
  void operator()(AVChapter* c) const {
    avutil::av_dict_free(&c->metadata);
    avutil::av_free(c);
  }
};
using TChapterPtr = std::unique_ptr<AVChapter, TChapterDeleter>;

} // namespace

void TCustomFFmpeg::CarrySourceMetadata() {
  if (InputFileCount <= 0)
    return;
  const AVFormatContext* source = InputFiles[0].get();
  // Source times to output times: the input's own offset, less the part
  // skipped at the start of the output.
  const int64_t shift = InputTsOffsets[0] - Settings.StartTime;
  for (int f = 0; f < OutputFileCount; ++f) {
    AVFormatContext* output = OutputFiles[f].get();

    // Tags the options set already stay; a map of tags for this output
    // decides on its own which it takes.
    if (!HasMetaDataMap(*this, f)) {
      const AVDictionaryEntry* tag = nullptr;
      while ((tag = avutil::av_dict_get(source->metadata, "", tag, AV_DICT_IGNORE_SUFFIX)))
        if (!IsContainerBookkeeping(tag->key))
          avutil::av_dict_set(&output->metadata, tag->key, tag->value, AV_DICT_DONT_OVERWRITE);
    }

    if (output->nb_chapters > 0)
      continue;
    for (unsigned i = 0; i < source->nb_chapters; ++i) {
      const AVChapter* in = source->chapters[i];
      int64_t start = avutil::av_rescale_q(in->start, in->time_base, AV_TIME_BASE_Q) + shift;
      int64_t end = avutil::av_rescale_q(in->end, in->time_base, AV_TIME_BASE_Q) + shift;
      // Only what the output records: a chapter wholly outside is left
      // out, one across an edge is cut there.
      if (end <= 0 || start >= Settings.RecordingTime)
        continue;
      start = std::max<int64_t>(start, 0);
      end = std::min(end, Settings.RecordingTime);
      TChapterPtr out(static_cast<AVChapter*>(avutil::av_mallocz(sizeof(AVChapter))));
      if (!out)
        throw FFMpegException("av_mallocz fail");
      out->id = in->id;
      out->time_base = in->time_base;
      out->start = avutil::av_rescale_q(start, AV_TIME_BASE_Q, in->time_base);
      out->end = avutil::av_rescale_q(end, AV_TIME_BASE_Q, in->time_base);
      if (avutil::av_dict_copy(&out->metadata, in->metadata, 0) < 0)
        throw FFMpegException("av_mallocz fail");
      // The helper counts in int; on failure it frees the list, not the chapter.
      int count = int(output->nb_chapters);
      avutil::av_dynarray_add(&output->chapters, &count, out.get());
      if (!output->chapters) {
        output->nb_chapters = 0;
        throw FFMpegException("av_mallocz fail");
      }
      out.release();
      output->nb_chapters = unsigned(count);
    }
  }
}

} // namespace kestro
