#include "ssh1_peer.h"

#include <fstream>
#include <sstream>
#include <stdexcept>
#include <thread>

namespace veltaro::peers {

namespace {

using Clock = std::chrono::steady_clock;
constexpr std::chrono::seconds kStartWait{30};  // key generation on a loaded machine
constexpr std::chrono::milliseconds kPollStep{20};

}  // namespace

Ssh1Server::Ssh1Server(const Ssh1ServerOptions& options) {
  std::vector<std::string> argv = {
      "/usr/bin/python3", VELTARO_SSH1_SERVER, "--events", (dir_ / "events.jsonl").string(),
      "--mode",           options.mode,        "--user",   kSsh1User,
      "--password",       kSsh1Password};
  for (const auto& f : options.faults) argv.insert(argv.end(), {"--fault", f});
  for (const auto& b : options.banner) argv.insert(argv.end(), {"--banner", b});
  if (options.version_line) argv.insert(argv.end(), {"--version-line", *options.version_line});
  ssh2::testing::SpawnOptions spawn;
  spawn.output_file = dir_ / "server.log";
  process_.emplace(ssh2::testing::Process::spawn(argv, spawn));
  const auto deadline = Clock::now() + kStartWait;
  while (Clock::now() < deadline) {
    const auto found = events("listening");
    if (!found.empty()) {
      listening_ = found.front();
      port_ = listening_.at("port").get<int>();
      return;
    }
    if (!process_->running()) break;
    std::this_thread::sleep_for(kPollStep);
  }
  throw std::runtime_error("SSH-1 test server did not start: " + log());
}

std::vector<nlohmann::json> Ssh1Server::events() const {
  std::vector<nlohmann::json> out;
  std::ifstream in(dir_ / "events.jsonl");
  std::string line;
  while (std::getline(in, line)) {
    // The last line may still be being written.
    auto parsed = nlohmann::json::parse(line, nullptr, false);
    if (!parsed.is_discarded()) out.push_back(std::move(parsed));
  }
  return out;
}

std::vector<nlohmann::json> Ssh1Server::events(const std::string& name) const {
  std::vector<nlohmann::json> out;
  for (auto& e : events()) {
    if (e.value("event", "") == name) out.push_back(std::move(e));
  }
  return out;
}

bool Ssh1Server::wait_for(const std::string& name, std::size_t count,
                          std::chrono::milliseconds timeout) const {
  const auto deadline = Clock::now() + timeout;
  for (;;) {
    if (events(name).size() >= count) return true;
    if (Clock::now() >= deadline) return false;
    std::this_thread::sleep_for(kPollStep);
  }
}

std::string Ssh1Server::log() const {
  std::ifstream in(dir_ / "server.log");
  std::ostringstream s;
  s << in.rdbuf();
  return s.str();
}

}  // namespace veltaro::peers
