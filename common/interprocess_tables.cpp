#include "interprocess_tables.h"

#include "common/interprocess_event.h"
#include "common/interprocess_queue.h"
#include "common/shared_region.h"
#include "common/uuid.h"

#include <signal.h>
#include <unistd.h>

#include <cerrno>
#include <charconv>
#include <filesystem>
#include <fstream>
#include <string_view>

namespace veltaro::common {

namespace {
// Where the system shows named shared memory.
const std::filesystem::path kShmDir = "/dev/shm";

// "veltaro.<uid>." starts every name of this user.
std::string user_stem() {
  return "veltaro." + std::to_string(::getuid()) + ".";
}

std::string queue_name(const std::string& prefix, const std::string& entry) {
  return prefix + ".queue." + entry;
}

std::string event_name(const std::string& prefix, const std::string& entry) {
  return prefix + ".event." + entry;
}

// The creator's process id in "veltaro.<uid>.<pid>.<nonce>....", or 0 when the name is not ours.
pid_t creator_of(std::string_view name, std::string_view stem) {
  if (!name.starts_with(stem)) return 0;
  name.remove_prefix(stem.size());
  pid_t pid = 0;
  const auto [end, ec] = std::from_chars(name.data(), name.data() + name.size(), pid);
  if (ec != std::errc() || end == name.data() || end == name.data() + name.size() || *end != '.') {
    return 0;
  }
  return pid;
}

// A process that ended but was not yet reaped by its parent still answers kill(); its state in
// /proc tells that it is gone.
bool process_gone(pid_t pid) {
  if (::kill(pid, 0) != 0) return errno == ESRCH;
  std::ifstream stat("/proc/" + std::to_string(pid) + "/stat");
  std::string line;
  if (!std::getline(stat, line)) return false;
  const auto close = line.rfind(')');
  return close != std::string::npos && close + 2 < line.size() &&
         (line[close + 2] == 'Z' || line[close + 2] == 'X');
}
}  // namespace

InterprocessTables InterprocessTables::create() {
  InterprocessTables t(user_stem() + std::to_string(::getpid()) + "." + new_tab_id());
  try {
    t.queues_["get_receipt"] =
        InterprocessQueue::create(queue_name(t.prefix_, "get_receipt"), kResultQueueBytes);
    t.queues_["end"] = InterprocessQueue::create(queue_name(t.prefix_, "end"), kEndQueueBytes);
    t.events_["end"] = InterprocessEvent::create(event_name(t.prefix_, "end"));
  } catch (...) {
    t.remove_names();
    throw;
  }
  return t;
}

InterprocessTables InterprocessTables::open(const std::string& prefix) {
  InterprocessTables t(prefix);
  for (const char* entry : {"get_receipt", "end"}) {
    t.queues_[entry] = InterprocessQueue::open(queue_name(prefix, entry));
  }
  t.events_["end"] = InterprocessEvent::open(event_name(prefix, "end"));
  return t;
}

std::vector<std::string> InterprocessTables::existing_names() {
  std::vector<std::string> found;
  const std::string stem = user_stem();
  std::error_code ec;
  for (std::filesystem::directory_iterator it(kShmDir, ec), end; !ec && it != end;
       it.increment(ec)) {
    std::string name = it->path().filename().string();
    if (name.starts_with(stem)) found.push_back(std::move(name));
  }
  return found;
}

void InterprocessTables::remove_stale() noexcept {
  try {
    const std::string stem = user_stem();
    for (const auto& name : existing_names()) {
      const pid_t pid = creator_of(name, stem);
      if (pid > 0 && process_gone(pid)) SharedRegion::remove(name);
    }
  } catch (...) {
    // A block we cannot list or remove stays; the next start tries again.
  }
}

std::vector<std::string> InterprocessTables::names() const {
  return {queue_name(prefix_, "get_receipt"), queue_name(prefix_, "end"),
          event_name(prefix_, "end")};
}

void InterprocessTables::remove_names() const noexcept {
  try {
    for (const auto& name : names()) SharedRegion::remove(name);
  } catch (...) {
    // Only the allocation of a name can fail; the next start removes what stayed.
  }
}

}  // namespace veltaro::common
