// A reader's reusable receive buffer. It is not cleared when made: a buffer sized for a fast
// peer's largest read is written only as far as reads bring data, so an idle connection's buffer
// costs no more than the pages its reads reached.
#pragma once

#include <cstddef>
#include <memory>

namespace veltaro::common {

class ReceiveBuffer {
 public:
  // Room for at least `size` bytes; what was in it before is not kept.
  char* room(std::size_t size) {
    if (size > size_) {
      data_ = std::make_unique_for_overwrite<char[]>(size);
      size_ = size;
    }
    return data_.get();
  }

 private:
  std::unique_ptr<char[]> data_;
  std::size_t size_ = 0;
};

}  // namespace veltaro::common
