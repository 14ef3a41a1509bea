// kestroconvert --worker: one job from standard input, its events as JSON
// lines on standard output, so that a crash costs that job alone.
#pragma once

#include <string>

namespace kestro {

// Runs the job; SIGINT and SIGTERM must be blocked in the caller's threads.
int RunWorker(const std::string& libraryFolder);

} // namespace kestro
