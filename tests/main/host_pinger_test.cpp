// The pinger against listeners on 127.0.0.1: report shape, the store it reads, the newest-report
// rule, the eight-probe bound with targets that never answer, and how soon it stops.
#include "model/main/host_pinger.h"

#include "common/interprocess_queue.h"
#include "common/shared_region.h"
#include "common/uuid.h"
#include "tcp_peer.h"

#include <arpa/inet.h>
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <stdlib.h>
#include <sys/socket.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <map>
#include <set>
#include <thread>

namespace veltaro::pinger {
namespace {

using namespace std::chrono_literals;
using common::Json;

// A listener whose only backlog slot is taken, so further connects hang unanswered until their
// time-out: a host that drops packets, on loopback.
struct SlowTarget {
  peers::TcpListener listener{0};
  peers::TcpConnection filler = listener.connect_to_self();
};

// A listener on the IPv6 loopback address only: a host with no IPv4 address.
class Ipv6Listener {
 public:
  Ipv6Listener() : fd_(::socket(AF_INET6, SOCK_STREAM | SOCK_CLOEXEC, 0)) {
    sockaddr_in6 addr{};
    addr.sin6_family = AF_INET6;
    addr.sin6_addr = in6addr_loopback;
    socklen_t len = sizeof addr;
    if (!fd_.valid() || ::bind(fd_.get(), reinterpret_cast<sockaddr*>(&addr), len) != 0 ||
        ::listen(fd_.get(), 8) != 0 ||
        ::getsockname(fd_.get(), reinterpret_cast<sockaddr*>(&addr), &len) != 0) {
      throw std::runtime_error(std::string("IPv6 loopback listener: ") + std::strerror(errno));
    }
    port_ = ntohs(addr.sin6_port);
  }
  int port() const { return port_; }

 private:
  peers::Fd fd_;
  int port_ = 0;
};

Json session(const std::string& id, const std::string& protocol, Json port) {
  return Json{{"id", id}, {"protocol", protocol}, {"host", "127.0.0.1"}, {"port", std::move(port)}};
}

// Connections from this network namespace now waiting for an answer from one of `ports`.
// Counted by local address: the kernel's table is read in pieces while sockets come and go, so one
// socket can be listed twice in a single read.
std::size_t pending_connects_to(const std::set<unsigned long>& ports) {
  constexpr unsigned kSynSent = 2;
  std::ifstream table("/proc/net/tcp");
  std::string line;
  std::getline(table, line);
  std::set<std::string> pending;
  while (std::getline(table, line)) {
    char local[64] = {};
    char remote[64] = {};
    unsigned state = 0;
    if (std::sscanf(line.c_str(), "%*s %63s %63s %x", local, remote, &state) != 3) continue;
    const char* colon = std::strchr(remote, ':');
    if (colon && state == kSynSent && ports.count(std::stoul(colon + 1, nullptr, 16))) {
      pending.insert(local);
    }
  }
  return pending.size();
}

class HostPingerTest : public ::testing::Test {
 protected:
  void SetUp() override {
    std::string pattern = (std::filesystem::temp_directory_path() / "veltaro-ping-XXXXXX").string();
    ASSERT_NE(::mkdtemp(pattern.data()), nullptr);
    root_ = pattern;
    ::setenv("XDG_DATA_HOME", root_.c_str(), 1);
  }
  void TearDown() override {
    std::error_code ec;
    std::filesystem::remove_all(root_, ec);
  }

  void write_store(const std::string& text) {
    const auto file = std::make_shared<HostPinger>()->SESSIONS_FILE;
    std::filesystem::create_directories(file.parent_path());
    std::ofstream(file) << text;
  }

