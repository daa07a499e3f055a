#pragma once

#include <string>

// The interface of the model library: nothing of grouptrace shows through it.
struct RequestCounts {
  long long joins = 0;
  long long leaves = 0;
};

// Reads the trace at path. False, with the reason in error, when the file
// cannot be read or the trace is faulty.
bool countRequests(const char* path, RequestCounts& counts, std::string& error);
