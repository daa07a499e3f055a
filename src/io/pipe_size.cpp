#include "io/pipe_size.h"

#include <fcntl.h>
#include <sys/stat.h>

namespace grouptrace {

void fitPipeToWrites(int fd, std::size_t bytes) noexcept {
#if defined(F_SETPIPE_SZ) && defined(F_GETPIPE_SZ)
  struct stat st {};
  if (::fstat(fd, &st) != 0 || !S_ISFIFO(st.st_mode)) return;
  const int current = ::fcntl(fd, F_GETPIPE_SZ);
  if (current < 0 || static_cast<std::size_t>(current) >= bytes) return;
  // Silently ignored when refused: see the header.
  (void)::fcntl(fd, F_SETPIPE_SZ, static_cast<int>(bytes));
#else
  (void)fd;
  (void)bytes;
#endif
}

}  // namespace grouptrace
