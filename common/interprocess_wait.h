// Deadlines for the shared-memory queue and event. Every lock and wait there is bounded: a process
// that died while holding a lock must not hang the other one.
#pragma once

#include <boost/date_time/posix_time/posix_time_types.hpp>

#include <algorithm>
#include <chrono>

namespace veltaro::common {

// Longest wait for a lock that the other side holds only while it copies an item.
inline constexpr std::chrono::milliseconds kLockWait{200};

class Deadline {
 public:
  explicit Deadline(std::chrono::milliseconds from_now)
      : at_(now() + boost::posix_time::milliseconds(std::max<long long>(0, from_now.count()))) {}

  // The absolute time the interprocess primitives take.
  boost::posix_time::ptime at() const { return at_; }
  bool passed() const { return now() >= at_; }
  // This deadline, or `least` from now when that is later.
  Deadline at_least(std::chrono::milliseconds least) const {
    Deadline other(least);
    return other.at_ > at_ ? other : *this;
  }

 private:
  static boost::posix_time::ptime now() {
    return boost::posix_time::microsec_clock::universal_time();
  }

  boost::posix_time::ptime at_;
};

}  // namespace veltaro::common
