// The live state of one open tab.
#pragma once

#include "common/codec.h"
#include "common/utf8.h"
#include "common/values.h"
#include "model/gui/login_input.h"
#include "model/gui/session_log.h"
#include "model/gui/tab_connection.h"
#include "model/transports/ssh2/known_hosts.h"

#include <atomic>
#include <condition_variable>
#include <cstdint>
#include <deque>
#include <filesystem>
#include <memory>
#include <mutex>
#include <optional>
#include <string>

namespace veltaro::gui {

// A saved session record. Records are never edited in place: an edit swaps in a new one, so a
// reader holding the old pointer never sees half an edit.
using SessionPtr = std::shared_ptr<const common::Json>;

// Terminal text not yet taken by the page, oldest first. Guarded by VeltaroApp::_buf_lock.
struct OutputBuffer {
  struct Chunk {
    std::string text;
    common::CharCount chars;
    // A status line was pushed right after this text: a drain stops here, so that the line goes
    // between the output before it and the output after it.
    bool cut_after = false;
  };
  std::deque<Chunk> chunks;
  common::CharCount total;
  std::size_t cuts = 0;      // chunks with cut_after
  std::uint64_t drains = 0;  // drains that have taken their text, each one stretch up to a cut
  // Counts what ends a waiting drain besides output: status lines, the connection's end, the
  // tab's close. A drain compares it with the value it saw when it began to wait.
  std::uint64_t events = 0;
  // The app-wide change count at this buffer's latest change the page has to look at (output into
  // an empty buffer, or an event): one wait for all tabs reports the tabs changed since a count.
  std::uint64_t changed_at = 0;
  bool closed = false;  // the tab left the table: nobody drains or waits any more
  // The connection is over (or never came): no output can follow, so a drain answers at once.
  bool ended = false;
  // A line that cannot be paused keeps the newest text and drops the oldest chunks at the limit;
  // every other connection's reader waits for room instead.
  bool drop_oldest = false;
  std::condition_variable changed;  // a waiting drain_terminal
  std::condition_variable room;     // a reader waiting for the page to drain
};

// A host key that differs from what the known-hosts file pins for the tab's server, refused on
// connect; the user may accept it for that host.
struct HostKeyOffer {
  std::string host_id;  // as the known-hosts file names the host ("[host]:port" unless port 22)
  ssh2::HostKey key;
  std::string fingerprint;
};

struct Tab {
  Tab(std::string tab_id, std::string tab_protocol)
      : id(std::move(tab_id)), protocol(std::move(tab_protocol)) {}

  const std::string id;
  const std::string protocol;  // fixed for the tab's life

  // Guards every field below up to `closed`: page calls, the starter and the reader all use them.
  mutable std::mutex mutex;
  SessionPtr session;
  std::string display;
  std::string encoding;
  std::shared_ptr<common::Decoder> decoder;   // absent until the starter or reader makes one
  std::shared_ptr<TabConnection> connection;  // absent until the starter connected
  std::optional<std::filesystem::path> tmp_keyfile;
  // While the connection logs in: where the user's keys go instead of the connection.
  std::shared_ptr<LoginInput> login;
  std::optional<HostKeyOffer> host_key_offer;  // after a refused changed host key
  std::shared_ptr<SessionLog> log;  // absent when the session keeps no log or it failed to open
  // Set when the tab is closed; a starter that connects afterwards must close its connection.
  bool closed = false;

  std::atomic<bool> alive{true};
  std::atomic<bool> reading{true};

  OutputBuffer buffer;  // guarded by VeltaroApp::_buf_lock

  bool eol_prev_cr = false;  // used by the tab's one reader thread only
};

using TabPtr = std::shared_ptr<Tab>;

// A new decoder for the tab's encoding as it stands ("utf-8" when it has none), for a connection
// about to start. Throws common::UnknownEncoding for a name no table knows.
std::shared_ptr<common::Decoder> decoder_for(const Tab& tab);

}  // namespace veltaro::gui
