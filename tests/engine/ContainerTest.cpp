// What today's containers carry besides pictures and sound: the turn a phone
// records its video with, chapters and tags, and text or bitmap subtitles.
#include "AVProbe.h"
#include "BatchOutput.h"
#include "ConversionTestSupport.h"
#include "MediaReadBack.h"
#include "OutputTestSupport.h"
#include "PictureOps.h"

#include <gtest/gtest.h>

#include <cmath>
#include <cstring>

using namespace kestro;
using namespace kestro::test;

namespace {

struct TCue {
  double Start = 0, End = 0;
  std::string Text;
  std::string Codec;
};

// Every cue of the file's first subtitle stream that is read (not a hidden
// track such as a chapter list), decoded to its text.
std::vector<TCue> ReadCues(const std::string& path) {
  std::vector<TCue> cues;
  TInputContextPtr file = OpenForReading(path);
  if (!file)
    return cues;
  int index = -1;
  for (unsigned i = 0; i < file->nb_streams && index < 0; ++i)
    if (file->streams[i]->codecpar->codec_type == AVMEDIA_TYPE_SUBTITLE &&
        file->streams[i]->discard != AVDISCARD_ALL)
      index = int(i);
  if (index < 0)
    return cues;
  const AVStream* stream = file->streams[index];
  const AVCodec* codec = avcodec::avcodec_find_decoder(stream->codecpar->codec_id);
  TCodecContextPtr dec(avcodec::avcodec_alloc_context3(codec));
  if (!dec || avcodec::avcodec_parameters_to_context(dec.get(), stream->codecpar) < 0)
    return cues;
  dec->pkt_timebase = stream->time_base;
  if (avcodec::avcodec_open2(dec.get(), codec, nullptr) < 0)
    return cues;
  const std::string codecName = avcodec::avcodec_get_name(stream->codecpar->codec_id);
  TPacketPtr packet(avcodec::av_packet_alloc());
  while (avformat::av_read_frame(file.get(), packet.get()) >= 0) {
    if (packet->stream_index == index) {
      AVSubtitle subtitle{};
      int got = 0;
      if (avcodec::avcodec_decode_subtitle2(dec.get(), &subtitle, &got, packet.get()) >= 0 &&
          got) {
        const AVRational tb = stream->time_base;
        TCue cue;
        cue.Codec = codecName;
        cue.Start = double(packet->pts) * tb.num / tb.den;
        cue.End = double(packet->pts + packet->duration) * tb.num / tb.den;
        for (unsigned r = 0; r < subtitle.num_rects; ++r)
          if (subtitle.rects[r]->ass)
            cue.Text += subtitle.rects[r]->ass;
        cues.push_back(cue);
        avcodec::avsubtitle_free(&subtitle);
      }
    }
    avcodec::av_packet_unref(packet.get());
  }
  return cues;
}

class Subtitles : public ConversionTest {};

// A text track comes out as the text format its container keeps, with each
// cue's words and times.
TEST_F(Subtitles, TextTrackBecomesTheContainersTextFormat) {
  struct TCase {
    const char* Name;
    std::vector<std::string> Codecs; // any of these
  } cases[] = {
      {"cues.mp4", {"mov_text"}},
      {"cues.mkv", {"subrip", "ass"}},
      {"cues.mov", {"mov_text"}},
      {"cues.webm", {"webvtt"}},
  };
  for (const TCase& c : cases) {
    SCOPED_TRACE(c.Name);
    const TResult result = Convert(Fixtures::SubtitlesMkv.Name, c.Name, "");
    ASSERT_TRUE(result.Finished) << result.Message;
    const std::vector<TCue> cues = ReadCues(result.Path);
    ASSERT_EQ(cues.size(), std::size(Fixtures::SubtitlesMkvCues));
    for (size_t i = 0; i < cues.size(); ++i) {
      const Fixtures::SubtitleCue& want = Fixtures::SubtitlesMkvCues[i];
      EXPECT_NE(std::find(c.Codecs.begin(), c.Codecs.end(), cues[i].Codec), c.Codecs.end())
          << cues[i].Codec;
      EXPECT_NE(cues[i].Text.find(want.Text), std::string::npos) << cues[i].Text;
      EXPECT_NEAR(cues[i].Start, want.StartSec, 0.01);
      EXPECT_NEAR(cues[i].End, want.EndSec, 0.01);
    }
  }
}

// Streams chosen by map are all an output gets: an unmapped subtitle track
// is no stream of its own, whatever the container could hold.
TEST_F(Subtitles, MapsLeaveOutUnmappedTracks) {
  for (const char* name : {"mapped.mp4", "mapped.mkv"}) {
    SCOPED_TRACE(name);
    const TResult result = Convert(Fixtures::SubtitlesMkv.Name, name, "map=0:0\nmap=0:1");
    ASSERT_TRUE(result.Finished) << result.Message;
    const TFileSummary out = ReadBack(result.Path);
    EXPECT_EQ(out.Streams.size(), 2u);
    EXPECT_EQ(out.First(AVMEDIA_TYPE_SUBTITLE), nullptr);
  }
}

// A subtitle track comes and goes; it neither stretches a recording cut
// short nor keeps the other streams waiting for the next cue.
TEST_F(Subtitles, RecordingLimitHoldsWithSubtitleTracks) {
  using namespace Fixtures;
  for (const char* name : {"limited.mkv", "limited.mp4"}) {
    SCOPED_TRACE(name);
    const TResult result = Convert(SparseCuesMkv.Name, name, "vcodec=mpeg4\nt=5");
    ASSERT_TRUE(result.Finished) << result.Message;
    const TFileSummary out = ReadBack(result.Path);
    const TStreamSummary* video = out.First(AVMEDIA_TYPE_VIDEO);
    ASSERT_NE(video, nullptr);
    EXPECT_NEAR(video->DurationSec, 5.0, 0.25);
    const std::vector<TCue> cues = ReadCues(result.Path);
    ASSERT_EQ(cues.size(), 1u);
    EXPECT_NEAR(cues[0].Start, SparseCuesMkvCues[0].StartSec, 0.01);
  }
}

// Cues far apart are no break in the source's clock: the pictures and
// sound after a late cue keep their times.
TEST_F(Subtitles, CuesFarApartLeaveTheClockAlone) {
  using namespace Fixtures;
  for (const char* name : {"sparse.mkv", "sparse.mp4"}) {
    SCOPED_TRACE(name);
    const TResult result = Convert(SparseCuesMkv.Name, name, "vcodec=mpeg4");
    ASSERT_TRUE(result.Finished) << result.Message;
    const TFileSummary out = ReadBack(result.Path);
    const TStreamSummary* video = out.First(AVMEDIA_TYPE_VIDEO);
    ASSERT_NE(video, nullptr);
    EXPECT_EQ(video->Packets, SparseCuesMkv.VideoFrames);
    EXPECT_NEAR(video->DurationSec, SparseCuesMkv.DurationSec, 0.25);
    const std::vector<TCue> cues = ReadCues(result.Path);
    ASSERT_EQ(cues.size(), std::size(SparseCuesMkvCues));
    EXPECT_NEAR(cues[1].Start, SparseCuesMkvCues[1].StartSec, 0.01);
  }
}

// Picture subtitles are copied into a container that takes them; one that
// does not gets the rest of the conversion and a line saying what was left out.
TEST_F(Subtitles, PictureTrackIsCopiedOrLeftOut) {
  struct TCase {
    const char* Name;
    bool Kept;
  } cases[] = {{"pictures.mkv", true}, {"pictures.mp4", true}, {"pictures.avi", false}};
  for (const TCase& c : cases) {
    SCOPED_TRACE(c.Name);
    TRecorder log;
    const TResult result = Convert(Fixtures::BitmapSubtitlesMkv.Name, c.Name, "", &log);
    ASSERT_TRUE(result.Finished) << result.Message;
    const TFileSummary out = ReadBack(result.Path);
    ASSERT_NE(out.First(AVMEDIA_TYPE_VIDEO), nullptr);
    ASSERT_NE(out.First(AVMEDIA_TYPE_AUDIO), nullptr);
    const TStreamSummary* subtitles = out.First(AVMEDIA_TYPE_SUBTITLE);
    EXPECT_EQ(log.Logged("dvd_subtitle) left out"), !c.Kept);
    if (!c.Kept) {
      EXPECT_EQ(subtitles, nullptr);
      continue;
    }
    ASSERT_NE(subtitles, nullptr);
    EXPECT_EQ(subtitles->Codec, "dvd_subtitle");
    EXPECT_EQ(subtitles->Packets, int(std::size(Fixtures::SubtitlesMkvCues)));
  }
}

// ---- Turned pictures ---------------------------------------------------------

// Mean luma of a square of `size` pixels at (x, y).
double MeanLuma(const AVFrame* frame, int x, int y, int size) {
  double sum = 0;
  for (int row = y; row < y + size; ++row)
    for (int column = x; column < x + size; ++column)
      sum += frame->data[0][row * frame->linesize[0] + column];
  return sum / (double(size) * size);
}

// Which corner of the picture holds the bright square: 0 top left, 1 top
// right, 2 bottom right, 3 bottom left; -1 when none or several do.
int BrightCorner(const AVFrame* frame) {
  const int inset = 4, size = Fixtures::RotatedMarker - 2 * inset;
  const int far[2] = {frame->width - inset - size, frame->height - inset - size};
  const int corners[4][2] = {{inset, inset}, {far[0], inset}, {far[0], far[1]}, {inset, far[1]}};
  int found = -1;
  for (int c = 0; c < 4; ++c)
    if (MeanLuma(frame, corners[c][0], corners[c][1], size) > 200) {
      if (found >= 0)
        return -1;
      found = c;
    }
  return found;
}

// The counter-clockwise degrees of the first stream's display matrix, or
// NaN without one.
double TaggedDegrees(const std::string& path) {
  TInputContextPtr file = OpenForReading(path);
  if (!file || file->nb_streams == 0)
    return std::nan("");
  const uint8_t* matrix = DisplayMatrixOf(file->streams[0]);
  return matrix ? avutil::av_display_rotation_get(reinterpret_cast<const int32_t*>(matrix))
                : std::nan("");
}

class TurnedPictures : public ConversionTest {};

// A phone's portrait video comes out standing up, unless turning is off:
// then the pictures stay and the tag goes along, as it does with a copy.
TEST_F(TurnedPictures, OutputIsUprightOrKeepsTheTag) {
  using namespace Fixtures;
  struct TCase {
    const char* Name;
    const char* Options;
    int Width, Height;
    int Corner;     // of the bright square, -1: not decoded here
    bool Tagged;
  } cases[] = {
      {"upright.mp4", "vcodec=mpeg4", RotatedHeight, RotatedWidth, 1, false},
      {"upright.mkv", "vcodec=libx264", RotatedHeight, RotatedWidth, 1, false},
      // Filters see the pictures upright: mirrored, the square is back on the left.
      {"mirrored.mp4", "vcodec=mpeg4\nvfilters=hflip", RotatedHeight, RotatedWidth, 0, false},
      {"kept.mp4", "vcodec=mpeg4\nautorotate=0", RotatedWidth, RotatedHeight, 0, true},
      {"copied.mp4", "vcodec=copy", RotatedWidth, RotatedHeight, -1, true},
  };
  for (const TCase& c : cases) {
    SCOPED_TRACE(c.Name);
    const TResult result = Convert(RotatedMp4, c.Name, c.Options);
    ASSERT_TRUE(result.Finished) << result.Message;
    const TFileSummary out = ReadBack(result.Path);
    const TStreamSummary* video = out.First(AVMEDIA_TYPE_VIDEO);
    ASSERT_NE(video, nullptr);
    EXPECT_EQ(video->Width, c.Width);
    EXPECT_EQ(video->Height, c.Height);
    EXPECT_EQ(video->Packets, RotatedFrames);
    const double degrees = TaggedDegrees(result.Path);
    if (c.Tagged)
      EXPECT_NEAR(degrees, -RotatedClockwise, 0.5);
    else
      EXPECT_TRUE(std::isnan(degrees)) << degrees;
    if (c.Corner < 0)
      continue;
    const std::vector<TFramePtr> frames = DecodeFrames(result.Path);
    ASSERT_FALSE(frames.empty());
    for (size_t i = 0; i < frames.size(); i += frames.size() / 3 + 1) {
      EXPECT_EQ(frames[i]->width, c.Width);
      EXPECT_EQ(BrightCorner(frames[i].get()), c.Corner) << "picture " << i;
    }
  }
}

// The probe tells the turn, and a batch output leaves the size of a
// source on its side to the engine instead of forcing the stored one on the
// upright pictures.
TEST_F(TurnedPictures, BatchLeavesASidewaysSourcesSizeToTheEngine) {
  struct TCase {
    const char* Source;
    int Rotation;
    const char* FrameSize;
  } cases[] = {{Fixtures::RotatedMp4, Fixtures::RotatedClockwise, ""},
               {Fixtures::ClipAvi.Name, 0, "320x240"}};
  for (const TCase& c : cases) {
    SCOPED_TRACE(c.Source);
    TAVProbe probe;
    probe.Enable();
    ASSERT_TRUE(probe.Open(Fixtures::MediaPath(c.Source)));
    TVideoStreamInfo video;
    probe.GetVideoInfo(video);
    EXPECT_EQ(video.Rotation, c.Rotation);
    TOutputOptions record;
    InitOutputOptions(record);
    FillOutputOptions(record, nullptr, false, probe);
    EXPECT_EQ(record.FrameSize, c.FrameSize);
  }
}

// Every plane of a picture is turned the same way, whatever its layout; a
// layout whose pixels cannot be moved one by one is refused.
TEST(TurnPicture, EveryPlaneTurnsAlike) {
  LoadLibrariesOrFail();
  struct TCase {
    AVPixelFormat Format;
    bool OddTurns, EvenTurns; // whether they can be done
  } cases[] = {
      {AV_PIX_FMT_YUV420P, true, true}, {AV_PIX_FMT_NV12, true, true},
      {AV_PIX_FMT_RGB24, true, true},   {AV_PIX_FMT_YUV420P10LE, true, true},
      {AV_PIX_FMT_YUV422P, false, true}, {AV_PIX_FMT_YUYV422, false, false},
  };
  const int width = 8, height = 4;
  for (const TCase& c : cases) {
    SCOPED_TRACE(avutil::av_get_pix_fmt_name(c.Format));
    const AVPixFmtDescriptor* desc = avutil::av_pix_fmt_desc_get(c.Format);
    int steps[4], components[4];
    avutil::av_image_fill_max_pixsteps(steps, components, desc);
    for (int turns = 1; turns <= 3; ++turns) {
      SCOPED_TRACE(turns);
      const bool possible = turns & 1 ? c.OddTurns : c.EvenTurns;
      ASSERT_EQ(CanTurnPicture(c.Format, turns), possible);
      if (!possible)
        continue;
      const bool sideways = turns & 1;
      TFramePtr source(avutil::av_frame_alloc()), target(avutil::av_frame_alloc());
      source->format = target->format = c.Format;
      source->width = width;
      source->height = height;
      target->width = sideways ? height : width;
      target->height = sideways ? width : height;
      ASSERT_GE(avutil::av_frame_get_buffer(source.get(), 0), 0);
      ASSERT_GE(avutil::av_frame_get_buffer(target.get(), 0), 0);
      // Each plane: every pixel's bytes hold its own number.
      const int planes = avutil::av_pix_fmt_count_planes(c.Format);
      auto planeSize = [&](int p, int w, int h) {
        const bool chroma = p == 1 || p == 2;
        return std::pair{chroma ? w >> desc->log2_chroma_w : w,
                         chroma ? h >> desc->log2_chroma_h : h};
      };
      for (int p = 0; p < planes; ++p) {
        const auto [w, h] = planeSize(p, width, height);
        for (int y = 0; y < h; ++y)
          for (int x = 0; x < w; ++x)
            std::memset(source->data[p] + y * source->linesize[p] + x * steps[p],
                        (p * 64 + y * w + x) & 0xff, size_t(steps[p]));
      }
      ASSERT_TRUE(TurnPicture(PictureOf(target.get()), PictureOf(source.get()), c.Format, width,
                              height, turns));
      for (int p = 0; p < planes; ++p) {
        const auto [w, h] = planeSize(p, width, height);
        for (int y = 0; y < h; ++y)
          for (int x = 0; x < w; ++x) {
            // Clockwise: the top left goes to the top right, and so on.
            const int tx = turns == 1 ? h - 1 - y : turns == 2 ? w - 1 - x : y;
            const int ty = turns == 1 ? x : turns == 2 ? h - 1 - y : w - 1 - x;
            const uint8_t* pixel = target->data[p] + ty * target->linesize[p] + tx * steps[p];
            for (int b = 0; b < steps[p]; ++b)
              ASSERT_EQ(pixel[b], (p * 64 + y * w + x) & 0xff)
                  << "plane " << p << " pixel " << x << "," << y;
          }
      }
    }
  }
}

// ---- Chapters and tags --------------------------------------------------------

struct TChapterRead {
  double Start, End;
  std::string Title;
};

std::string Tag(const AVDictionary* tags, const char* key) {
  const AVDictionaryEntry* entry = avutil::av_dict_get(tags, key, nullptr, 0);
  return entry ? entry->value : "";
}

class ChaptersAndTags : public ConversionTest {};

// The source's chapters and tags reach MKV and MP4 outputs; a recording cut
// short or started late keeps the chapters it covers, cut to fit and moved
// to its own clock, and a title set for the output wins over the source's.
TEST_F(ChaptersAndTags, SurviveIntoTheOutput) {
  using namespace Fixtures;
  struct TCase {
    const char* Name;
    const char* Options;
    std::vector<TChapterRead> Chapters;
    const char* Title;
  } cases[] = {
      {"whole.mkv", "", {{0, 1, "One"}, {1, 2, "Two"}, {2, 3, "Three"}}, ChaptersTitle},
      {"whole.mp4", "", {{0, 1, "One"}, {1, 2, "Two"}, {2, 3, "Three"}}, ChaptersTitle},
      {"short.mkv", "t=1.5", {{0, 1, "One"}, {1, 1.5, "Two"}}, ChaptersTitle},
      {"short.mp4", "t=1.5", {{0, 1, "One"}, {1, 1.5, "Two"}}, ChaptersTitle},
      {"late.mkv", "ss=0.5\nt=1.5", {{0, 0.5, "One"}, {0.5, 1.5, "Two"}}, ChaptersTitle},
      {"titled.mkv", "title=Own title", {{0, 1, "One"}, {1, 2, "Two"}, {2, 3, "Three"}},
       "Own title"},
  };
  const double frame = double(ChaptersMkv.FpsDen) / ChaptersMkv.FpsNum;
  for (const TCase& c : cases) {
    SCOPED_TRACE(c.Name);
    const TResult result = Convert(ChaptersMkv.Name, c.Name, c.Options);
    ASSERT_TRUE(result.Finished) << result.Message;
    TInputContextPtr file = OpenForReading(result.Path);
    ASSERT_TRUE(file);
    EXPECT_EQ(Tag(file->metadata, "title"), c.Title);
    EXPECT_EQ(Tag(file->metadata, "artist"), ChaptersArtist);
    ASSERT_EQ(file->nb_chapters, c.Chapters.size());
    for (unsigned i = 0; i < file->nb_chapters; ++i) {
      const AVChapter* chapter = file->chapters[i];
      const double tb = av_q2d(chapter->time_base);
      EXPECT_NEAR(double(chapter->start) * tb, c.Chapters[i].Start, frame) << i;
      EXPECT_NEAR(double(chapter->end) * tb, c.Chapters[i].End, frame) << i;
      EXPECT_EQ(Tag(chapter->metadata, "title"), c.Chapters[i].Title);
    }
  }
}

} // namespace
