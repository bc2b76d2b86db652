#include "shared_region.h"

#include <boost/interprocess/exceptions.hpp>
#include <boost/interprocess/permissions.hpp>
#include <boost/interprocess/shared_memory_object.hpp>

#include <stdexcept>

namespace veltaro::common {

namespace bip = boost::interprocess;

namespace {
constexpr unsigned kOwnerOnly = 0600;

std::runtime_error region_error(const char* what, const std::string& name,
                                const bip::interprocess_exception& e) {
  return std::runtime_error(std::string(what) + " shared memory " + name + ": " + e.what());
}
}  // namespace

SharedRegion SharedRegion::create(const std::string& name, std::size_t size) {
  try {
    bip::shared_memory_object shm(bip::create_only, name.c_str(), bip::read_write,
                                  bip::permissions(kOwnerOnly));
    try {
      shm.truncate(static_cast<bip::offset_t>(size));
      return SharedRegion(bip::mapped_region(shm, bip::read_write));
    } catch (...) {
      remove(name);
      throw;
    }
  } catch (const bip::interprocess_exception& e) {
    throw region_error("cannot create", name, e);
  }
}

SharedRegion SharedRegion::open(const std::string& name) {
  try {
    bip::shared_memory_object shm(bip::open_only, name.c_str(), bip::read_write);
    return SharedRegion(bip::mapped_region(shm, bip::read_write));
  } catch (const bip::interprocess_exception& e) {
    throw region_error("cannot open", name, e);
  }
}

void SharedRegion::remove(const std::string& name) noexcept {
  try {
    bip::shared_memory_object::remove(name.c_str());
  } catch (...) {
    // Nothing to remove, or already gone.
  }
}

}  // namespace veltaro::common