  std::filesystem::path root_;
};

TEST_F(HostPingerTest, ReportHasOneEntryPerProbedNetworkSession) {
  peers::TcpListener open;
  Ipv6Listener v6_only;
  const auto refused = peers::refused_port();
  const Json sessions = {
      session("up", "raw", open.port()),
      Json{{"id", "v6"}, {"protocol", "ssh"}, {"host", "::1"}, {"port", v6_only.port()}},
      Json{{"id", 7},
           {"protocol", "telnet"},
           {"host", "127.0.0.1"},
           {"port", std::to_string(refused)}},
      session("com", "serial", 115200),
      Json{{"id", "no-host"}, {"protocol", "raw"}, {"port", open.port()}},
      Json{{"protocol", "raw"}, {"host", "127.0.0.1"}, {"port", open.port()}},
      Json{{"id", "no-protocol"}, {"host", "127.0.0.1"}, {"port", open.port()}},
      Json("not a record"),
  };
  const ResultList results = std::make_shared<HostPinger>()->_probe_all(sessions);

  ASSERT_EQ(results.size(), 3u) << Json(results).dump();
  std::map<std::string, bool> online;
  for (const auto& entry : results) {
    ASSERT_EQ(entry.size(), 2u) << entry.dump();
    online[entry.at("id").dump()] = entry.at("online").get<bool>();
  }
  EXPECT_EQ(online, (std::map<std::string, bool>{{"\"up\"", true}, {"\"v6\"", true}, {"7", false}}))
      << "ids come back unchanged, numbers included";
}

TEST_F(HostPingerTest, StoreProblemsGiveAnEmptyRoundAndOneLine) {
  const auto pinger = std::make_shared<HostPinger>();
  EXPECT_EQ(pinger->_load_sessions(), Json::array()) << "no store yet";

  for (const std::string bad : {"{not json", R"({"other": []})", R"({"sessions": {"a": 1}})"}) {
    write_store(bad);
    testing::internal::CaptureStdout();
    EXPECT_EQ(pinger->_load_sessions(), Json::array()) << bad;
    EXPECT_EQ(testing::internal::GetCapturedStdout().rfind("[HostPinger.load_sessions] ", 0), 0u)
        << bad;
  }
  write_store(R"({"sessions": [{"id": "a"}]})");
  EXPECT_EQ(pinger->_load_sessions(), Json::parse(R"([{"id": "a"}])"));
}

TEST_F(HostPingerTest, OnlyTheNewestReportWaitsInTheQueue) {
  const std::string name = "veltaro." + std::to_string(::getuid()) + "." +
                           std::to_string(::getpid()) + "." + common::new_tab_id() + ".test";
  const auto queue = common::InterprocessQueue::create(name, 4096);
  const auto pinger = std::make_shared<HostPinger>(common::QueueTable{{"get_receipt", queue}});

  pinger->_send(Json{{"round", 1}});
  pinger->_send(Json{{"round", 2}});
  EXPECT_EQ(queue->get(0ms), std::optional<Json>(Json{{"round", 2}}));
  EXPECT_TRUE(queue->empty());

  // A report that does not fit is reported as lost, and the queue is left empty, not corrupt.
  testing::internal::CaptureStdout();
  pinger->_send(Json{{"big", std::string(8192, 'x')}});
  EXPECT_EQ(testing::internal::GetCapturedStdout().rfind("[HostPinger.send] ", 0), 0u);
  EXPECT_TRUE(queue->empty());
  common::SharedRegion::remove(name);
}

TEST_F(HostPingerTest, TwentySlowTargetsNeverGetMoreThanEightProbesAtOnce) {
  std::vector<std::unique_ptr<SlowTarget>> targets;
  std::set<unsigned long> ports;
  Json sessions = Json::array();
  for (int i = 0; i < 20; ++i) {
    targets.push_back(std::make_unique<SlowTarget>());
    ports.insert(targets.back()->listener.port());
    sessions.push_back(session("s" + std::to_string(i), "raw", targets.back()->listener.port()));
  }
  std::atomic<bool> done{false};
  std::size_t most = 0;
  std::thread sampler([&] {
    while (!done.load()) {
      most = std::max(most, pending_connects_to(ports));
      std::this_thread::sleep_for(5ms);
    }
  });
  const ResultList results = std::make_shared<HostPinger>()->_probe_all(sessions);
  done.store(true);
  sampler.join();

  EXPECT_EQ(most, HostPinger::MAX_WORKERS);
  ASSERT_EQ(results.size(), 20u);
  std::set<std::string> ids;
  for (const auto& entry : results) {
    EXPECT_EQ(entry.at("online"), false);
    ids.insert(entry.at("id").get<std::string>());
  }
  EXPECT_EQ(ids.size(), 20u);
}

class RunningPinger : public HostPingerTest {
 protected:
  void start() {
    pinger_ = std::make_shared<HostPinger>(common::QueueTable{{"get_receipt", queue_}},
                                           common::EventTable{{"end", end_}});
    runner_ = std::thread([p = pinger_] { p->run(); });
  }
  // Sets the "end" event and returns how long run() took to return.
  std::chrono::steady_clock::duration stop() {
    const auto set_at = std::chrono::steady_clock::now();
    end_->set();
    runner_.join();
    return std::chrono::steady_clock::now() - set_at;
  }

  std::shared_ptr<common::InProcessQueue> queue_ = std::make_shared<common::InProcessQueue>();
  std::shared_ptr<common::InProcessEvent> end_ = std::make_shared<common::InProcessEvent>();
  std::shared_ptr<HostPinger> pinger_;
  std::thread runner_;
};

TEST_F(RunningPinger, EmptyStoreStillReportsAndTheEndEventEndsTheWait) {
  start();
  const auto report = queue_->get(10s);
  ASSERT_TRUE(report.has_value());
  EXPECT_EQ(report->dump(), R"({"type":"ping_results","results":[]})");
  std::this_thread::sleep_for(1s);  // well into the 30-second wait
  EXPECT_LT(stop(), 1200ms);
}

TEST_F(RunningPinger, EndEventWhileEverySlotIsBusySendsThePartialReport) {
  std::vector<std::unique_ptr<SlowTarget>> targets;
  Json sessions = Json::array();
  for (int i = 0; i < 20; ++i) {
    targets.push_back(std::make_unique<SlowTarget>());
    sessions.push_back(session("s" + std::to_string(i), "ssh", targets.back()->listener.port()));
  }
  write_store(Json{{"sessions", sessions}}.dump());
  start();
  std::this_thread::sleep_for(500ms);
  // Well before the first probes' 2-second time-out ends.
  EXPECT_LT(stop(), 1200ms);
  const auto report = queue_->get(0ms);
  ASSERT_TRUE(report.has_value());
  EXPECT_EQ(report->at("type"), "ping_results");
  EXPECT_TRUE(report->at("results").is_array());

  // The probes still running hold the pinger, and let go of it when they end.
  const std::weak_ptr<HostPinger> alive = pinger_;
  pinger_.reset();
  const auto until = std::chrono::steady_clock::now() + 10s;
  while (!alive.expired() && std::chrono::steady_clock::now() < until) {
    std::this_thread::sleep_for(50ms);
  }
  EXPECT_TRUE(alive.expired());
}

}  // namespace
}  // namespace veltaro::pinger
