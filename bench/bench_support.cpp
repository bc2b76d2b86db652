#include "bench_support.h"

#include "common/codec.h"

#include <cstdlib>

namespace veltaro::bench {

void use_temporary_data_dir() {
  char pattern[] = "/tmp/veltaro-bench-XXXXXX";
  if (const char* dir = ::mkdtemp(pattern)) ::setenv("XDG_DATA_HOME", dir, 1);
}

void NotingWindow::evaluate_script(const std::string& script) {
  if (script.starts_with("terminalConnected(")) connected.fetch_add(1);
  // "─── 連線已結束 ───" as the page receives it.
  if (script.find("\\u9023\\u7dda\\u5df2\\u7d50\\u675f") != std::string::npos) ended.fetch_add(1);
}

namespace {
std::string repeat_lines(const std::string& line, std::size_t bytes) {
  std::string out;
  out.reserve(bytes + line.size());
  while (out.size() < bytes) out += line;
  return out;
}
}  // namespace

std::string ascii_text(std::size_t bytes) {
  return repeat_lines("drwxr-xr-x  2 build build  4096 Dec  8 01:35 firmware-esp32-s3-v2.1.0\n",
                      bytes);
}

std::string chinese_utf8_text(std::size_t bytes) {
  return repeat_lines("路由器介面狀態：已連線，封包遺失率百分之零，延遲十二毫秒。\n", bytes);
}

std::string chinese_big5_text(std::size_t bytes) {
  return common::encode("big5", chinese_utf8_text(bytes));
}

}  // namespace veltaro::bench
