// The shared-memory queue and event: ring bookkeeping, limits and time-outs in one process, then
// two processes talking through tables found by name, and the removal of names a crash left.
#include "common/interprocess_event.h"
#include "common/interprocess_queue.h"
#include "common/interprocess_tables.h"
#include "common/shared_region.h"
#include "common/uuid.h"

#include <gtest/gtest.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <deque>
#include <string>

namespace veltaro::common {
namespace {

using namespace std::chrono_literals;

// A name the stale-name cleanup would recognise as this process's.
std::string test_name(const std::string& what) {
  return "veltaro." + std::to_string(::getuid()) + "." + std::to_string(::getpid()) + "." +
         new_tab_id() + ".test." + what;
}

struct ScopedQueue {
  explicit ScopedQueue(std::size_t capacity)
      : name(test_name("queue")), queue(InterprocessQueue::create(name, capacity)) {}
  ~ScopedQueue() { SharedRegion::remove(name); }
  std::string name;
  std::shared_ptr<InterprocessQueue> queue;
};

bool contains(const std::vector<std::string>& names, const std::string& prefix) {
  return std::any_of(names.begin(), names.end(),
                     [&](const std::string& n) { return n.starts_with(prefix); });
}

// Waits for a forked child and returns its exit code (-1 when it did not exit normally).
int exit_code_of(pid_t child) {
  int status = 0;
  if (::waitpid(child, &status, 0) != child || !WIFEXITED(status)) return -1;
  return WEXITSTATUS(status);
}

TEST(InterprocessQueue, ItemsComeOutInOrderWhileTheRingWrapsAround) {
  ScopedQueue q(1000);
  std::deque<Json> expected;
  // Two in, one out: the queue never runs empty, so the items walk around the ring many times
  // and are split at its end in every possible place.
  for (int i = 0; i < 400; ++i) {
    for (int k = 0; k < 2; ++k) {
      const Json item = {
          {"n", i * 2 + k},
          {"text", std::string(static_cast<std::size_t>((i * 37 + k * 11) % 90), 'x')}};
      if (q.queue->put_nowait(item)) expected.push_back(item);
    }
    const auto got = q.queue->get(0ms);
    ASSERT_TRUE(got.has_value());
    ASSERT_EQ(*got, expected.front()) << "at step " << i;
    expected.pop_front();
  }
  while (!expected.empty()) {
    const auto got = q.queue->get(0ms);
    ASSERT_TRUE(got.has_value());
    EXPECT_EQ(*got, expected.front());
    expected.pop_front();
  }
  EXPECT_TRUE(q.queue->empty());
}

TEST(InterprocessQueue, FullQueueRefusesEmptyQueueTimesOut) {
  ScopedQueue q(256);
  const Json item = std::string(40, 'a');
  int stored = 0;
  while (q.queue->put_nowait(item)) ++stored;
  EXPECT_GT(stored, 2);
  EXPECT_FALSE(q.queue->empty());
  ASSERT_TRUE(q.queue->get(0ms).has_value());
  EXPECT_TRUE(q.queue->put_nowait(item)) << "a get makes room again";
  for (int i = 0; i < stored; ++i) ASSERT_TRUE(q.queue->get(0ms).has_value());
  EXPECT_TRUE(q.queue->empty());

  // An empty item (JSON null) is an item like any other: it wakes the reader.
  ASSERT_TRUE(q.queue->put_nowait(Json()));
  EXPECT_EQ(q.queue->get(0ms), std::optional<Json>(Json()));

  const auto before = std::chrono::steady_clock::now();
  EXPECT_FALSE(q.queue->get(200ms).has_value());
  EXPECT_GE(std::chrono::steady_clock::now() - before, 190ms);
  EXPECT_FALSE(q.queue->get(0ms).has_value());

  // Larger than the whole ring: refused even when empty, and nothing is left half-written.
  EXPECT_FALSE(q.queue->put_nowait(std::string(q.queue->largest_item(), 'b')));
  EXPECT_TRUE(q.queue->empty());
}

TEST(InterprocessTables, TwoProcessesExchangeAReportForTenThousandSessions) {
  InterprocessTables tables = InterprocessTables::create();
  Json report = {{"type", "ping_results"}, {"results", Json::array()}};
  for (int i = 0; i < 10'000; ++i) {
    report["results"].push_back({{"id", new_uuid_hex()}, {"online", i % 3 == 0}});
  }

  const pid_t child = ::fork();
  ASSERT_GE(child, 0);
  if (child == 0) {
    // The child finds the tables by name, as an unrelated process would.
    int code = 0;
    try {
      const InterprocessTables theirs = InterprocessTables::open(tables.prefix());
      if (!theirs.queues().at("get_receipt")->put_nowait(report))
        code = 10;
      else if (!theirs.events().at("end")->wait(20s))
        code = 11;
      else if (!theirs.queues().at("end")->put_nowait(Json()))
        code = 12;
    } catch (...) {
      code = 13;
    }
    ::_exit(code);
  }

  const auto got = tables.queues().at("get_receipt")->get(20s);
  ASSERT_TRUE(got.has_value());
  EXPECT_EQ(*got, report);
  EXPECT_FALSE(tables.events().at("end")->is_set());
  tables.events().at("end")->set();
  EXPECT_TRUE(tables.events().at("end")->is_set());
  EXPECT_EQ(tables.queues().at("end")->get(20s), std::optional<Json>(Json()));
  EXPECT_EQ(exit_code_of(child), 0);

  tables.remove_names();
  EXPECT_FALSE(contains(InterprocessTables::existing_names(), tables.prefix()));
  // Removing the names leaves the mapped blocks usable.
  EXPECT_TRUE(tables.queues().at("get_receipt")->put_nowait(Json(1)));
}

TEST(InterprocessTables, NamesLeftByACrashAreRemovedOnTheNextStart) {
  const InterprocessTables live = InterprocessTables::create();
  int pipe_fds[2];
  ASSERT_EQ(::pipe(pipe_fds), 0);
  const pid_t child = ::fork();
  ASSERT_GE(child, 0);
  if (child == 0) {
    // A launcher that dies without cleaning up.
    const InterprocessTables lost = InterprocessTables::create();
    const std::string prefix = lost.prefix() + "\n";
    if (::write(pipe_fds[1], prefix.data(), prefix.size()) < 0) ::_exit(1);
    ::_exit(0);
  }
  ::close(pipe_fds[1]);
  std::string lost;
  char c = 0;
  while (::read(pipe_fds[0], &c, 1) == 1 && c != '\n') lost.push_back(c);
  ::close(pipe_fds[0]);
  ASSERT_FALSE(lost.empty());
  ASSERT_TRUE(contains(InterprocessTables::existing_names(), lost));
  // Dead but not yet reaped, as a crashed launcher is until its parent notices.
  siginfo_t info{};
  ASSERT_EQ(::waitid(P_PID, static_cast<id_t>(child), &info, WEXITED | WNOWAIT), 0);

  InterprocessTables::remove_stale();
  const auto names = InterprocessTables::existing_names();
  EXPECT_FALSE(contains(names, lost));
  EXPECT_TRUE(contains(names, live.prefix())) << "a running launcher's names stay";
  live.remove_names();
  EXPECT_EQ(exit_code_of(child), 0);
}

}  // namespace
}  // namespace veltaro::common
