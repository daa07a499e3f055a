#pragma once

#include <array>
#include <cstdint>
#include <span>

namespace grouptrace {

// No limit known.
inline constexpr std::uint64_t kNoMemoryLimit = UINT64_MAX;

// The limit a control group's memory file states, in bytes: the number on its
// first line. "max" (no limit), a missing or unreadable file and anything that
// is not a number give kNoMemoryLimit.
std::uint64_t cgroupMemoryLimit(const char* path);

// The files that hold the process's control-group memory limit: cgroup v2, v1.
inline constexpr std::array<const char*, 2> kCgroupMemoryLimitFiles = {
    "/sys/fs/cgroup/memory.max", "/sys/fs/cgroup/memory/memory.limit_in_bytes"};

// The memory a run can count on: the machine's physical memory, or the limit of
// the control group it runs in where that is tighter. A container enforces its
// limit by killing the process, not by failing an allocation.
std::uint64_t availableMemory(std::span<const char* const> cgroupFiles = kCgroupMemoryLimitFiles);

}  // namespace grouptrace
