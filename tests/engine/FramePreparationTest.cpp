#include "EngineTestSupport.h"
#include "FixtureMedia.h"
#include "FrameHook.h"
#include "RunTables.h"

#include <gtest/gtest.h>

#include <cstring>

using namespace kestro;
using namespace kestro::test;

namespace {

// Decodes the pictures of a test file one by one.
class TPictureSource {
public:
  explicit TPictureSource(const char* name) {
    avformat::avformat_open_input(&Format, Fixtures::MediaPath(name).c_str(), nullptr, nullptr);
    avformat::avformat_find_stream_info(Format, nullptr);
    Stream = avformat::av_find_best_stream(Format, AVMEDIA_TYPE_VIDEO, -1, -1, nullptr, 0);
    const AVCodecParameters* par = Format->streams[Stream]->codecpar;
    Decoder.reset(avcodec::avcodec_alloc_context3(avcodec::avcodec_find_decoder(par->codec_id)));
    avcodec::avcodec_parameters_to_context(Decoder.get(), par);
    avcodec::avcodec_open2(Decoder.get(), nullptr, nullptr);
  }
  ~TPictureSource() { avformat::avformat_close_input(&Format); }
  // The next picture, owned by the source until the next call.
  AVFrame* Next() {
    avutil::av_frame_unref(Frame.get());
    while (avcodec::avcodec_receive_frame(Decoder.get(), Frame.get()) < 0) {
      if (avformat::av_read_frame(Format, Packet.get()) < 0)
        return nullptr;
      if (Packet->stream_index == Stream)
        avcodec::avcodec_send_packet(Decoder.get(), Packet.get());
      avcodec::av_packet_unref(Packet.get());
    }
    return Frame.get();
  }

private:
  AVFormatContext* Format = nullptr;
  int Stream = 0;
  TCodecContextPtr Decoder;
  TFramePtr Frame{avutil::av_frame_alloc()};
  TPacketPtr Packet{avcodec::av_packet_alloc()};
};

// A copy of the luma plane, to compare pictures.
std::vector<uint8_t> Luma(const AVFrame* f) {
  std::vector<uint8_t> rows;
  for (int y = 0; y < f->height; ++y)
    rows.insert(rows.end(), f->data[0] + y * f->linesize[0], f->data[0] + y * f->linesize[0] + f->width);
  return rows;
}

class Hooks : public ::testing::Test {
protected:
  void SetUp() override {
    LoadLibrariesOrFail();
    E.Reset();
    Recorder.Attach(E);
    Source = std::make_unique<TPictureSource>("small_176x144.avi");
  }
  TCustomFFmpeg E;
  TRecorder Recorder;
  TInputStreamState Input;
  std::unique_ptr<TPictureSource> Source;
};

// A white 20x10 box at (10, 10), drawn on the BGR picture.
void DrawBox(THookBitmap& bitmap) {
  for (int y = 10; y < 20; ++y)
    std::memset(bitmap.Row(y) + 10 * 3, 255, 20 * 3);
}

struct THookScript {
  int Calls = 0;
  int StopAt = 0;         // set stop on this picture
  bool Update = true;
  bool Throw = false;
  std::vector<int> Numbers;
};

void ScriptedHook(void* context, TCustomFFmpeg*, THookBitmap& bitmap, int frameNumber, int64_t,
                  bool& update, bool& stop) {
  auto* s = static_cast<THookScript*>(context);
  ++s->Calls;
  s->Numbers.push_back(frameNumber);
  DrawBox(bitmap);
  update = s->Update;
  if (frameNumber == s->StopAt)
    stop = true;
  if (s->Throw)
    throw std::runtime_error("brush broke");
}

int BoxLuma(const AVFrame* f) { return f->data[0][15 * f->linesize[0] + 20]; }

} // namespace

TEST_F(Hooks, WithoutHooksThePictureIsUntouched) {
  AVFrame* picture = Source->Next();
  uint8_t* original = picture->data[0];
  E.PrepareVideoFrame(Input, picture);
  EXPECT_EQ(picture->data[0], original);
  E.PrepareVideoFrame(Input, Source->Next());
  EXPECT_EQ(E.Hooks.HookFrameNumber, 2);
  EXPECT_EQ(E.Hooks.HookBuffer, nullptr);
}

TEST_F(Hooks, DeinterlacingReplacesThePictureWithAFilteredCopy) {
  E.Settings.Deinterlace = 1;
  AVFrame* picture = Source->Next();
  const std::vector<uint8_t> before = Luma(picture);
  E.PrepareVideoFrame(Input, picture);
  EXPECT_EQ(picture->data[0], E.Hooks.HookBuffer.get());
  const std::vector<uint8_t> after = Luma(picture);
  const int w = picture->width;
  int oddRowsChanged = 0;
  for (int y = 0; y < picture->height; ++y) {
    const bool same = std::equal(before.begin() + y * w, before.begin() + (y + 1) * w,
                                 after.begin() + y * w);
    if (y % 2 == 0)
      EXPECT_TRUE(same) << "row " << y;
    else
      oddRowsChanged += same ? 0 : 1;
  }
  EXPECT_GT(oddRowsChanged, 0);
}

