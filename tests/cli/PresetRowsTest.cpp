// The preset rows end to end: kestroconvert converts a short source with each
// row and the result is read back for its container, codecs, picture and
// tracks; the user presets file adds rows or says where it is broken.
#include "CliSupport.h"
#include "PresetTable.h"
#include "FixtureMedia.h"
#include "MediaLibs.h"

#include <gtest/gtest.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>

using namespace kestro;
using namespace kestro::test;
namespace fs = std::filesystem;

namespace {

struct TTrack {
  AVMediaType Type = AVMEDIA_TYPE_UNKNOWN;
  std::string Codec, Language, Tag;
  int Width = 0, Height = 0, SarNum = 0, SarDen = 0;
  int Channels = 0, Bits = 0;
  double FrameRate = 0;
  bool Cover = false;
};

struct TOutput {
  bool Opened = false;
  std::string Format;
  std::vector<TTrack> Tracks;
  std::vector<TTrack> Of(AVMediaType type) const {
    std::vector<TTrack> found;
    for (const TTrack& t : Tracks)
      if (t.Type == type)
        found.push_back(t);
    return found;
  }
};

TOutput Read(const std::string& path) {
  TOutput out;
  AVFormatContext* context = nullptr;
  if (avformat::avformat_open_input(&context, path.c_str(), nullptr, nullptr) < 0)
    return out;
  if (avformat::avformat_find_stream_info(context, nullptr) >= 0) {
    out.Opened = true;
    out.Format = context->iformat->name;
    for (unsigned i = 0; i < context->nb_streams; ++i) {
      const AVStream* stream = context->streams[i];
      const AVCodecParameters* p = stream->codecpar;
      TTrack t;
      t.Type = p->codec_type;
      t.Codec = avcodec::avcodec_get_name(p->codec_id);
      if (const AVDictionaryEntry* language =
              avutil::av_dict_get(stream->metadata, "language", nullptr, 0))
        t.Language = language->value;
      for (int shift = 0; shift < 32 && p->codec_tag; shift += 8)
        t.Tag += char((p->codec_tag >> shift) & 0xff);
      t.Width = p->width;
      t.Height = p->height;
      const AVRational sar = stream->sample_aspect_ratio.num ? stream->sample_aspect_ratio
                                                             : p->sample_aspect_ratio;
      t.SarNum = sar.num;
      t.SarDen = sar.den;
      t.Channels = p->ch_layout.nb_channels;
      t.Bits = p->bits_per_raw_sample ? p->bits_per_raw_sample : p->bits_per_coded_sample;
      t.Cover = stream->disposition & AV_DISPOSITION_ATTACHED_PIC;
      if (stream->avg_frame_rate.num > 0 && stream->avg_frame_rate.den > 0)
        t.FrameRate = double(stream->avg_frame_rate.num) / stream->avg_frame_rate.den;
      out.Tracks.push_back(t);
    }
  }
  avformat::avformat_close_input(&context);
  return out;
}

class PresetRows : public ::testing::Test {
protected:
  void SetUp() override {
    ASSERT_TRUE(LoadAllLibraries("", true));
    char pattern[] = "/tmp/kestro-presets-XXXXXX";
    Folder = mkdtemp(pattern);
    // Our own configuration folder: the user's presets file stays out of it.
    Config = Folder + "/config";
    fs::create_directories(Config + "/KestroVideo");
    const char* old = std::getenv("XDG_CONFIG_HOME");
    SavedConfig = old ? old : "";
    HadConfig = old != nullptr;
    setenv("XDG_CONFIG_HOME", Config.c_str(), 1);
  }
  void TearDown() override {
    if (HadConfig)
      setenv("XDG_CONFIG_HOME", SavedConfig.c_str(), 1);
    else
      unsetenv("XDG_CONFIG_HOME");
    fs::remove_all(Folder);
  }
  void WritePresets(const std::string& text) {
    std::ofstream(Config + "/KestroVideo/presets.json") << text;
  }
  std::string Media(const char* name) { return Fixtures::MediaPath(name); }
  // Converts `source` with `preset` into Folder/out and returns the result line.
  TResult Convert(const std::string& preset, const std::string& source,
                  const std::vector<std::string>& more = {}) {
    std::vector<std::string> args = {"-o", Folder + "/out", "-p", preset};
    args.insert(args.end(), more.begin(), more.end());
    args.push_back(source);
    return RunCli(args);
  }
  std::string Folder, Config, SavedConfig;
  bool HadConfig = false;
};

} // namespace

