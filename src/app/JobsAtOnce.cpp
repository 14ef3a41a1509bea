#include "JobsAtOnce.h"

#include <algorithm>

namespace kestro {

int AutomaticJobs(int cores, int threadsPerJob) {
  return std::max(1, std::max(1, cores) / std::max(1, threadsPerJob));
}

int JobsAtOnce(int choice, int cores, int threadsPerJob) {
  if (choice <= 0)
    return AutomaticJobs(cores, threadsPerJob);
  return std::clamp(choice, 1, std::max(1, cores));
}

} // namespace kestro
