// The reader thread of an SSH-2 tab: the shell channel's output to the terminal, then the end of
// the whole connection.
#include "model/gui/veltaro_app.h"

namespace veltaro::gui {

void VeltaroApp::_reader_loop(const std::string& tab_id) {
  const TabPtr tab = find_tab(tab_id);
  if (!tab) return;
  // The shell channel reads like any other stream; it also closes the channel on the way out.
  _socket_reader_loop(tab_id, Slot::channel);
  std::shared_ptr<transport::KeepAliveClient> client;
  {
    const std::lock_guard lock(tab->mutex);
    client = tab->client;
  }
  // The shell's end is the connection's end: forwarded channels go with it.
  if (client) client->close();
}

}  // namespace veltaro::gui
