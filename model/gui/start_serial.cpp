// Serial tabs: opening the port and the starter, which hands the tab its SerialConnection.
#include "common/diag.h"
#include "model/gui/bytes_repr.h"
#include "model/gui/serial_connection.h"
#include "model/gui/serial_port_line.h"
#include "model/gui/serial_settings.h"
#include "model/gui/veltaro_app.h"

#include <pthread.h>

namespace veltaro::gui {

namespace {

constexpr std::size_t kProbeSize = 4096;
constexpr std::size_t kReprBytes = 64;

void serial_log(const std::string& text) {
  common::diag("[serial]", text);
}

std::string thread_name() {
  char name[16] = {};
  pthread_getname_np(pthread_self(), name, sizeof name);
  return name;
}

// The opening probe: what the device sent in the instant of opening. Logged, and kept for the
// terminal. Never throws.
std::string probe(SerialPortLine& port) {
  try {
    std::string got = port.read(kProbeSize);
    serial_log("sync read in open thread: " + std::to_string(got.size()) + " bytes  " +
               bytes_repr(std::string_view(got).substr(0, kReprBytes)));
    return got;
  } catch (const std::exception& e) {
    serial_log(std::string("sync read in open thread FAILED: ") + e.what());
    return {};
  }
}

}  // namespace

VeltaroApp::SerialOpened VeltaroApp::_serial_open(const Json& sess) {
  portwell::SerialOptions options = serial_options(sess);
  SerialOpened opened;
  opened.com = options.port;
  opened.baud = options.baudrate;
  opened.port = std::make_shared<SerialPortLine>(portwell::open_serial(options), opened.com);
  return opened;
}

void VeltaroApp::_start_serial_impl(const std::string& tab_id, const SessionPtr& sess,
                                    const TabPtr& tab) {
  const std::string com = serial_com(*sess);
  if (com.empty()) {
    _push_info(tab_id, "請填入 COM 端口（例如 COM3）", true);
    tab->alive.store(false);
    return;
  }
  const long long baud = serial_baud(*sess);
  std::string encoding;
  {
    const std::lock_guard lock(tab->mutex);
    encoding = tab->encoding.empty() ? "None" : tab->encoding;
  }
  serial_log("opening " + com + " @ " + std::to_string(baud) + " bps  " +
             serial_settings_text(*sess) + " encoding=" + encoding + " (Win32 backend)");
  _push_info(tab_id, "正在開啟序列埠 " + com + " @ " + std::to_string(baud) + " bps ...");

  SerialOpened opened;
  try {
    opened = _serial_open(*sess);
  } catch (const std::exception& e) {
    const std::string reason = e.what();
    serial_log("open failed: " + reason);
    _push_info(tab_id, "開啟序列埠失敗：" + reason + "（將持續嘗試重新連接）", true);
    tab->alive.store(false);
    // The tab's reader begins with the wait for the device.
    attach_connection(
        tab, std::make_shared<SerialConnection>(weak_from_this(), tab, com, baud, nullptr, "", ""),
        decoder_for(*tab));
    return;
  }

  serial_log(opened.com + " open OK (handle=" + std::to_string(opened.port->handle()) +
             ") thread=" + thread_name());
  // What the device sent in the instant of opening belongs in the terminal too, after the banner.
  std::string early = probe(*opened.port);
  std::string banner =
      "\r\n--- 已連接 " + opened.com + " @ " + std::to_string(opened.baud) + " ---\r\n";
  tab->alive.store(true);
  attach_connection(
      tab,
      std::make_shared<SerialConnection>(weak_from_this(), tab, opened.com, opened.baud,
                                         opened.port, std::move(banner), std::move(early)),
      decoder_for(*tab));
}

}  // namespace veltaro::gui
