// A tab's connection from the starter onward: handed to the tab, then read by one reader thread
// that decodes what arrives and feeds the output pipeline until the connection ends.
#include "common/codec.h"
#include "model/gui/veltaro_app.h"

namespace veltaro::gui {

namespace {

// The tab's decoder, made for its encoding when it has none yet; the encoding for the fallback.
std::shared_ptr<common::Decoder> tab_decoder(Tab& tab, std::string& encoding) {
  const std::lock_guard lock(tab.mutex);
  encoding = tab.encoding.empty() ? "utf-8" : tab.encoding;
  if (!tab.decoder) tab.decoder = common::Decoder::create(encoding);
  return tab.decoder;
}

// The text of what a receive gave, and in `chars` its number of characters: the bytes are in
// `owned` when they are the reader's, or only lent in `lent`.
std::string decode_chunk(Tab& tab, std::string& owned, std::string_view lent,
                         common::CharCount& chars) {
  std::string encoding;
  const auto decoder = tab_decoder(tab, encoding);
  try {
    return owned.empty() ? decoder->decode_lent(lent, chars) : decoder->decode_owned(owned, chars);
  } catch (const std::exception&) {
    std::string text = common::decode_whole(encoding, lent);
    chars = common::count_chars(text);
    return text;
  }
}

}  // namespace

std::shared_ptr<common::Decoder> decoder_for(const Tab& tab) {
  const std::lock_guard lock(tab.mutex);
  return common::Decoder::create(tab.encoding.empty() ? "utf-8" : tab.encoding);
}

void VeltaroApp::attach_connection(const TabPtr& tab, std::shared_ptr<TabConnection> connection,
                                   std::shared_ptr<common::Decoder> decoder) {
  {
    const std::lock_guard lock(tab->mutex);
    if (tab->closed) {
      // The tab was closed while this connection was being made: nobody else will close it.
      connection->close();
      return;
    }
    tab->connection = connection;
    tab->decoder = std::move(decoder);
  }
  {
    const std::lock_guard lock(_buf_lock);
    tab->buffer.drop_oldest = !connection->can_wait();
  }
  open_tab_log(tab);
  // A serial line whose first open failed is not connected yet: its reopening writes the marker.
  if (tab->alive.load()) log_connected(*tab);
  _push_connected(tab->id);
  auto self = shared_from_this();
  spawn_detached([self, id = tab->id] { self->_reader_loop(id); });
}

void VeltaroApp::_reader_loop(const std::string& tab_id) {
  const TabPtr tab = find_tab(tab_id);
  if (!tab) return;
  std::shared_ptr<TabConnection> connection;
  std::shared_ptr<SessionLog> log;
  {
    const std::lock_guard lock(tab->mutex);
    connection = tab->connection;
    log = tab->log;
  }
  const bool log_raw = log && log->raw();
  try {
    while (!_stop.load() && connection && connection->is_open()) {
      std::string owned;
      const std::string_view data = connection->receive_lent(kReadSize, owned);
      if (data.empty()) break;
      // The decoder may take the bytes over, so a raw log gets its copy first.
      if (log_raw) log->output(std::string(data), LogClock::now());
      common::CharCount chars;
      std::string text = decode_chunk(*tab, owned, data, chars);
      if (log && !log_raw) log->output(text, LogClock::now());
      // A tab closed behind our back: stop here, and let the close below release the peer.
      if (!push_output(*tab, std::move(text), chars)) break;
    }
  } catch (const std::exception&) {
    // A failed receive ends the connection like the peer closing it; the end line says so.
  }
  finish_stream(*tab);
  if (log) log->ended();
  mark_ended(*tab);
  _push_info(tab_id, "─── 連線已結束 ───", false);
  if (connection) connection->close();
}

void VeltaroApp::finish_stream(Tab& tab) {
  std::string encoding;
  const auto decoder = tab_decoder(tab, encoding);
  std::string tail;
  try {
    decoder->finish(tail);
  } catch (const std::exception&) {
    return;  // a codec that fails on its last bytes has nothing sound left to show
  }
  if (tail.empty()) return;
  if (const auto log = tab_log(tab); log && !log->raw()) log->output(tail, LogClock::now());
  push_output(tab, std::move(tail));
}

}  // namespace veltaro::gui
