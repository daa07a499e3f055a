// A plugin as a simulator loads one: a shared object with its own copy of the
// static library, reached through one C entry point.
#include <cstdlib>
#include <cstring>
#include <exception>
#include <string>
#include <string_view>

#include "grouptrace/byte_sink.h"
#include "grouptrace/generator.h"
#include "grouptrace/parameters.h"

namespace {

// The run's trace, copied into memory the caller frees with free().
int writeInto(const grouptrace::RunConfig& config, char** text, std::size_t* size) {
  grouptrace::StringSink sink;
  grouptrace::writeTrace(config, sink);
  const std::string& trace = sink.text();
  *text = static_cast<char*>(std::malloc(trace.size() + 1));
  if (*text == nullptr) return 1;
  std::memcpy(*text, trace.data(), trace.size() + 1);
  *size = trace.size();
  return 0;
}

}  // namespace

// The trace of a parameter stream and a seed, in memory the caller frees with
// free(); 0 on success, 1 when the stream is refused or the run fails.
extern "C" __attribute__((visibility("default"))) int grouptrace_plugin_trace(const char* stream,
                                                                              int seed, char** text,
                                                                              std::size_t* size) {
  try {
    grouptrace::RunConfig config;
    config.parameters = grouptrace::parseParameters(stream);
    config.seed = seed;
    return writeInto(config, text, size);
  } catch (const std::exception&) {
    return 1;
  }
}

// The same for a run of the timed model with these options, written as
// `format` ("csv" or "jsonl").
extern "C" __attribute__((visibility("default"))) int grouptrace_plugin_timed_trace(
    const char* stream, int seed, const grouptrace::dynamic::DynamicOptions* options,
    const char* format, char** text, std::size_t* size) {
  try {
    grouptrace::RunConfig config;
    config.parameters = grouptrace::parseParameters(stream);
    config.seed = seed;
    config.dynamic = *options;
    const auto form = grouptrace::parseTraceFormat(format);
    if (!form) return 1;
    config.format = *form;
    return writeInto(config, text, size);
  } catch (const std::exception&) {
    return 1;
  }
}
