#include "tools/headless/headless_host.h"

#include "model/gui/veltaro_app.h"

#include <chrono>
#include <string>

namespace veltaro::headless {

namespace {

using common::Json;
// Calls still running at end of input get this long to answer before the application shuts down.
constexpr std::chrono::seconds kDrainTimeout{20};

class ScriptWindow final : public gui::Window {
 public:
  explicit ScriptWindow(std::shared_ptr<LineWriter> out) : out_(std::move(out)) {}
  void evaluate_script(const std::string& script) override {
    out_->write(Json{{"script", script}});
  }
  void show() override {}
  void hide() override {}
  void destroy() override {}

 private:
  std::shared_ptr<LineWriter> out_;
};

}  // namespace

std::shared_ptr<gui::Window> HeadlessHost::create_window(const gui::WindowOptions&,
                                                         gui::VeltaroApp& app) {
  app_ = app.shared_from_this();
  return std::make_shared<ScriptWindow>(out_);
}

void HeadlessHost::handle_line(const std::string& line) {
  Json request;
  try {
    request = Json::parse(line);
  } catch (const std::exception& e) {
    out_->write(Json{{"id", nullptr}, {"error", std::string("invalid request: ") + e.what()}});
    return;
  }
  const Json id = request.is_object() ? request.value("id", Json()) : Json();
  const Json* method = common::member(request, "method");
  if (!method || !method->is_string()) {
    out_->write(Json{{"id", id}, {"error", "request without a method"}});
    return;
  }
  const Json* params = common::member(request, "params");
  {
    const std::lock_guard lock(in_flight_->mutex);
    ++in_flight_->count;
  }
  gui::spawn_detached([app = app_, out = out_, in_flight = in_flight_, id,
                       name = method->get<std::string>(), args = params ? *params : Json::array()] {
    const auto result = app->call_operation(name, args);
    if (result) {
      out->write(Json{{"id", id}, {"result", *result}});
    } else {
      out->write(Json{{"id", id}, {"error", "unknown method: " + name}});
    }
    const std::lock_guard lock(in_flight->mutex);
    --in_flight->count;
    in_flight->idle.notify_all();
  });
}

void HeadlessHost::run_loop(const gui::LoopOptions&) {
  std::string line;
  while (std::getline(in_, line)) {
    if (line.find_first_not_of(" \t\r") == std::string::npos) continue;
    handle_line(line);
  }
  // Nobody reads a long-polling drain's answer any more; it must not hold up the shutdown.
  app_->release_waiting_drains();
  std::unique_lock lock(in_flight_->mutex);
  in_flight_->idle.wait_for(lock, kDrainTimeout, [this] { return in_flight_->count == 0; });
}

}  // namespace veltaro::headless
