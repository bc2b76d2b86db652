// Where a Windows port name lives on this system.
#pragma once

#include <string>
#include <string_view>

namespace veltaro::portwell {

// `\\.\` is dropped first; absolute paths stay as given, COMn is /dev/ttyS(n-1), any other name
// is looked up in /dev.
std::string posix_device_path(std::string_view name);

}  // namespace veltaro::portwell
