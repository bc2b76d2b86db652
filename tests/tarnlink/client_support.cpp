#include "client_support.h"

namespace tarnlink::testing {

SSH1Options options_for(const veltaro::peers::Ssh1Server& server) {
  SSH1Options o;
  o.host = "127.0.0.1";
  o.port = server.port();
  o.username = veltaro::peers::kSsh1User;
  o.password = veltaro::peers::kSsh1Password;
  return o;
}

Watchdog::Watchdog(std::shared_ptr<SSH1Backend> client, std::chrono::seconds limit) {
  thread_ = std::thread([this, client = std::move(client), limit] {
    std::unique_lock lock(mutex_);
    if (!cv_.wait_for(lock, limit, [this] { return done_; })) {
      fired_ = true;
      client->close();
    }
  });
}

Watchdog::~Watchdog() {
  {
    const std::lock_guard lock(mutex_);
    done_ = true;
  }
  cv_.notify_all();
  thread_.join();
}

bool Watchdog::fired() const {
  const std::lock_guard lock(mutex_);
  return fired_;
}

std::string recv_until(SSH1Backend& client, const std::string& needle) {
  std::string out;
  while (out.find(needle) == std::string::npos) {
    const std::string part = client.recv(4096);
    if (part.empty()) break;
    out += part;
  }
  return out;
}

std::string recv_to_end(SSH1Backend& client) {
  std::string out;
  for (std::string part = client.recv(4096); !part.empty(); part = client.recv(4096)) out += part;
  return out;
}

}  // namespace tarnlink::testing
