#include "WorkerBatch.h"

#include <unistd.h>

#include <filesystem>

namespace kestro {

std::string FindWorkerProgram(const std::string& programFolder) {
  const std::filesystem::path worker = std::filesystem::path(programFolder) / "kestroconvert";
  std::error_code error;
  if (std::filesystem::is_regular_file(worker, error) && access(worker.c_str(), X_OK) == 0)
    return worker.string();
  return {};
}

std::unique_ptr<TProcessRunner> MakeRunner(const std::string& workerPath,
                                           const TCustomAVConverter& converter) {
  TRunnerSettings settings;
  settings.WorkerPath = workerPath;
  settings.LogLevel = converter.LogLevel();
  auto runner = std::make_unique<TProcessRunner>(settings);
  runner->OnLog = converter.OnLog;
  runner->OnProgress = converter.OnProgress;
  runner->OnTerminate = converter.OnTerminate;
  return runner;
}

} // namespace kestro
