#pragma once

#include "grouptrace/parameters.h"
#include "parameters/my_io.h"

namespace grouptrace {

// A number with text glued to it ("20,000"), which NumberEnd::legacy would have
// read; a ParameterError like any other, so that callers who can offer the
// legacy reading may say so.
class GluedNumberError : public ParameterError {
 public:
  using ParameterError::ParameterError;
};

// Reads all 13 values; throws ParameterError for input that ends early or cannot
// be read, a value that is not a number or lies outside the signed 32-bit range
// (or, unless `numberEnd` is legacy, has text glued to it), and fewer than one
// node or one session. Reads nothing after the 13th value's line, and past a
// value found to be bad only the short excerpt its message shows.
Parameters readParameters(myIO& io, NumberEnd numberEnd = NumberEnd::separated);

// readParameters without the check of the scenario as a whole, for callers that
// replace some values before checkParameters.
Parameters readParameterValues(myIO& io, NumberEnd numberEnd = NumberEnd::separated);

}  // namespace grouptrace