TEST_F(PresetRows, EveryRowConvertsToItsContainerCodecsPictureAndTracks) {
  struct Case {
    const char* Preset;
    const char* Source;
    const char* Output; // file name in the output folder
    const char* Format; // the demuxer that reads it back
    const char* Video;  // codec, or "" for none
    int Width, Height;
    std::vector<const char*> Audio; // codecs in order
    std::vector<const char*> Languages;
    int Channels; // of the first audio track
    int Bits;     // of the first audio track, 0: not checked
    const char* Tag = "";
    bool Cover = false; // the song's cover picture kept
  } cases[] = {
      // Two audio tracks stay two, in order, with their languages.
      {"mp4", "multi_audio.mkv", "multi_audio (MP4 H.264 + AAC).mp4", "mov,mp4,m4a,3gp,3g2,mj2",
       "h264", 320, 240, {"aac", "aac"}, {"eng", "fra"}, 2, 0},
      // A source inside the box keeps its size: no upscaling.
      {"mp4-720", "clip_h264_aac.mp4", "clip_h264_aac (MP4 H.264 + AAC 720p).mp4",
       "mov,mp4,m4a,3gp,3g2,mj2", "h264", 640, 360, {"aac"}, {}, 2, 0},
      {"hevc", "multi_audio.mkv", "multi_audio (MP4 H.265 + AAC).mp4", "mov,mp4,m4a,3gp,3g2,mj2",
       "hevc", 320, 240, {"aac", "aac"}, {"eng", "fra"}, 2, 0, "hvc1"},
      {"webm", "multi_audio.mkv", "multi_audio (WebM VP9 + Opus).webm", "matroska,webm", "vp9",
       320, 240, {"opus", "opus"}, {"eng", "fra"}, 2, 0},
      // Copied as they are: the MPEG-4 video, the AAC and the MP2 tracks.
      {"remux", "multi_audio.mkv", "multi_audio (MKV, streams kept as they are).mkv",
       "matroska,webm", "mpeg4", 320, 240, {"aac", "mp2"}, {"eng", "fra"}, 2, 0},
      // Audio rows take the first track only and no video.
      {"mp3", "multi_audio.mkv", "multi_audio (MP3 audio).mp3", "mp3", "", 0, 0, {"mp3"}, {}, 2,
       0},
      {"m4a", "song.mp3", "song (AAC audio).m4a", "mov,mp4,m4a,3gp,3g2,mj2", "", 0, 0, {"aac"},
       {}, 2, 0},
      {"opus", "song.mp3", "song (Opus audio).opus", "ogg", "", 0, 0, {"opus"}, {}, 2, 0},
      // Lossless rows keep the source's depth: 24 bits stay 24, 16 stay 16.
      {"flac", "deep24.flac", "deep24 (FLAC audio).flac", "flac", "", 0, 0, {"flac"}, {}, 2, 24},
      {"flac", "tone.wav", "tone (FLAC audio).flac", "flac", "", 0, 0, {"flac"}, {}, 1, 16},
      {"wav", "deep24.flac", "deep24 (WAV audio).wav", "wav", "", 0, 0, {"pcm_s24le"}, {}, 2, 24},
      {"wav", "song.mp3", "song (WAV audio).wav", "wav", "", 0, 0, {"pcm_s16le"}, {}, 2, 16},
      // The classic row as before: its fixed size, mono narrow-band speech.
      {"3gp", "clip.avi", "clip (3GPP 176x144).3gp", "mov,mp4,m4a,3gp,3g2,mj2", "h263", 176, 144,
       {"amr_nb"}, {}, 1, 0},
      // A song with a video row gets the row's audio in its audio-only container.
      {"mp4", "song.mp3", "song (MP4 H.264 + AAC).m4a", "mov,mp4,m4a,3gp,3g2,mj2", "", 0, 0,
       {"aac"}, {}, 2, 0},
      {"webm", "song.mp3", "song (WebM VP9 + Opus).opus", "ogg", "", 0, 0, {"opus"}, {}, 2, 0},
      // At most stereo in the MP4 rows; the Opus row keeps all six channels.
      {"mp4", "surround51.flac", "surround51 (MP4 H.264 + AAC).m4a", "mov,mp4,m4a,3gp,3g2,mj2",
       "", 0, 0, {"aac"}, {}, 2, 0},
      {"opus", "surround51.flac", "surround51 (Opus audio).opus", "ogg", "", 0, 0, {"opus"}, {}, 6,
       0},
      // Its cover picture does not make it a video, and goes with it.
      {"mp4", "song_cover.mp3", "song_cover (MP4 H.264 + AAC).m4a", "mov,mp4,m4a,3gp,3g2,mj2",
       "", 0, 0, {"aac"}, {}, 2, 0, "", true},
      {"mp3", "song_cover.mp3", "song_cover (MP3 audio).mp3", "mp3", "", 0, 0, {"mp3"}, {}, 2, 0,
       "", true},
      {"m4a", "song_cover.mp3", "song_cover (AAC audio).m4a", "mov,mp4,m4a,3gp,3g2,mj2", "", 0, 0,
       {"aac"}, {}, 2, 0, "", true},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(std::string(c.Preset) + " from " + c.Source);
    const TResult r = Convert(c.Preset, Media(c.Source));
    const std::string output = Folder + "/out/" + c.Output;
    ASSERT_EQ(r.Status, 0) << r.Out << r.Err;
    EXPECT_EQ(r.Lines(), std::vector<std::string>{"done: " + Media(c.Source) + " -> " + output});
    const TOutput out = Read(output);
    ASSERT_TRUE(out.Opened) << output;
    EXPECT_EQ(out.Format, c.Format);
    const std::vector<TTrack> video = out.Of(AVMEDIA_TYPE_VIDEO);
    if (*c.Video) {
      ASSERT_EQ(video.size(), 1u);
      EXPECT_EQ(video[0].Codec, c.Video);
      EXPECT_EQ(video[0].Width, c.Width);
      EXPECT_EQ(video[0].Height, c.Height);
      if (*c.Tag) {
        EXPECT_EQ(video[0].Tag, c.Tag);
      }
    } else {
      ASSERT_EQ(video.size(), c.Cover ? 1u : 0u) << "an audio-only result has no video";
      if (c.Cover) {
        EXPECT_TRUE(video[0].Cover);
      }
    }
    const std::vector<TTrack> audio = out.Of(AVMEDIA_TYPE_AUDIO);
    ASSERT_EQ(audio.size(), c.Audio.size());
    for (size_t k = 0; k < audio.size(); ++k) {
      EXPECT_EQ(audio[k].Codec, c.Audio[k]) << "track " << k;
      if (k < c.Languages.size()) {
        EXPECT_EQ(audio[k].Language, c.Languages[k]) << "track " << k;
      }
    }
    EXPECT_EQ(audio[0].Channels, c.Channels);
    if (c.Bits) {
      EXPECT_EQ(audio[0].Bits, c.Bits);
    }
  }
}

