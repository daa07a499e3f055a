#include "trace_model.h"

#include <system_error>
#include <variant>

#include "grouptrace/file_source.h"
#include "grouptrace/trace_error.h"
#include "grouptrace/trace_reader.h"

// The build must not have raised the standard on the library's behalf: the
// headers are meant for projects that stay at C++17.
static_assert(__cplusplus == 201703L, "the model is to be compiled as C++17");

namespace {

// The event comparisons are written by hand for C++17; each must look at
// every field.
bool comparesEveryField(const grouptrace::JoinRecord& join) {
  grouptrace::JoinRecord same = join;
  if (!(same == join) || same != join) return false;
  grouptrace::JoinRecord other[5] = {join, join, join, join, join};
  other[0].node += 1;
  other[1].session += 1;
  other[2].band += 1;
  other[3].delay += 1;
  other[4].hops += 1;
  for (const grouptrace::JoinRecord& changed : other) {
    if (changed == join || !(changed != join)) return false;
  }
  const grouptrace::TraceEvent event = join;
  return event == grouptrace::TraceEvent(same) && event != grouptrace::TraceEvent(other[2]);
}

}  // namespace

bool countRequests(const char* path, RequestCounts& counts, std::string& error) {
  counts = RequestCounts();
  try {
    grouptrace::FileSource file(path);
    grouptrace::TraceReader reader(file);
    grouptrace::TraceEvent event;
    while (reader.next(event)) {
      if (const auto* join = std::get_if<grouptrace::JoinRecord>(&event)) {
        if (!comparesEveryField(*join)) {
          error = "event comparison ignores a field";
          return false;
        }
        ++counts.joins;
      } else if (std::holds_alternative<grouptrace::LeaveRecord>(event)) {
        ++counts.leaves;
      }
    }
    return true;
  } catch (const grouptrace::TraceError& e) {
    error = e.what();
  } catch (const std::system_error& e) {
    error = e.what();
  }
  return false;
}
