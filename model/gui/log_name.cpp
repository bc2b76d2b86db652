#include "model/gui/log_name.h"

#include <cstdio>

namespace veltaro::gui {

namespace {

std::string safe_component(std::string value) {
  for (char& c : value) {
    if (c == '/' || c == '\0') c = '_';
  }
  if (value == "." || value == "..") return "_";
  return value;
}

std::string two_digits(int n) {
  char buf[16];
  std::snprintf(buf, sizeof buf, "%02d", n);
  return buf;
}

std::string time_text(const std::tm& tm, const char* format) {
  char buf[64];
  const std::size_t n = std::strftime(buf, sizeof buf, format, &tm);
  return std::string(buf, n);
}

}  // namespace

std::string expand_log_name(std::string_view pattern, const LogNameFields& fields,
                            const std::tm& local) {
  std::string out;
  out.reserve(pattern.size() + 32);
  for (std::size_t i = 0; i < pattern.size(); ++i) {
    if (pattern[i] != '&' || i + 1 == pattern.size()) {
      out.push_back(pattern[i]);
      continue;
    }
    const char key = pattern[i + 1];
    switch (key) {
      case 'H':
        out += safe_component(fields.host);
        break;
      case 'P':
        out += safe_component(fields.port);
        break;
      case 'N':
        out += safe_component(fields.session);
        break;
      case 'Y':
        out += std::to_string(local.tm_year + 1900);
        break;
      case 'M':
        out += two_digits(local.tm_mon + 1);
        break;
      case 'D':
        out += two_digits(local.tm_mday);
        break;
      case 'T':
        out += time_text(local, "%H%M%S");
        break;
      case '&':
        out.push_back('&');
        break;
      default:
        out.push_back('&');
        out.push_back(key);
    }
    ++i;
  }
  return out;
}

bool has_date_placeholder(std::string_view pattern) noexcept {
  for (std::size_t i = 0; i + 1 < pattern.size(); ++i) {
    if (pattern[i] != '&') continue;
    const char key = pattern[i + 1];
    if (key == 'Y' || key == 'M' || key == 'D') return true;
    ++i;  // "&&" is a literal "&", never the start of a placeholder
  }
  return false;
}

std::filesystem::path resolve_log_path(const std::string& expanded,
                                       const std::filesystem::path& home) {
  if (expanded == "~") return home;
  if (expanded.starts_with("~/")) return home / expanded.substr(2);
  const std::filesystem::path path(expanded);
  return path.is_absolute() ? path : home / path;
}

std::tm local_time(LogClock::time_point at) noexcept {
  const std::time_t t = LogClock::to_time_t(at);
  std::tm tm{};
  ::localtime_r(&t, &tm);
  return tm;
}

LogClock::time_point next_local_midnight(LogClock::time_point at) noexcept {
  std::tm tm = local_time(at);
  tm.tm_hour = 0;
  tm.tm_min = 0;
  tm.tm_sec = 0;
  tm.tm_mday += 1;
  tm.tm_isdst = -1;  // the next day may be on the other side of a clock change
  return LogClock::from_time_t(std::mktime(&tm));
}

std::string marker_time(LogClock::time_point at) {
  return time_text(local_time(at), "%Y-%m-%d %H:%M:%S");
}

const std::string& LineStamp::at(LogClock::time_point t) {
  const auto since_epoch =
      std::chrono::duration_cast<std::chrono::milliseconds>(t.time_since_epoch());
  const std::time_t second = static_cast<std::time_t>(since_epoch.count() / 1000);
  const int millis = static_cast<int>(since_epoch.count() % 1000);
  if (second == second_ && millis == millis_) return text_;
  if (second != second_) {
    text_ =
        "[" + time_text(local_time(LogClock::from_time_t(second)), "%Y-%m-%d %H:%M:%S") + ".000] ";
    second_ = second;
  }
  // "[YYYY-MM-DD HH:MM:SS." is 21 characters; the milliseconds follow.
  char ms[16];
  std::snprintf(ms, sizeof ms, "%03d", millis);
  text_.replace(21, 3, ms, 3);
  millis_ = millis;
  return text_;
}

}  // namespace veltaro::gui
