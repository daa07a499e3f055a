#pragma once

#include <cstddef>
#include <string>

#include "grouptrace/byte_source.h"

namespace grouptrace {

// Appends what `source` holds to `text`, to its end, and says whether that
// was at most `limit` bytes in all. A file this system reads whole (a
// parameter file, a manifest, a network) is small; reading stops soon past
// the limit, so that a mistaken input (a trace, a device that never ends) is
// refused instead of filling memory. Errors of the source pass through.
bool readWhole(ByteSource& source, std::string& text, std::size_t limit);

}  // namespace grouptrace
