// A named block of shared memory mapped into this process. The descriptor is closed as soon as
// the block is mapped, so a child process started later inherits the mapping and no descriptor.
#pragma once

#include <boost/interprocess/mapped_region.hpp>

#include <cstddef>
#include <string>

namespace veltaro::common {

class SharedRegion {
 public:
  // Creates a new block of `size` bytes (zero-filled, readable by this user alone). Throws
  // std::runtime_error when the name exists or the block cannot be made.
  static SharedRegion create(const std::string& name, std::size_t size);
  // Maps an existing block. Throws std::runtime_error when it does not exist.
  static SharedRegion open(const std::string& name);
  // Removes the name; processes that mapped the block keep it. Never throws.
  static void remove(const std::string& name) noexcept;

  void* address() const noexcept { return region_.get_address(); }
  std::size_t size() const noexcept { return region_.get_size(); }

 private:
  explicit SharedRegion(boost::interprocess::mapped_region region) noexcept
      : region_(std::move(region)) {}

  boost::interprocess::mapped_region region_;
};

}  // namespace veltaro::common