TEST_F(PresetRows, PicturesFitTheBoxEvenSizedWithTheirAspect) {
  // A row of the user's with a small box shows the fitting on small sources.
  WritePresets(R"json({"presets": [{
    "text": "Small MP4 (*.mp4)", "name": "small",
    "video": {"codec": "libx264", "options": ["preset=ultrafast"], "max_width": 180,
              "max_height": 180, "max_frame_rate": 25, "pixel_format": "yuv420p"},
    "audio": {"codec": "aac", "bitrate": 64000, "max_channels": 1}
  }]})json");
  struct Case {
    const char* Source;
    const char* Output;
    int Width, Height;
    double DisplayAspect; // the source's
    double FrameRate;
  } cases[] = {
      // 640x360 shrinks to 180 wide, the height following, made even; its
      // 29.97 pictures a second come down to the row's 25.
      {"clip_h264_aac.mp4", "clip_h264_aac (Small MP4).mp4", 180, 100, 16.0 / 9, 25},
      // 352x288 with 4:3 pixels: the stored size shrinks, the picture's shape stays.
      {"sar43.avi", "sar43 (Small MP4).mp4", 180, 146, 352.0 * 4 / (288 * 3), 25},
      // Recorded on its side: the upright 180x320 picture fits the box.
      {"rotated_90.mp4", "rotated_90 (Small MP4).mp4", 100, 180, 180.0 / 320, 25},
      // Already inside the box: kept as it is.
      {"small_176x144.avi", "small_176x144 (Small MP4).mp4", 176, 144, 176.0 / 144, 25},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.Source);
    const TResult r = Convert("small", Media(c.Source));
    ASSERT_EQ(r.Status, 0) << r.Out << r.Err;
    const TOutput out = Read(Folder + "/out/" + c.Output);
    const std::vector<TTrack> video = out.Of(AVMEDIA_TYPE_VIDEO);
    ASSERT_EQ(video.size(), 1u);
    EXPECT_EQ(video[0].Width, c.Width);
    EXPECT_EQ(video[0].Height, c.Height);
    const double sar = video[0].SarNum > 0 ? double(video[0].SarNum) / video[0].SarDen : 1.0;
    EXPECT_NEAR(video[0].Width * sar / video[0].Height, c.DisplayAspect, 0.01 * c.DisplayAspect);
    EXPECT_NEAR(video[0].FrameRate, c.FrameRate, 0.01);
    for (const TTrack& audio : out.Of(AVMEDIA_TYPE_AUDIO))
      EXPECT_EQ(audio.Channels, 1);
  }
}

