// The process entry: page text, controller, window host; fatal errors reported, never thrown.
#include "common/atomic_file.h"
#include "common/diag.h"
#include "model/gui/veltaro_app.h"

#include <cstdio>
#include <exception>
#include <iostream>

namespace veltaro::gui {

std::string _load_html_content() {
  const auto page = VeltaroApp::module_dir() / "html" / "index.html";
  try {
    return common::read_file(page);
  } catch (const std::exception& e) {
    throw std::runtime_error(std::string("cannot load the page: ") + e.what());
  }
}

void run_gui(common::QueueTable Queue_All_variable, common::EventTable Event_All_variable,
             const std::shared_ptr<WindowHost>& host) {
  try {
    std::printf("run model --> %s\n", VeltaroApp::module_file().filename().c_str());
    std::fflush(stdout);
  } catch (...) {
  }
  try {
    std::string html = _load_html_content();
    const auto app =
        std::make_shared<VeltaroApp>(std::move(Queue_All_variable), std::move(Event_All_variable));
    app->run(host, std::move(html));
  } catch (const std::exception& e) {
    common::diag("[GUI] fatal:", e.what());
    std::cerr << "[GUI] fatal: " << typeid(e).name() << ": " << e.what() << std::endl;
  } catch (...) {
    common::diag("[GUI] fatal:", "unknown error");
  }
}

}  // namespace veltaro::gui
