#include "model/transports/portwell/posix/device_path.h"

#include <charconv>

namespace veltaro::portwell {

namespace {

bool com_prefix(std::string_view name) {
  if (name.size() < 4) return false;
  for (std::size_t i = 0; i < 3; ++i) {
    if ((name[i] | 0x20) != "com"[i]) return false;
  }
  return true;
}

// The n of "COMn" when the rest is a positive decimal number, else 0.
unsigned com_number(std::string_view name) {
  if (!com_prefix(name)) return 0;
  const std::string_view digits = name.substr(3);
  unsigned n = 0;
  const auto [end, ec] = std::from_chars(digits.data(), digits.data() + digits.size(), n);
  return ec == std::errc() && end == digits.data() + digits.size() ? n : 0;
}

}  // namespace

std::string posix_device_path(std::string_view name) {
  constexpr std::string_view kDevicePrefix = R"(\\.\)";
  if (name.starts_with(kDevicePrefix)) name.remove_prefix(kDevicePrefix.size());
  if (name.starts_with('/')) return std::string(name);
  if (const unsigned n = com_number(name); n > 0) return "/dev/ttyS" + std::to_string(n - 1);
  return "/dev/" + std::string(name);
}

}  // namespace veltaro::portwell
