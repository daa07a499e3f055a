#pragma once

#include "grouptrace/parameters.h"
#include "parameters/my_io.h"

namespace grouptrace {

// Reads all 13 values; throws ParameterError for input that ends early or cannot
// be read, a value that is not a number or lies outside the signed 32-bit range,
// and fewer than one node or one session. Reads nothing after the 13th value's
// line, and past a value found to be bad only the short excerpt its message shows.
Parameters readParameters(myIO& io);

// readParameters without the check of the scenario as a whole, for callers that
// replace some values before checkParameters.
Parameters readParameterValues(myIO& io);

}  // namespace grouptrace
