// The two ways the SSH-1 layers fail.
#pragma once

#include <stdexcept>

namespace tarnlink {

// The socket ended (end of stream, socket error, or a read time-out while connecting). Readers
// of a running session treat it as the end, not as a failure.
class SSH1Closed : public std::runtime_error {
 public:
  using std::runtime_error::runtime_error;
};

}  // namespace tarnlink
