// How many jobs of a batch run at once.
#pragma once

namespace kestro {

// Codec threads a job of the window uses: every row's encoders and decoders
// run one thread each for now.
constexpr int CodecThreadsPerJob = 1;

// "Automatic": as many jobs as keep jobs x codec threads within the cores,
// and at least one.
int AutomaticJobs(int cores, int threadsPerJob);

// The jobs at once for the user's choice: 0 is automatic, any other number
// is kept within 1 and the cores.
int JobsAtOnce(int choice, int cores, int threadsPerJob);

} // namespace kestro
