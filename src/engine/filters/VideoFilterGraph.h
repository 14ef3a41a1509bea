// Feeding the per-stream filter graph and taking filtered pictures out.
#pragma once

#include "FFmpeg.h"

namespace kestro {

// Puts a decoded picture into the stream's graph; negative on failure.
int FeedFilterGraph(TInputStreamState& input, const AVFrame* picture);

// Takes the next filtered picture into input.FilterPicture and its time
// stamp into pts: 1 when there was one, -1 otherwise.
int PullFilteredPicture(TInputStreamState& input, int64_t& pts);

} // namespace kestro
