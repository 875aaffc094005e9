#pragma once
// How much more memory this process may take, read from the system: the one answer every reader that bounds
// what it builds (a project file's open, an XML-light document, the clipboard) measures against, so that what
// one reader accepts another does not refuse for a fixed figure of its own.
#include <cstdint>
#include <string>

namespace kelvado {

// The limit that gives the answer.
enum class TMemoryBound : uint8_t {
  AddressSpace,  // the process's address-space limit (RLIMIT_AS, ulimit -v)
  DataSize,      // the process's data-size limit (RLIMIT_DATA, ulimit -d)
  ControlGroup,  // the memory limit of its control group (or of one above it)
  Machine        // the memory the machine has available
};

struct TMemoryAllowance {
  int64_t Bytes = 0;  // never negative
  TMemoryBound Bound = TMemoryBound::Machine;
};

// Where the system's files are read from: "" for the running system. Tests give a folder that holds the
// files under the same paths (proc/self/cgroup, proc/self/mountinfo, proc/meminfo and the cgroup files the
// mount table names); the process's own limits and address space are always the running process's.
struct TMemorySystem {
  std::string Root;
};

// The smallest of what the limits that exist leave beyond what the process holds now: its address-space and
// data-size limits, every control group it belongs to with a memory limit (v2 memory.max, v1
// memory.limit_in_bytes; what the group uses less the file cache it may drop) and the machine's available
// memory (MemAvailable). The machine's memory always counts, so there is always an answer.
TMemoryAllowance MemoryAllowance(const TMemorySystem& system = {});

// The limit in English, as framework messages say it ("the address-space limit of this process").
const char* MemoryBoundText(TMemoryBound bound);

}  // namespace kelvado
