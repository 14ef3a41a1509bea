// Feeding the per-stream filter graph and taking filtered pictures out.
#pragma once

#include "FFmpeg.h"

namespace kestro {

// Puts a decoded picture into the stream's graph; negative on failure.
int FeedFilterGraph(TInputStreamState& input, const AVFrame* picture);

// Takes the next filtered picture into input.FilterPicture and its time
// (microseconds on the input's clock) into pts: 1 when there was one, -1
// otherwise.
int PullFilteredPicture(TInputStreamState& input, int64_t& pts);

// Whether the graph was set up for pictures of this size and pixel format.
bool FitsFilterGraph(const TInputStreamState& input, const AVFrame* picture);

// Tells the graph that no picture follows, so that it gives back what it
// still holds.
int CloseFilterGraph(TInputStreamState& input);

} // namespace kestro
