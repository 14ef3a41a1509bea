// The picture stage's flow: turn, hooks, graph, and what comes out of it to
// the output streams. The turn and the graph themselves are in
// PictureTurn.cpp and filters/VideoFilterGraph.cpp.
#include "PictureStage.h"
#include "RunTables.h"

namespace kestro {

void TPictureStage::Take(AVFrame* picture) {
  if (Rules.QuarterTurns > 0)
    Turn(picture);
  Owner.Hook(Input, picture);
  if (!Graph) {
    Owner.Pass(Input, Index, picture);
    return;
  }
  if (!Fits(picture)) {
    Flush();
    if (!Build(picture))
      throw FFMpegException("Error opening filters: " +
                            (LastError.empty() ? std::string("the picture changed size")
                                               : LastError));
  }
  // Every picture the graph gives back is a pass of its own; a picture the
  // graph cannot take goes on as decoded.
  if (Feed(picture) < 0)
    Owner.Pass(Input, Index, picture);
  PassFiltered();
}

void TPictureStage::Flush() {
  if (Graph && avfilter::av_buffersrc_add_frame_flags(Source, nullptr, 0) >= 0)
    PassFiltered();
}

void TPictureStage::Close() {
  Source = Sink = nullptr;
  Graph.reset();
  Fed.reset();
  Filtered.reset();
  TurnScaler.reset();
}

void TPictureStage::PassFiltered() {
  while (Pull(Input.PicturePts)) {
    Owner.Pass(Input, Index, Filtered.get());
    avutil::av_frame_unref(Filtered.get());
  }
  Input.PicturePts = NoTimestamp;
}

namespace {

class TPictureLink : public TPictureStageOwner {
public:
  explicit TPictureLink(TCustomFFmpeg& engine) : Engine(engine) {}

  void Hook(TInputStreamState& input, AVFrame* picture) override {
    Engine.PrepareVideoFrame(input, picture);
  }

  void Pass(TInputStreamState& input, int index, AVFrame* picture) override {
    if (!DueAt(Engine, input))
      return;
    for (auto& ost : Engine.Run->OutputStreams) {
      if (!EncodesInput(*ost, index))
        continue;
      EnsureEncoderType(*ost, AVMEDIA_TYPE_VIDEO);
      int frameSize = 0;
      Engine.EncodeAndWriteVideo(ost->Output, *ost, input, picture, frameSize);
      if (Engine.Settings.VStatsFileName && frameSize)
        Engine.WriteVideoStats(ost->Output, *ost, frameSize);
    }
  }

private:
  TCustomFFmpeg& Engine;
};

} // namespace

std::unique_ptr<TPictureStageOwner> MakePictureLink(TCustomFFmpeg& engine) {
  return std::make_unique<TPictureLink>(engine);
}

} // namespace kestro
