#include "model/transports/tarnlink/ssh1_client.h"

#include "model/transports/tarnlink/ssh1_backend.h"

namespace tarnlink {

std::shared_ptr<veltaro::transport::Transport> make_ssh1_client(SSH1Options options) {
  return std::make_shared<SSH1Backend>(std::move(options));
}

}  // namespace tarnlink
