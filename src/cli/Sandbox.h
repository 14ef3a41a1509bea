// What a worker gives up before it touches the job's media: a hostile file or
// hook module then cannot reach the network, start programs, read other
// processes or write anywhere but the output's folder.
#pragma once

#include <string>
#include <vector>

namespace kestro {

// Applies the limits to this process: sockets, exec and ptrace are refused
// (every thread, including those already running), and files may be written,
// made, removed or renamed only beneath the folder of `outputFile` (this
// thread and the threads it starts from now on). Reading stays free.
// Returns one line per part the kernel does not offer, for the job's log;
// the job runs without that part.
std::vector<std::string> ApplyWorkerSandbox(const std::string& outputFile);

// The file-system limits the running kernel offers (its Landlock ABI
// version), 0 when it has none.
int FileLimitsVersion();

} // namespace kestro
