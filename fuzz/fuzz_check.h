#pragma once

#include <errno.h>

#include <cstdarg>
#include <cstdio>
#include <cstdlib>

// A broken check ends the fuzz run with its message, after the name of the
// program (the target, or its replay over the seeds).
[[noreturn, gnu::format(printf, 1, 2)]] inline void fail(const char* format, ...) {
  std::fprintf(stderr, "%s: ", program_invocation_short_name);
  va_list args;
  va_start(args, format);
  std::vfprintf(stderr, format, args);
  va_end(args);
  std::fputc('\n', stderr);
  std::abort();
}

#define CHECK(condition, ...)            \
  do {                                   \
    if (!(condition)) fail(__VA_ARGS__); \
  } while (false)
