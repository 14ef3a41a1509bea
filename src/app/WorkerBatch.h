// The window's batch in worker processes: where the worker program is, and
// a runner whose events reach the window as the component's do.
#pragma once

#include "ProcessRunner.h"
#include "QxAVConverter.h"

#include <memory>
#include <string>

namespace kestro {

// kestroconvert in `programFolder`, which runs one job with --worker; empty
// when it is not there.
std::string FindWorkerProgram(const std::string& programFolder);

// A runner for the jobs of `converter` with `workerPath`: the component's log
// level, and its OnLog, OnProgress and OnTerminate handlers, so that the
// window sees one kind of event whichever way its jobs run.
std::unique_ptr<TProcessRunner> MakeRunner(const std::string& workerPath,
                                           const TCustomAVConverter& converter);

} // namespace kestro
