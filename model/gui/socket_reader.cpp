// The reader thread of stream tabs (raw, Telnet, SSH-1): bytes in, decoded text to the buffer.
#include "common/codec.h"
#include "model/gui/veltaro_app.h"

namespace veltaro::gui {

namespace {

constexpr std::size_t kReadSize = 4096;

std::shared_ptr<transport::Transport> slot_of(const Tab& tab, Slot kind) {
  switch (kind) {
    case Slot::channel:
      return tab.channel;
    case Slot::telnet:
      return tab.telnet;
    case Slot::raw:
      return tab.raw;
    case Slot::ssh1:
      return tab.ssh1;
    case Slot::serial:
      break;
  }
  return nullptr;
}

// The tab's decoder, made for its encoding when it has none yet; the encoding for the fallback.
std::shared_ptr<common::Decoder> tab_decoder(Tab& tab, std::string& encoding) {
  const std::lock_guard lock(tab.mutex);
  encoding = tab.encoding.empty() ? "utf-8" : tab.encoding;
  if (!tab.decoder) tab.decoder = common::Decoder::create(encoding);
  return tab.decoder;
}

std::string decode_chunk(Tab& tab, std::string& bytes) {
  std::string encoding;
  const auto decoder = tab_decoder(tab, encoding);
  try {
    return decoder->decode_owned(bytes);
  } catch (const std::exception&) {
    return common::decode_whole(encoding, bytes);
  }
}

}  // namespace

void VeltaroApp::_socket_reader_loop(const std::string& tab_id, Slot kind) {
  const TabPtr tab = find_tab(tab_id);
  if (!tab) return;
  std::shared_ptr<transport::Transport> t;
  {
    const std::lock_guard lock(tab->mutex);
    t = slot_of(*tab, kind);
  }
  try {
    while (!_stop.load() && t && !t->is_closed()) {
      std::string data = t->recv(kReadSize);
      if (data.empty()) break;
      // A tab closed behind our back: stop here, and let the close below release the peer.
      if (!find_tab(tab_id)) break;
      std::string text = decode_chunk(*tab, data);
      if (!text.empty()) _push_to_term(tab_id, std::move(text));
    }
  } catch (const std::exception&) {
    // A failed receive ends the connection like the peer closing it; the end line says so.
  }
  mark_ended(*tab);
  _push_info(tab_id, "─── 連線已結束 ───", false);
  if (t) t->close();
}

}  // namespace veltaro::gui
