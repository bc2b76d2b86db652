// drain_terminal(tab, wait_ms) and wait_for_output(since, wait_ms): an idle tab answers empty when
// the wait is over, and whatever the page must see (output, a status line, the connection's end,
// the tab's close) ends the wait at once.
#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <functional>
#include <future>
#include <optional>

#include "raw_tab_fixture.h"

namespace veltaro::driver {
namespace {

using Clock = std::chrono::steady_clock;
using peers::TcpListener;

// How long a test lets the back end sit in its wait before it acts, and how late an answer to a
// woken wait may be on a loaded sanitized build while still clearly ahead of the wait's end.
constexpr Ms kSettle{300};
constexpr Ms kWakeSlack{1'500};

struct TimedAnswer {
  Json result;
  Ms elapsed;
};

class LongPollTest : public RawTabTest {
 protected:
  // Starts drain_terminal(tab, wait_ms) on a thread of its own, as the page's bridge does.
  std::future<TimedAnswer> drain_async(const std::string& tab, const Json& wait_ms) {
    return std::async(std::launch::async, [this, tab, wait_ms] {
      const auto t0 = Clock::now();
      Json result = app().call("drain_terminal", Json::array({tab, wait_ms}));
      return TimedAnswer{std::move(result), std::chrono::duration_cast<Ms>(Clock::now() - t0)};
    });
  }

  TimedAnswer drain_waiting(const std::string& tab, const Json& wait_ms) {
    return drain_async(tab, wait_ms).get();
  }

  // wait_for_output(since, wait_ms) on a thread of its own.
  std::future<TimedAnswer> watch_async(const Json& since, const Json& wait_ms) {
    return std::async(std::launch::async, [this, since, wait_ms] {
      const auto t0 = Clock::now();
      Json result = app().call("wait_for_output", Json::array({since, wait_ms}));
      return TimedAnswer{std::move(result), std::chrono::duration_cast<Ms>(Clock::now() - t0)};
    });
  }

  // The change count now: a count ahead of the back end's is answered at once.
  std::uint64_t generation_now() {
    const Json a = app().call("wait_for_output", Json::array({kAhead, 0}));
    return a.at("generation").get<std::uint64_t>();
  }

  static constexpr double kAhead = 9007199254740992.0;
};

bool lists(const Json& answer, const std::string& tab) {
  const Json& ready = answer.at("ready");
  return std::find(ready.begin(), ready.end(), Json(tab)) != ready.end();
}

TEST_F(LongPollTest, IdleTabAnswersEmptyWhenWaitIsOver) {
  start();
  TcpListener listener;
  RawTab t = open_raw(listener);

  const TimedAnswer idle = drain_waiting(t.tab, 2000);
  EXPECT_EQ(idle.result, "");
  EXPECT_GE(idle.elapsed, Ms{1'950}) << "an idle tab must hold the call for its wait";
  EXPECT_LT(idle.elapsed, Ms{2'000} + kWakeSlack);

  // Waits beyond the cap end at the cap, not never.
  const TimedAnswer capped = drain_waiting(t.tab, 1e12);
  EXPECT_EQ(capped.result, "");
  EXPECT_GE(capped.elapsed, Ms{4'950});
  EXPECT_LT(capped.elapsed, Ms{5'000} + kWakeSlack);

  // Without a wait, or with one of no use, the answer is immediate as before.
  for (const Json& wait : {Json(0), Json(-5), Json(nullptr)}) {
    const TimedAnswer now = drain_waiting(t.tab, wait);
    EXPECT_EQ(now.result, "") << wait.dump();
    EXPECT_LT(now.elapsed, Ms{1'000}) << wait.dump();
  }
  EXPECT_EQ(drain_waiting(t.tab, "2000").result, "") << "a wait that is no number is refused";
}

TEST_F(LongPollTest, OutputAlreadyBufferedAnswersAtOnce) {
  start();
  TcpListener listener;
  RawTab t = open_raw(listener);
  t.peer->send("ready#END");
  // Let the reader put it into the buffer; a waiting drain would pick it up anyway.
  ASSERT_EQ(drain_to_end(t.tab), "ready#END");
  t.peer->send("more");
  std::this_thread::sleep_for(kSettle);
  const TimedAnswer a = drain_waiting(t.tab, 5000);
  EXPECT_EQ(a.result, "more");
  EXPECT_LT(a.elapsed, kWakeSlack);
}

// Nothing can follow the end of a tab's connection: a poll that comes after it must not sit out
// its wait, whether the peer went away or the connection never came.
TEST_F(LongPollTest, EndedTabAnswersAtOnce) {
  start();
  TcpListener listener;
  RawTab t = open_raw(listener);
  t.peer->send("last#END");
  ASSERT_EQ(drain_to_end(t.tab), "last#END");
  t.peer->close();
  ASSERT_TRUE(saw_info(t.tab, kConnectionEnded, false));
  ASSERT_TRUE(wait_until_dead(t.tab));
  for (int i = 0; i < 2; ++i) {
    const TimedAnswer a = drain_waiting(t.tab, 5000);
    EXPECT_EQ(a.result, "") << "poll " << i;
    EXPECT_LT(a.elapsed, kWakeSlack) << "poll " << i << " waited on an ended tab";
  }

  const std::uint16_t port = peers::refused_port();
  const std::string refused = open_tab(save(raw_record(port)));
  ASSERT_TRUE(wait_until_dead(refused));
  const TimedAnswer never = drain_waiting(refused, 5000);
  EXPECT_EQ(never.result, "");
  EXPECT_LT(never.elapsed, kWakeSlack) << "waited on a tab whose connection never came";
}

TEST_F(LongPollTest, OneWaitForAllTabsHoldsWhileIdleAndReportsOnlyWhatChanged) {
  start();
  TcpListener first_listener;
  TcpListener second_listener;
  RawTab first = open_raw(first_listener);
  RawTab second = open_raw(second_listener);
  std::this_thread::sleep_for(kSettle);
  const std::uint64_t g = generation_now();

  const TimedAnswer idle = watch_async(g, 2000).get();
  EXPECT_EQ(idle.result.at("generation"), g);
  EXPECT_EQ(idle.result.at("ready"), Json::array());
  EXPECT_GE(idle.elapsed, Ms{1'950}) << "idle tabs must hold the call for its wait";
  EXPECT_LT(idle.elapsed, Ms{2'000} + kWakeSlack);

  auto pending = watch_async(g, 5000);
  std::this_thread::sleep_for(kSettle);
  second.peer->send("x");
  const TimedAnswer woke = pending.get();
  EXPECT_LT(woke.elapsed, kSettle + kWakeSlack);
  EXPECT_GT(woke.result.at("generation").get<std::uint64_t>(), g);
  EXPECT_TRUE(lists(woke.result, second.tab)) << woke.result.dump();
  EXPECT_FALSE(lists(woke.result, first.tab)) << woke.result.dump();
  EXPECT_EQ(app().drain_until_contains(second.tab, "x"), "x");

  // A change between two waits is not lost: the next wait from the old count answers at once.
  first.peer->send("y");
  std::this_thread::sleep_for(kSettle);
  const TimedAnswer late = watch_async(woke.result.at("generation"), 5000).get();
  EXPECT_LT(late.elapsed, kWakeSlack);
  EXPECT_TRUE(lists(late.result, first.tab)) << late.result.dump();

  // A count from before a restart, or no count at all, is answered at once.
  const TimedAnswer stale = watch_async(kAhead, 5000).get();
  EXPECT_LT(stale.elapsed, kWakeSlack);
  EXPECT_TRUE(lists(stale.result, first.tab) && lists(stale.result, second.tab));
  for (const Json& bad : {Json("1"), Json(-1), Json(0.5)}) {
    EXPECT_TRUE(app().call("wait_for_output", Json::array({bad, 0})).is_null()) << bad.dump();
  }
}

class WakeTest;

struct WakeCase {
  const char* name;
  // Does what must end the wait; `t` is the waiting tab.
  std::function<void(WakeTest&, RawTab&)> act;
  std::string expected;  // the waiting drain's answer
};

void PrintTo(const WakeCase& c, std::ostream* os) {
  *os << c.name;
}

class WakeTest : public LongPollTest, public ::testing::WithParamInterface<WakeCase> {
 public:
  using DriverTest::app;
  using DriverTest::save;

 protected:
  // Lets `pending` sit in its wait, does the case's act, and returns the answer; fails unless the
  // answer came soon after the act rather than at the wait's end.
  std::optional<Json> answer_to_act(std::future<TimedAnswer> pending, RawTab& t) {
    std::this_thread::sleep_for(kSettle);
    EXPECT_EQ(pending.wait_for(Ms{0}), std::future_status::timeout) << "the call did not wait";
    const auto acted = Clock::now();
    GetParam().act(*this, t);
    if (pending.wait_for(Ms{5'000} + kWakeSlack) != std::future_status::ready) {
      ADD_FAILURE() << "no answer";
      return std::nullopt;
    }
    Json result = pending.get().result;
    EXPECT_LT(Clock::now() - acted, kWakeSlack) << "the wait must end when the event comes";
    return result;
  }
};

TEST_P(WakeTest, EventDuringWaitEndsIt) {
  start();
  TcpListener listener;
  RawTab t = open_raw(listener);
  const auto a = answer_to_act(drain_async(t.tab, 5000), t);
  ASSERT_TRUE(a);
  EXPECT_EQ(*a, GetParam().expected);
}

TEST_P(WakeTest, EventDuringOneWaitForAllTabsEndsIt) {
  start();
  TcpListener listener;
  RawTab t = open_raw(listener);
  std::this_thread::sleep_for(kSettle);
  const std::uint64_t g = generation_now();
  const auto a = answer_to_act(watch_async(g, 5000), t);
  ASSERT_TRUE(a);
  EXPECT_GT(a->at("generation").get<std::uint64_t>(), g) << a->dump();
}

INSTANTIATE_TEST_SUITE_P(
    Events, WakeTest,
    ::testing::Values(
        WakeCase{"PeerText", [](WakeTest&, RawTab& open) { open.peer->send("hello"); }, "hello"},
        WakeCase{"StatusLine",
                 [](WakeTest& test, RawTab& open) {
                   // Saving the open session shows a status line in its tab.
                   open.rec["name"] = "renamed";
                   test.save(open.rec);
                 },
                 ""},
        WakeCase{"ConnectionEnds", [](WakeTest&, RawTab& open) { open.peer->close(); }, ""},
        WakeCase{"TabCloses",
                 [](WakeTest& test, RawTab& open) {
                   test.app().call("close_tab", Json::array({open.tab}));
                 },
                 ""}),
    [](const auto& p) { return std::string(p.param.name); });

TEST_F(LongPollTest, EndOfInputDoesNotWaitForLongPolls) {
  start();
  TcpListener listener;
  RawTab t = open_raw(listener);
  auto pending = drain_async(t.tab, 5000);
  auto watching = watch_async(generation_now(), 5000);
  std::this_thread::sleep_for(kSettle);
  const auto t0 = Clock::now();
  const ExitStatus st = app().finish();
  EXPECT_TRUE(st.exited && st.code == 0) << st.describe();
  EXPECT_LT(Clock::now() - t0, Ms{3'000}) << "shutdown waited for a long poll";
  pending.wait_for(kAnswerWait);
  watching.wait_for(kAnswerWait);
}

}  // namespace
}  // namespace veltaro::driver
