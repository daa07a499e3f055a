#include "grouptrace/byte_sink.h"

#include <cstring>

#include "io/fd_io.h"

namespace grouptrace {

WriteError::WriteError(int errnum)
    : std::runtime_error(std::string("cannot write the trace: ") + std::strerror(errnum)),
      errnum_(errnum) {
}

void FdSink::write(const char* data, std::size_t size) {
  if (const int errnum = writeAll(fd_, data, size)) throw WriteError(errnum);
}

}  // namespace grouptrace
