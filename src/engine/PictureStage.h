// The picture stage of one decoded video stream: every picture the decoder
// gives is turned upright, goes through the hooks and deinterlacing, then
// through the stream's filter graph, and each picture that comes out is
// handed on with its own time.
#pragma once

#include "FFmpeg.h"

#include <memory>
#include <string>

namespace kestro {

// What the picture stage asks of the run it belongs to.
class TPictureStageOwner {
public:
  virtual ~TPictureStageOwner() = default;
  // The hooks and deinterlacing on a picture of `input`, which may come
  // back pointing into other pixels.
  virtual void Hook(TInputStreamState& input, AVFrame* picture) = 0;
  // A prepared picture, to every stream that encodes the input stream;
  // input.PicturePts says its time when a graph gave it out.
  virtual void Pass(TInputStreamState& input, int index, AVFrame* picture) = 0;
};

// The run's settings for the stage.
struct TPictureRules {
  // Clockwise quarter turns that make the stream's pictures upright (0: as
  // they are).
  int QuarterTurns = 0;
  unsigned SwsFlags = SWS_BICUBIC;
  // The filter chain ("vf"; empty: no graph), and the settings it must
  // agree with: crop is the graph's to do, padding goes around its result.
  std::string Chain;
  bool Cropped = false;
  int PadWidth = 0, PadHeight = 0;
  int FrameWidth = 0, FrameHeight = 0; // the size asked for ("s"; 0: none)
};

class TPictureStage {
public:
  TPictureStage(TPictureStageOwner& owner, TInputStreamState& input, int index,
                TPictureRules rules)
      : Owner(owner), Input(input), Index(index), Rules(std::move(rules)) {}
  ~TPictureStage() { Close(); }
  TPictureStage(const TPictureStage&) = delete;
  TPictureStage& operator=(const TPictureStage&) = delete;

  // Set up: with a chain, the graph for the stream header's pictures,
  // feeding `output`, whose encoder gets the graph's picture size. False
  // when it cannot be made, with the reason in Error() (empty: none known).
  bool SetUp(TOutputStreamState& output);
  // Take a unit: a decoded picture, prepared, through the graph; each
  // picture out of it is handed on. A picture of another size or format
  // than the graph was made for first drains it and gets a graph of its own.
  void Take(AVFrame* picture);
  // Flush: the graph is told that nothing follows and hands on what it
  // still holds (a rate change keeps the last picture).
  void Flush();
  // Close: the graph and the converters go.
  void Close();

  int QuarterTurns() const { return Rules.QuarterTurns; }
  const AVFilterGraph* FilterGraph() const { return Graph.get(); }
  const std::string& Error() const { return LastError; }

private:
  // Replaces `picture` by itself turned by the stream's quarter turns.
  void Turn(AVFrame* picture);
  // Makes the graph for `picture` (null: the stream header's pictures).
  bool Build(const AVFrame* picture);
  int Feed(const AVFrame* picture);
  // The next filtered picture into Filtered, its time into `pts`.
  bool Pull(int64_t& pts);
  bool Fits(const AVFrame* picture) const;
  void PassFiltered();

  TPictureStageOwner& Owner;
  TInputStreamState& Input;
  const int Index;
  const TPictureRules Rules;
  TSwsPtr TurnScaler; // for pictures that cannot be turned in their own format
  TOutputStreamState* Output = nullptr;
  TFilterGraphPtr Graph;
  AVFilterContext* Source = nullptr;
  AVFilterContext* Sink = nullptr;
  TFramePtr Fed, Filtered;
  // The pictures the graph was made for.
  int GraphWidth = 0, GraphHeight = 0, GraphFormat = -1;
  // A remade graph starts its own clock over (a chain that subtracts its
  // first time stamp): its pictures are moved to follow the last one given
  // out by as much as the input moved on. Gap pending: >= 0.
  int64_t LastFedPts = NoTimestamp, LastFilteredPts = NoTimestamp;
  int64_t RestartGap = -1, Shift = 0;
  std::string LastError;
};

// Ties the picture stages of a run to their engine: its hooks and the
// output streams' video stages.
std::unique_ptr<TPictureStageOwner> MakePictureLink(TCustomFFmpeg& engine);

} // namespace kestro
