// The window's batch in worker processes: where the worker program is, which
// batches it can take, and a runner whose events reach the window as the
// component's do.
#pragma once

#include "ProcessRunner.h"
#include "QxAVConverter.h"

#include <memory>
#include <string>

namespace kestro {

// kestroconvert in `programFolder`, which runs one job with --worker; empty
// when it is not there.
std::string FindWorkerProgram(const std::string& programFolder);

// Whether some job of `converter` reads a source that can be read only once
// (a named pipe, a device): the component read its beginning when the file
// was added, so no worker could read it whole.
bool HasReadOnceSource(TCustomAVConverter& converter);

// A runner for the jobs of `converter` with `workerPath`: the component's log
// level, and its OnLog, OnProgress and OnTerminate handlers, so that the
// window sees one kind of event whichever way its jobs run.
std::unique_ptr<TProcessRunner> MakeRunner(const std::string& workerPath,
                                           const TCustomAVConverter& converter);

} // namespace kestro