TEST_F(PresetRows, SubtitlesFollowTheRowsRule) {
  WritePresets(R"json({"presets": [{"text": "MKV H.264 (*.mkv)", "name": "mkv264",
    "video": {"codec": "libx264", "options": ["preset=ultrafast"]},
    "audio": {"codec": "aac"}}]})json");
  struct Case {
    const char* Preset;
    const char* Source;
    const char* Output;
    const char* Subtitle; // "" for none
  } cases[] = {
      // Text to the container's own text format.
      {"mp4", "subtitles.mkv", "subtitles (MP4 H.264 + AAC).mp4", "mov_text"},
      {"webm", "subtitles.mkv", "subtitles (WebM VP9 + Opus).webm", "webvtt"},
      {"mkv264", "subtitles.mkv", "subtitles (MKV H.264).mkv", "ass"},
      // Kept as it is.
      {"remux", "subtitles.mkv", "subtitles (MKV, streams kept as they are).mkv", "subrip"},
      // Pictures where the container takes them, else left out.
      {"mkv264", "bitmap_subtitles.mkv", "bitmap_subtitles (MKV H.264).mkv", "dvd_subtitle"},
      {"webm", "bitmap_subtitles.mkv", "bitmap_subtitles (WebM VP9 + Opus).webm", ""},
      // Audio rows have none.
      {"m4a", "subtitles.mkv", "subtitles (AAC audio).m4a", ""},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(std::string(c.Preset) + " from " + c.Source);
    const TResult r = Convert(c.Preset, Media(c.Source));
    ASSERT_EQ(r.Status, 0) << r.Out << r.Err;
    const std::vector<TTrack> subtitles =
        Read(Folder + "/out/" + c.Output).Of(AVMEDIA_TYPE_SUBTITLE);
    if (*c.Subtitle) {
      ASSERT_EQ(subtitles.size(), 1u);
      EXPECT_EQ(subtitles[0].Codec, c.Subtitle);
    } else {
      EXPECT_TRUE(subtitles.empty());
    }
  }
}

