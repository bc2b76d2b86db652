#include "test_support.h"

#include <fstream>
#include <future>

namespace veltaro::gui {
namespace {

using common::Json;
using namespace std::chrono_literals;

class Lifecycle : public testing::DataDirTest {};

std::map<std::string, std::string> status_of(VeltaroApp& app) {
  const std::lock_guard lock(app.status_mutex);
  return app.session_status;
}

bool wait_until(const std::function<bool()>& done, std::chrono::milliseconds timeout = 5s) {
  const auto deadline = std::chrono::steady_clock::now() + timeout;
  while (!done()) {
    if (std::chrono::steady_clock::now() > deadline) return false;
    std::this_thread::sleep_for(10ms);
  }
  return true;
}

TEST_F(Lifecycle, PingerResultsReachTheSessionStatus) {
  auto results = std::make_shared<common::InProcessQueue>();
  auto end_queue = std::make_shared<common::InProcessQueue>();
  auto end_event = std::make_shared<common::InProcessEvent>();
  auto app = make_app({{"get_receipt", results}, {"end", end_queue}}, {{"end", end_event}});
  std::thread poller([app] { app->_poll_queue(); });

  results->put_nowait(
      Json{{"type", "ping_results"},
           {"results", {{{"id", "a"}, {"online", true}}, {{"id", "b"}, {"online", false}}}}});
  results->put_nowait(Json{{"type", "other"}, {"results", {{{"id", "a"}, {"online", false}}}}});
  ASSERT_TRUE(wait_until([&] { return status_of(*app).size() == 2; }));
  EXPECT_EQ(status_of(*app),
            (std::map<std::string, std::string>{{"a", "online"}, {"b", "offline"}}));

  ::testing::internal::CaptureStdout();
  results->put_nowait(Json{{"type", "ping_results"},
                           {"results", {{{"id", "c"}, {"online", true}}, {{"id", "d"}}}}});
  ASSERT_TRUE(wait_until([&] { return status_of(*app).count("c") == 1; }));
  std::this_thread::sleep_for(100ms);
  app->_shutdown();
  poller.join();
  EXPECT_TRUE(::testing::internal::GetCapturedStdout().starts_with("[poll_queue] "));
  EXPECT_EQ(status_of(*app).count("d"), 0u) << "earlier elements stay applied";

  EXPECT_TRUE(end_event->is_set());
  EXPECT_EQ(end_queue->get(0ms), Json()) << "the pinger is woken with an empty item";
}

// The page learns of a host going on- or offline from its one wait for all tabs, so that it need
// not ask for the state again and again while nothing happens.
TEST_F(Lifecycle, AChangedOnlineStateEndsThePagesWaitAndARepeatedOneDoesNot) {
  auto results = std::make_shared<common::InProcessQueue>();
  auto app = make_app({{"get_receipt", results}}, {});
  std::thread poller([app] { app->_poll_queue(); });
  const auto ping = [&](Json items) {
    results->put_nowait(Json{{"type", "ping_results"}, {"results", std::move(items)}});
  };
  const auto timed_wait = [&](std::uint64_t since, std::chrono::milliseconds wait) {
    const auto t0 = std::chrono::steady_clock::now();
    Json answer = app->wait_for_output(since, wait);
    return std::make_pair(answer, std::chrono::steady_clock::now() - t0);
  };
  const std::uint64_t start = app->wait_for_output(0, 0ms)["generation"];

  auto first = std::async(std::launch::async, [&] { return timed_wait(start, 20s); });
  std::this_thread::sleep_for(200ms);
  ping({{{"id", "a"}, {"online", true}}});
  const auto [changed, took] = first.get();
  EXPECT_LT(took, 5s) << "the change ends the wait at once";
  EXPECT_EQ(changed["status"], true);
  EXPECT_EQ(changed["ready"], Json::array());

  const std::uint64_t seen = changed["generation"];
  ping({{{"id", "a"}, {"online", true}}});
  const auto [same, held] = timed_wait(seen, 800ms);
  EXPECT_GE(held, 750ms) << "the same state again is no change";
  EXPECT_EQ(same["status"], false);

  ::testing::internal::CaptureStdout();
  auto broken = std::async(std::launch::async, [&] { return timed_wait(seen, 20s); });
  ping({{{"id", "b"}, {"online", false}}, {{"id", "c"}}});
  const auto [partly, partly_took] = broken.get();
  EXPECT_LT(partly_took, 5s) << "what a malformed message changed before its fault counts";
  EXPECT_EQ(partly["status"], true);
  app->_shutdown();
  poller.join();
  EXPECT_TRUE(::testing::internal::GetCapturedStdout().starts_with("[poll_queue] "));
}

TEST_F(Lifecycle, ShutdownWithoutPingerClosesEveryTab) {
  auto app = make_app();
  testing::add_tab(*app, "a", Json{{"id", "1"}});
  testing::add_tab(*app, "b", Json{{"id", "2"}});
  app->_shutdown();
  app->_shutdown();
  EXPECT_TRUE(app->get_runtime_state()["tabs"].empty());
  EXPECT_TRUE(app->_stop.load());
}

TEST_F(Lifecycle, KeyGeneratorBesideTheModuleWinsOverPath) {
  const auto bin = VeltaroApp::module_dir() / "bin";
  std::filesystem::create_directories(bin);
  const auto bundled = bin / "veltaro-test-tool";
  std::ofstream(bundled) << "#!/bin/sh\n";
  const auto on_path = root_ / "pathdir";
  std::filesystem::create_directories(on_path);
  std::ofstream(on_path / "veltaro-test-tool") << "#!/bin/sh\n";
  std::filesystem::permissions(on_path / "veltaro-test-tool", std::filesystem::perms::owner_all);
  const std::string old_path = std::getenv("PATH");
  ::setenv("PATH", on_path.c_str(), 1);
  auto app = make_app();
  EXPECT_EQ(app->_find_bundled("veltaro-test-tool"), bundled);
  std::filesystem::remove(bundled);
  EXPECT_EQ(app->_find_bundled("veltaro-test-tool"), on_path / "veltaro-test-tool");
  EXPECT_EQ(app->_find_bundled("veltaro-test-tool", false), std::nullopt);
  ::setenv("PATH", old_path.c_str(), 1);
}

TEST_F(Lifecycle, ClosingTheWindowOnlyHidesIt) {
  auto app = make_app();
  EXPECT_FALSE(app->_on_window_closing());
  EXPECT_TRUE(window_->hidden());
}

}  // namespace
}  // namespace veltaro::gui
