// A raw tab whose page drains slower than the peer sends: nothing is lost, the buffer stays at its
// limit, and a reader held by a full buffer lets go at once when its tab closes, capture is
// turned off or the program ends.
#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <filesystem>
#include <thread>

#include "numbered_stream.h"
#include "raw_tab_fixture.h"

namespace veltaro::driver {
namespace {

using Clock = std::chrono::steady_clock;
using peers::TcpListener;

constexpr std::size_t kStreamBytes = std::size_t{200} << 20;
constexpr std::size_t kSendPiece = std::size_t{1} << 20;
// Undrained text is held at this many characters (one byte each in this ASCII stream), past it by
// at most one received chunk.
constexpr std::size_t kLimit = 2'000'000;
constexpr std::size_t kOneChunk = std::size_t{256} << 10;
constexpr Ms kSlowPhase{3'000};
constexpr Ms kSlowInterval{50};
constexpr Ms kLongPoll{1'000};
// Generous: 200 MB through a sanitized build on a loaded machine; past it the test fails, never
// hangs.
constexpr Ms kStreamWait{420'000};
// How long a held reader may take to let go, with its socket and thread gone.
constexpr Ms kLetGo{500};
// Enough for the peer to fill the buffer and the socket queues behind it.
constexpr std::size_t kFloodBytes = std::size_t{16} << 20;
constexpr Ms kFill{1'500};

std::size_t entries(const std::string& dir) {
  std::size_t n = 0;
  for ([[maybe_unused]] const auto& e : std::filesystem::directory_iterator(dir)) ++n;
  return n;
}

// Threads and descriptors of a process.
struct Footprint {
  std::size_t threads = 0;
  std::size_t fds = 0;
  bool operator==(const Footprint&) const = default;
};

Footprint footprint(pid_t pid) {
  const std::string proc = "/proc/" + std::to_string(pid);
  return {entries(proc + "/task"), entries(proc + "/fd")};
}

class FlowControlTest : public RawTabTest {
 protected:
  // Polls until the program's threads and descriptors are back to `baseline`.
  bool back_to(const Footprint& baseline, Ms within) {
    const auto until = Clock::now() + within;
    while (footprint(app().pid()) != baseline) {
      if (Clock::now() >= until) return false;
      std::this_thread::sleep_for(Ms{5});
    }
    return true;
  }

  // Has the tab's peer send more than the buffer and the socket queues hold, and waits until the
  // tab's reader is held by the full buffer.
  static std::thread flood(RawTab& t) {
    std::thread sender([&t] {
      try {
        for (std::size_t off = 0; off < kFloodBytes; off += kSendPiece) {
          t.peer->send(numbered_bytes(off, kSendPiece));
        }
      } catch (const std::runtime_error&) {
        // The tab closed its end: what the test wanted.
      }
    });
    std::this_thread::sleep_for(kFill);
    return sender;
  }
};

TEST_F(FlowControlTest, stream_drained_slowly_then_fast_arrives_complete_and_in_order) {
  start();
  TcpListener listener;
  RawTab t = open_raw(listener);
  std::thread sender([&t] {
    try {
      for (std::size_t off = 0; off < kStreamBytes; off += kSendPiece) {
        t.peer->send(numbered_bytes(off, kSendPiece));
      }
      t.peer->close();
    } catch (const std::runtime_error&) {
      // The tab was closed because the stream took too long; the checks below say so.
    }
  });

  NumberedChecker check;
  std::size_t largest = 0;
  const auto slow_until = Clock::now() + kSlowPhase;
  const auto give_up = Clock::now() + kStreamWait;
  while (Clock::now() < give_up) {
    const bool slow = Clock::now() < slow_until;
    const bool over =
        app().wait_for_script(info_is(t.tab, std::string(kConnectionEnded)), Ms{0}).has_value();
    const Json wait = slow ? 0 : kLongPoll.count();
    const std::string text = app().call("drain_terminal", Json::array({t.tab, wait}));
    largest = std::max(largest, text.size());
    if (!check.feed(text)) break;
    if (over && text.empty()) break;
    if (slow) std::this_thread::sleep_for(kSlowInterval);
  }
  app().call("close_tab", Json::array({t.tab}));
  sender.join();
  EXPECT_TRUE(check.ok()) << "stream differs at byte " << check.bad_offset();
  EXPECT_EQ(check.received(), kStreamBytes);
  EXPECT_GE(largest, kLimit) << "the slow drains never found the buffer full";
  EXPECT_LE(largest, kLimit + kOneChunk) << "undrained text grew past the limit";
}

TEST_F(FlowControlTest, held_reader_lets_go_when_its_tab_closes) {
  start();
  TcpListener listener;
  // A first tab, opened and closed, leaves what the program keeps for good (its worker threads).
  RawTab first = open_raw(listener);
  app().call("close_tab", Json::array({first.tab}));
  ASSERT_TRUE(first.peer->read_all().eof);
  std::this_thread::sleep_for(kLetGo);
  const Footprint baseline = footprint(app().pid());
  RawTab t = open_raw(listener);
  std::thread sender = flood(t);
  app().call("close_tab", Json::array({t.tab}));
  EXPECT_TRUE(back_to(baseline, kLetGo))
      << "a thread or descriptor outlived the tab: threads " << baseline.threads << " -> "
      << footprint(app().pid()).threads << ", descriptors " << baseline.fds << " -> "
      << footprint(app().pid()).fds;
  t.peer->reset();
  sender.join();
}

TEST_F(FlowControlTest, held_reader_goes_on_discarding_when_capture_is_turned_off) {
  start();
  TcpListener listener;
  RawTab t = open_raw(listener);
  std::thread sender = flood(t);
  app().call("toggle_tab_reading", Json::array({t.tab}));
  const auto t0 = Clock::now();
  sender.join();  // the reader takes everything again, so the peer can send the rest
  EXPECT_LT(Clock::now() - t0, kFill);
  t.peer->send("off#END");
  EXPECT_LE(app().call("drain_terminal", Json::array({t.tab})).get<std::string>().size(),
            kLimit + kOneChunk)
      << "captured-off text must not be kept";
  app().call("toggle_tab_reading", Json::array({t.tab}));
  t.peer->send("on#END");
  const std::string after = drain_to_end(t.tab);
  EXPECT_TRUE(after.ends_with("on#END"));
  EXPECT_EQ(after.find("off#END"), std::string::npos) << "captured-off text must not be kept";
}

TEST_F(FlowControlTest, held_reader_does_not_hold_up_the_programs_end) {
  start();
  TcpListener listener;
  RawTab t = open_raw(listener);
  std::thread sender = flood(t);
  const auto t0 = Clock::now();
  const ExitStatus st = app().finish();
  EXPECT_TRUE(st.exited && st.code == 0) << st.describe();
  EXPECT_LT(Clock::now() - t0, Ms{3'000}) << "the end waited for a held reader";
  t.peer->reset();
  sender.join();
}

}  // namespace
}  // namespace veltaro::driver
