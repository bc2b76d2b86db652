// The application with a real pinger process: veltaro-headless --with-pinger forks the pinger,
// which probes the saved sessions on 127.0.0.1 and reports through the shared-memory queue; the
// marks show up in get_runtime_state.
#include <gtest/gtest.h>

#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <filesystem>
#include <fstream>
#include <set>
#include <sstream>
#include <thread>

#include "driver_fixture.h"
#include "tcp_peer.h"

namespace veltaro::driver {
namespace {

constexpr Ms kStatusPoll{50};

// Process ids whose parent is `parent`, from /proc.
std::vector<pid_t> children_of(pid_t parent) {
  std::vector<pid_t> found;
  for (const auto& entry : std::filesystem::directory_iterator("/proc")) {
    const std::string name = entry.path().filename().string();
    if (name.find_first_not_of("0123456789") != std::string::npos) continue;
    std::ifstream stat(entry.path() / "stat");
    std::string line;
    if (!std::getline(stat, line)) continue;
    // "pid (comm) state ppid ...": comm may hold blanks, so read after the last ')'.
    std::istringstream rest(line.substr(line.rfind(')') + 1));
    char state = 0;
    pid_t ppid = 0;
    if (rest >> state >> ppid && ppid == parent) found.push_back(std::stoi(name));
  }
  return found;
}

// Whether `pid` runs; a process that ended but was not reaped yet does not.
bool running(pid_t pid) {
  std::ifstream stat("/proc/" + std::to_string(pid) + "/stat");
  std::string line;
  if (!std::getline(stat, line)) return false;
  const auto close = line.rfind(')');
  return close != std::string::npos && line.size() > close + 2 && line[close + 2] != 'Z' &&
         line[close + 2] != 'X';
}

// Shared-memory names the program with this process id created.
std::vector<std::string> shm_names_of(pid_t pid) {
  const std::string stem =
      "veltaro." + std::to_string(::getuid()) + "." + std::to_string(pid) + ".";
  std::vector<std::string> found;
  for (const auto& entry : std::filesystem::directory_iterator("/dev/shm")) {
    const std::string name = entry.path().filename().string();
    if (name.starts_with(stem)) found.push_back(name);
  }
  return found;
}

// The descriptor numbers `pid` holds open.
std::set<int> descriptors_of(pid_t pid) {
  std::set<int> found;
  for (const auto& entry :
       std::filesystem::directory_iterator("/proc/" + std::to_string(pid) + "/fd")) {
    found.insert(std::stoi(entry.path().filename().string()));
  }
  return found;
}

// The id of a process that ran a moment ago and is gone now.
pid_t ended_process() {
  const pid_t child = ::fork();
  if (child == 0) ::_exit(0);
  int status = 0;
  ::waitpid(child, &status, 0);
  return child;
}

class PingerTest : public DriverTest {
 protected:
  // Polls get_runtime_state until every id in `ids` has a mark; returns the last status map.
  Json wait_for_marks(const std::vector<std::string>& ids, Ms timeout = Ms{20'000}) {
    const auto end = std::chrono::steady_clock::now() + timeout;
    Json status;
    for (;;) {
      status = app().call("get_runtime_state")["session_status"];
      bool all = true;
      for (const auto& id : ids) all = all && status.contains(id);
      if (all || std::chrono::steady_clock::now() >= end) return status;
      std::this_thread::sleep_for(kStatusPoll);
    }
  }
};

TEST_F(PingerTest, RealPingerMarksOpenClosedAndSkipsSerial) {
  peers::TcpListener listener;
  const std::uint16_t closed = peers::refused_port();
  Json store = {
      {"sessions",
       {{{"id", "open"}, {"protocol", "raw"}, {"host", "127.0.0.1"}, {"port", listener.port()}},
        {{"id", "closed"},
         {"protocol", "telnet"},
         {"host", "127.0.0.1"},
         {"port", std::to_string(closed)}},
        {{"id", "board"}, {"protocol", "serial"}, {"host", "/dev/null"}, {"port", 115200}}}}};
  write_sessions_file(store.dump());
  // What a launcher that crashed before it removed its names leaves behind.
  const pid_t crashed = ended_process();
  const auto stale =
      std::filesystem::path("/dev/shm") / ("veltaro." + std::to_string(::getuid()) + "." +
                                           std::to_string(crashed) + ".0badf00d.queue.get_receipt");
  std::ofstream(stale) << "left over";
  ASSERT_EQ(shm_names_of(crashed).size(), 1u);
  start({"--with-pinger"});

  const Json status = wait_for_marks({"open", "closed"});
  EXPECT_TRUE(shm_names_of(crashed).empty()) << "the start removed the crashed launcher's names";
  EXPECT_EQ(status.value("open", ""), "online") << status.dump();
  EXPECT_EQ(status.value("closed", ""), "offline") << status.dump();
  EXPECT_FALSE(status.contains("board")) << status.dump();
  EXPECT_TRUE(app().wait_for_stderr("run model --> libmain.so"));
  const auto pingers = children_of(app().pid());
  ASSERT_EQ(pingers.size(), 1u);
  // The tables are mappings: the pinger holds its standard streams and no other descriptor (the
  // program's protocol pipe, sockets and standard input stay with the program).
  EXPECT_EQ(descriptors_of(pingers[0]), (std::set<int>{0, 1, 2}));
  EXPECT_EQ(std::filesystem::read_symlink("/proc/" + std::to_string(pingers[0]) + "/fd/0"),
            "/dev/null");
  // Both processes hold the tables mapped; no name stays behind for a crash to leave.
  EXPECT_TRUE(shm_names_of(app().pid()).empty());

  const pid_t program = app().pid();
  const ExitStatus exit = app().finish();
  EXPECT_TRUE(exit.exited && exit.code == 0) << exit.describe();
  EXPECT_TRUE(children_of(program).empty()) << "the pinger was reaped";
}

TEST_F(PingerTest, EveryRoundRenewsTheMarks) {
  peers::TcpListener listener;
  write_sessions_file(Json{
      {"sessions",
       {{{"id", "flaky"}, {"protocol", "raw"}, {"host", "127.0.0.1"}, {"port", listener.port()}}}}}
                          .dump());
  start({"--with-pinger"});
  ASSERT_EQ(wait_for_marks({"flaky"}).value("flaky", ""), "online");

  // The host goes away; the round after the 30-second pause sees it.
  listener.close();
  const auto end = std::chrono::steady_clock::now() + Ms{45'000};
  std::string mark = "online";
  while (mark == "online" && std::chrono::steady_clock::now() < end) {
    std::this_thread::sleep_for(Ms{500});
    mark = app().call("get_runtime_state")["session_status"].value("flaky", "");
  }
  EXPECT_EQ(mark, "offline");
}

TEST_F(PingerTest, PingerEndsWhenTheApplicationIsKilled) {
  // A program of its own: the fixture expects its program to end cleanly.
  HeadlessClient program(VELTARO_HEADLESS, home_dir(), data_dir().parent_path().parent_path(),
                         {"--with-pinger"});
  ASSERT_TRUE(program.wait_for_stderr("run model --> libmain.so"));
  const auto pingers = children_of(program.pid());
  ASSERT_EQ(pingers.size(), 1u);
  ASSERT_EQ(::kill(program.pid(), SIGKILL), 0);
  program.finish();

  const auto end = std::chrono::steady_clock::now() + kEventWait;
  while (running(pingers[0]) && std::chrono::steady_clock::now() < end) {
    std::this_thread::sleep_for(kStatusPoll);
  }
  EXPECT_FALSE(running(pingers[0])) << "the pinger outlived the application";
}

TEST_F(PingerTest, ApplicationOutlivesAKilledPinger) {
  peers::TcpListener listener;
  write_sessions_file(Json{
      {"sessions",
       {{{"id", "open"}, {"protocol", "raw"}, {"host", "127.0.0.1"}, {"port", listener.port()}}}}}
                          .dump());
  start({"--with-pinger"});
  ASSERT_EQ(wait_for_marks({"open"}).value("open", ""), "online");

  const auto pingers = children_of(app().pid());
  ASSERT_EQ(pingers.size(), 1u);
  ASSERT_EQ(::kill(pingers[0], SIGKILL), 0);

  // The application keeps answering, and the session keeps its last mark.
  std::this_thread::sleep_for(Ms{1500});
  EXPECT_EQ(app().call("get_runtime_state")["session_status"].value("open", ""), "online");
  const ExitStatus exit = app().finish();
  EXPECT_TRUE(exit.exited && exit.code == 0) << exit.describe();
}

}  // namespace
}  // namespace veltaro::driver
