// A serial tab's connection over a scripted port: how read failures are counted, when the port is
// given up, the reopen wait's end when the tab closes, and input written on until all is taken.
#include "model/gui/serial_connection.h"
#include "model/transports/portwell/os_error.h"
#include "test_support.h"

#include <deque>
#include <future>
#include <optional>

namespace veltaro::gui {
namespace {

using common::Json;
using namespace std::chrono_literals;
using Clock = std::chrono::steady_clock;

// Reads follow a script: a text is returned, nullopt fails like an unplugged adapter; once the
// script is used up reads return nothing.
class ScriptedPort final : public portwell::SerialPort {
 public:
  explicit ScriptedPort(std::deque<std::optional<std::string>> reads) : reads_(std::move(reads)) {}

  std::string read(std::size_t) override {
    const std::lock_guard lock(mutex_);
    if (reads_.empty()) return {};
    auto next = std::move(reads_.front());
    reads_.pop_front();
    if (!next) throw portwell::OsError(5, "ReadFile", "Input/output error");
    return *next;
  }
  std::size_t write(std::string_view data) override {
    const std::lock_guard lock(mutex_);
    if (!open_) return 0;
    const std::size_t n = std::min(data.size(), write_limit);
    written.append(data.substr(0, n));
    if (++writes == close_after_writes) open_ = false;
    return n;
  }
  void close() noexcept override {
    const std::lock_guard lock(mutex_);
    open_ = false;
  }
  bool is_open() const noexcept override {
    const std::lock_guard lock(mutex_);
    return open_;
  }
  std::intptr_t handle() const noexcept override { return 7; }
  void set_dtr(bool) override {}
  void set_rts(bool) override {}
  void hard_reset() override {}
  void enter_bootloader() override {}

  std::size_t write_limit = ~std::size_t{0};
  int close_after_writes = -1;  // the device goes away after this many writes
  std::string written;
  int writes = 0;

 private:
  mutable std::mutex mutex_;
  std::deque<std::optional<std::string>> reads_;
  bool open_ = true;
};

std::deque<std::optional<std::string>> failures(int n) {
  return std::deque<std::optional<std::string>>(static_cast<std::size_t>(n), std::nullopt);
}

class SerialConnectionTest : public testing::DataDirTest {
 protected:
  void SetUp() override {
    DataDirTest::SetUp();
    app_ = make_app();
    // A device that is never there, for the reopen attempts.
    tab_ = testing::add_tab(*app_, "s1",
                            Json{{"protocol", "serial"}, {"host", "/nonexistent/veltaro-tty"}});
  }
  std::shared_ptr<SerialConnection> connect(std::unique_ptr<ScriptedPort> port) {
    port_ = port.get();
    // Kept here too, so that port_ outlives the connection's letting go of the line.
    line_ = std::make_shared<SerialPortLine>(std::move(port), "COM9");
    return std::make_shared<SerialConnection>(app_, tab_, "COM9", 9600, line_, "", "");
  }
  bool saw_disconnect_line(std::chrono::milliseconds within = 100ms) const {
    return window_->wait_for(
        common::dump_ascii(Json("─── 序列埠 COM9 已斷線，等待重新連接... ───")), within);
  }

  std::shared_ptr<VeltaroApp> app_;
  TabPtr tab_;
  std::shared_ptr<SerialPortLine> line_;
  ScriptedPort* port_ = nullptr;
};

TEST_F(SerialConnectionTest, OneGoodReadResetsTheFailureCount) {
  auto reads = failures(30);
  reads.emplace_back("a");
  for (auto f : failures(30)) reads.push_back(f);
  reads.emplace_back("b");
  const auto conn = connect(std::make_unique<ScriptedPort>(std::move(reads)));
  EXPECT_EQ(conn->receive(4096), "a");
  EXPECT_EQ(conn->receive(4096), "b");
  EXPECT_FALSE(saw_disconnect_line());
  EXPECT_TRUE(port_->is_open());
  EXPECT_NE(conn->serial_line(), nullptr);
  conn->close();
  EXPECT_FALSE(port_->is_open());
}

TEST_F(SerialConnectionTest, The31stFailureGivesThePortUpAndClosingEndsTheWaitAtOnce) {
  const auto conn = connect(std::make_unique<ScriptedPort>(failures(31)));
  auto received = std::async(std::launch::async, [&] { return conn->receive(4096); });
  ASSERT_TRUE(saw_disconnect_line(20s));
  EXPECT_FALSE(port_->is_open());
  EXPECT_EQ(conn->serial_line(), nullptr);
  EXPECT_FALSE(tab_->alive.load());
  EXPECT_THROW(conn->send_input("x"), std::runtime_error);

  const auto closed_at = Clock::now();
  conn->close();
  ASSERT_EQ(received.wait_for(2s), std::future_status::ready);
  EXPECT_LT(Clock::now() - closed_at, 300ms);
  EXPECT_EQ(received.get(), "");
  EXPECT_FALSE(conn->is_open());
}

// One write gives up after its time-out; a paste larger than that goes on in further writes, and
// a port that goes away in the middle makes the input fail instead of vanishing half written.
TEST_F(SerialConnectionTest, InputIsWrittenOnUntilAllIsTakenOrThePortFails) {
  auto slow = std::make_unique<ScriptedPort>(std::deque<std::optional<std::string>>{});
  slow->write_limit = 1000;
  const auto conn = connect(std::move(slow));
  const std::string paste(10'500, 'p');
  conn->send_input(paste);
  EXPECT_EQ(port_->written, paste);
  EXPECT_EQ(port_->writes, 11);

  port_->close_after_writes = port_->writes + 2;
  EXPECT_THROW(conn->send_input(paste), std::runtime_error);
  conn->close();
}

}  // namespace
}  // namespace veltaro::gui