TEST_F(PresetRows, OptionLinesComeAfterTheRowsOwnAndWin) {
  // x264 writes its settings into the stream: the quality it was given shows.
  const auto settings = [&](const std::string& file) {
    std::ifstream in(file, std::ios::binary);
    const std::string bytes((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
    const size_t at = bytes.find(" crf=");
    return at == std::string::npos ? std::string() : bytes.substr(at + 1, 9);
  };
  const std::string clip = Media("small_176x144.avi");
  ASSERT_EQ(Convert("mp4", clip).Status, 0);
  EXPECT_EQ(settings(Folder + "/out/small_176x144 (MP4 H.264 + AAC).mp4"), "crf=22.0 ");
  const TResult r = Convert("mp4", clip, {"-x", "crf=18", "-x", "s=96x80"});
  ASSERT_EQ(r.Status, 0) << r.Err;
  const std::string second = Folder + "/out/small_176x144 (MP4 H.264 + AAC [1]).mp4";
  EXPECT_EQ(settings(second), "crf=18.0 ");
  const std::vector<TTrack> video = Read(second).Of(AVMEDIA_TYPE_VIDEO);
  ASSERT_EQ(video.size(), 1u);
  EXPECT_EQ(video[0].Width, 96);
  EXPECT_EQ(video[0].Height, 80);
  // The same for the classic row's fixed size.
  ASSERT_EQ(Convert("3gp", clip, {"-x", "s=128x96"}).Status, 0);
  const std::vector<TTrack> classic =
      Read(Folder + "/out/small_176x144 (3GPP 176x144).3gp").Of(AVMEDIA_TYPE_VIDEO);
  ASSERT_EQ(classic.size(), 1u);
  EXPECT_EQ(classic[0].Width, 128);
  EXPECT_EQ(classic[0].Height, 96);
}

TEST_F(PresetRows, TheUserPresetsFileAddsRowsOrSaysWhereItIsBroken) {
  // A text without "(*.ext)" names the whole text in outputs and needs its extension.
  WritePresets(R"json({"presets": [{"text": "Tiny Opus", "name": "tiny", "extension": ".opus",
                  "audio": {"codec": "libopus", "bitrate": 32000, "max_channels": 1}},
                  {"text": "Nowhere (*.mkv)", "name": "nowhere",
                  "video": {"codec": "libnowhere"}, "audio": {"codec": "libopus"}}]})json");
  TResult list = RunCli({"--list-presets"});
  ASSERT_EQ(list.Status, 0) << list.Err;
  std::vector<std::string> rows = list.Lines();
  const size_t builtIn = BuiltInPresets().size();
  ASSERT_EQ(rows.size(), builtIn + 2);
  EXPECT_EQ(rows.front(), "MP4 H.264 + AAC (*.mp4)\tmp4");
  EXPECT_EQ(rows[builtIn - 1], "3GPP 176*144 (*.3gp)\t3gp");
  EXPECT_EQ(rows[builtIn], "Tiny Opus\ttiny");
  // A row whose encoder the libraries lack is listed; its jobs fail and say why.
  EXPECT_EQ(rows[builtIn + 1], "Nowhere (*.mkv)\tnowhere");
  TResult missing = Convert("nowhere", Media("clip.avi"));
  EXPECT_EQ(missing.Status, 1);
  EXPECT_EQ(missing.Lines(),
            std::vector<std::string>{"failed: " + Media("clip.avi") +
                                     ": new_video_stream fail: Unknown encoder 'libnowhere'"});
  TResult r = Convert("tiny", Media("song.mp3"));
  ASSERT_EQ(r.Status, 0) << r.Err;
  const std::vector<TTrack> audio = Read(Folder + "/out/song (Tiny Opus).opus").Of(AVMEDIA_TYPE_AUDIO);
  ASSERT_EQ(audio.size(), 1u);
  EXPECT_EQ(audio[0].Codec, "opus");
  EXPECT_EQ(audio[0].Channels, 1);

  struct Case {
    const char* Text;
    const char* Message;
  } broken[] = {
      // A comma missing after the first field of the second line: the
      // place given is where the text it did not expect ends.
      {"{\"presets\": [\n  {\"text\": \"A (*.mp4)\" \"name\": \"a\"}]}",
       "presets.json: line 2, column 29: syntax error"},
      {"{\"presets\": [{\"text\": \"No audio (*.mp4)\"}]}",
       "presets.json: preset 1: \"audio\" needs a \"codec\""},
      {"[{\"text\": \"T (*.mp4)\", \"audio\": {\"codec\": \"aac\"}},"
       " {\"text\": \"U (*.mp4)\", \"video\": {\"max_widht\": 640}, \"audio\": {\"codec\": \"aac\"}}]",
       "presets.json: preset 2: unknown key \"max_widht\" in \"video\""},
      {"{\"presets\": [{\"text\": \"T (*.mp4)\", \"video\": {\"max_width\": \"640\"},"
       " \"audio\": {\"codec\": \"aac\"}}]}",
       "presets.json: preset 1: \"max_width\" must be a whole number, 0 or more"},
      {"{\"presets\": [{\"text\": \"MP4 H.264 + AAC (*.mp4)\", \"audio\": {\"codec\": \"aac\"}}]}",
       "presets.json: preset 1: \"MP4 H.264 + AAC (*.mp4)\" is already a preset"},
  };
  for (const Case& c : broken) {
    SCOPED_TRACE(c.Text);
    WritePresets(c.Text);
    list = RunCli({"--list-presets"});
    EXPECT_EQ(list.Status, 0);
    EXPECT_EQ(list.Lines().size(), BuiltInPresets().size()) << "the built-in rows, and only they";
    EXPECT_NE(list.Err.find(c.Message), std::string::npos) << list.Err;
    EXPECT_EQ(list.Err.rfind("kestroconvert: " + Config + "/KestroVideo/presets.json", 0), 0u)
        << list.Err;
  }
  // The built-in rows still convert.
  r = Convert("m4a", Media("song.mp3"));
  EXPECT_EQ(r.Status, 0) << r.Err;
  EXPECT_TRUE(fs::exists(Folder + "/out/song (AAC audio).m4a"));
  EXPECT_EQ(Convert("tiny", Media("song.mp3")).Status, 2) << "a row of the broken file is unknown";
}

// SVT-AV1 is not the first AV1 encoder the libraries list: the row's
// "preset" is its own.
TEST_F(PresetRows, Av1RowEncodesWithSvtAv1) {
  const TResult r = Convert("av1", Media("multi_audio.mkv"));
  ASSERT_EQ(r.Status, 0) << r.Out << r.Err;
  const TOutput out = Read(Folder + "/out/multi_audio (MKV AV1 + Opus).mkv");
  ASSERT_EQ(out.Of(AVMEDIA_TYPE_VIDEO).size(), 1u);
  EXPECT_EQ(out.Of(AVMEDIA_TYPE_VIDEO)[0].Codec, "av1");
  ASSERT_EQ(out.Of(AVMEDIA_TYPE_AUDIO).size(), 2u);
  EXPECT_EQ(out.Of(AVMEDIA_TYPE_AUDIO)[1].Codec, "opus");
  EXPECT_EQ(out.Of(AVMEDIA_TYPE_AUDIO)[1].Language, "fra");
}