TEST_F(Hooks, CustomHookDrawingIsTakenBackOnlyWithUpdate) {
  for (bool update : {true, false}) {
    TCustomFFmpeg e;
    e.Reset();
    THookScript script;
    script.Update = update;
    e.CustomHookCallback = {&ScriptedHook, &script};
    TPictureSource pictures("small_176x144.avi");
    AVFrame* picture = pictures.Next();
    const int before = BoxLuma(picture);
    e.PrepareVideoFrame(Input, picture);
    EXPECT_EQ(script.Calls, 1);
    if (update)
      EXPECT_GT(BoxLuma(picture), 230) << "the white box reaches the picture";
    else
      EXPECT_NEAR(BoxLuma(picture), before, 3) << "the picture stays as decoded";
  }
}

TEST_F(Hooks, StopKeepsTheLastDrawingAndEndsHooking) {
  THookScript script;
  script.StopAt = 10;
  E.CustomHookCallback = {&ScriptedHook, &script};
  AVFrame* tenth = nullptr;
  int tenthLuma = 0;
  for (int i = 1; i <= 15; ++i) {
    AVFrame* picture = Source->Next();
    E.PrepareVideoFrame(Input, picture);
    if (i == 10) {
      tenth = picture;
      tenthLuma = BoxLuma(picture);
    }
  }
  ASSERT_NE(tenth, nullptr);
  EXPECT_GT(tenthLuma, 230);
  EXPECT_EQ(script.Calls, 10);
  EXPECT_FALSE(E.CustomHookCallback);
  EXPECT_EQ(E.Hooks.HookAction, haStop);
}

TEST_F(Hooks, AThrowingHookIsLoggedAndItsDrawingDropped) {
  THookScript script;
  script.Throw = true;
  E.CustomHookCallback = {&ScriptedHook, &script};
  AVFrame* picture = Source->Next();
  const int before = BoxLuma(picture);
  E.PrepareVideoFrame(Input, picture);
  EXPECT_TRUE(Recorder.Logged("Error occurs OnCustomHook: brush broke"));
  EXPECT_NEAR(BoxLuma(picture), before, 3);
  EXPECT_TRUE(E.CustomHookCallback) << "only stop ends hooking";
}

namespace {

std::vector<int64_t>& ProcessedAt() {
  static std::vector<int64_t> at;
  return at;
}

void RecordingProcess(void*, KestroHookPicture*, int, int, int, int64_t pts) {
  ProcessedAt().push_back(pts);
}

// A module node whose Process records the time stamps it is called with.
void AddRecordingModule(TCustomFFmpeg& e) {
  auto* node = static_cast<THookModule*>(avutil::av_mallocz(sizeof(THookModule)));
  node->Process = &RecordingProcess;
  e.Settings.FirstHookModule = node;
  e.Settings.FrameHooksInUse = true;
}

} // namespace

TEST_F(Hooks, TimeRangesGateTheModules) {
  ProcessedAt().clear();
  AddRecordingModule(E);
  E.Settings.HookTimeRanges = {{2000000, 4000000}, {6000000, 7000000}};
  E.Settings.HookRangeCount = 2;
  AVFrame* picture = Source->Next();
  for (int64_t pts : {1000000, 3000000, 5000000, 6500000, 7500000, 8000000, 3000000}) {
    Input.Pts = pts;
    E.PrepareVideoFrame(Input, picture);
  }
  EXPECT_EQ(ProcessedAt(), (std::vector<int64_t>{3000000, 6500000}));
  EXPECT_EQ(E.Hooks.HookAction, haStop);
  EXPECT_FALSE(E.Settings.FrameHooksInUse);
}

TEST_F(Hooks, BeforeHookAnswerDecidesEachPicture) {
  ProcessedAt().clear();
  AddRecordingModule(E);
  static std::vector<THookAction> answers;
  answers = {haContinue, haIgnore, haContinue, haStop, haContinue};
  static size_t next;
  next = 0;
  E.BeforeHookCallback = {[](void*, TCustomFFmpeg*, int64_t, THookAction& action) {
                            action = answers[next++];
                          },
                          nullptr};
  AVFrame* picture = Source->Next();
  for (int64_t pts = 1; pts <= 5; ++pts) {
    Input.Pts = pts;
    E.PrepareVideoFrame(Input, picture);
  }
  EXPECT_EQ(ProcessedAt(), (std::vector<int64_t>{1, 3}));
  EXPECT_EQ(next, 4u) << "after haStop the callback is not asked again";
}
