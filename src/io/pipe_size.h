#pragma once

#include <cstddef>

namespace grouptrace {

// The capacity asked of a pipe that carries a trace: four of the writer's
// blocks, so that the writer is put to sleep and woken once per megabyte
// rather than once per 64 KiB, the kernel's default.
inline constexpr std::size_t kStreamPipeBytes = std::size_t{1} << 20;

// When `fd` is a pipe (or FIFO) smaller than `bytes`, asks the kernel to grow
// it. A refusal (an unprivileged process past /proc/sys/fs/pipe-max-size or
// its user's pipe quota, a kernel without the request) keeps the pipe as it
// is: the trace is the same, only written in more rounds. Anything that is
// not a pipe is left alone.
void fitPipeToWrites(int fd, std::size_t bytes = kStreamPipeBytes) noexcept;

}  // namespace grouptrace
