#include "atomic_file.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <system_error>
#include <vector>

namespace veltaro::common {

namespace {

[[noreturn]] void fail(const std::string& what, const std::filesystem::path& path) {
  throw std::system_error(errno, std::generic_category(), what + " " + path.string());
}

class Fd {
 public:
  explicit Fd(int fd) : fd_(fd) {}
  Fd(const Fd&) = delete;
  Fd& operator=(const Fd&) = delete;
  ~Fd() {
    if (fd_ >= 0) ::close(fd_);
  }
  int get() const { return fd_; }
  // Closes now so that a failing close (delayed write errors on some file systems) is reported.
  int release_close() {
    const int r = ::close(fd_);
    fd_ = -1;
    return r;
  }

 private:
  int fd_;
};

void write_all(int fd, std::string_view content, const std::filesystem::path& path) {
  while (!content.empty()) {
    const ssize_t n = ::write(fd, content.data(), content.size());
    if (n < 0) {
      if (errno == EINTR) continue;
      fail("write", path);
    }
    content.remove_prefix(static_cast<std::size_t>(n));
  }
}

void sync_directory(const std::filesystem::path& dir) {
  const Fd fd(::open(dir.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC));
  if (fd.get() >= 0) ::fsync(fd.get());
}

void write_new_file(const std::filesystem::path& path, std::string_view content) {
  Fd fd(::open(path.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0600));
  if (fd.get() < 0) fail("create", path);
  write_all(fd.get(), content, path);
  if (::fsync(fd.get()) != 0) fail("fsync", path);
  if (fd.release_close() != 0) fail("close", path);
}

}  // namespace

void replace_file_atomically(const std::filesystem::path& target, std::string_view content) {
  const std::filesystem::path dir = target.has_parent_path() ? target.parent_path() : ".";
  std::string pattern = (dir / ("." + target.filename().string() + ".XXXXXX")).string();
  std::vector<char> name(pattern.begin(), pattern.end());
  name.push_back('\0');
  Fd fd(::mkostemp(name.data(), O_CLOEXEC));
  if (fd.get() < 0) fail("create temporary file for", target);
  const std::filesystem::path tmp(name.data());
  try {
    if (::fchmod(fd.get(), 0600) != 0) fail("chmod", tmp);
    write_all(fd.get(), content, tmp);
    if (::fsync(fd.get()) != 0) fail("fsync", tmp);
    if (fd.release_close() != 0) fail("close", tmp);
    if (::rename(tmp.c_str(), target.c_str()) != 0) fail("rename over", target);
  } catch (...) {
    ::unlink(tmp.c_str());
    throw;
  }
  sync_directory(dir);
}

std::string read_file(const std::filesystem::path& path) {
  const Fd fd(::open(path.c_str(), O_RDONLY | O_CLOEXEC));
  if (fd.get() < 0) fail("open", path);
  std::string out;
  char buf[65536];
  for (;;) {
    const ssize_t n = ::read(fd.get(), buf, sizeof buf);
    if (n < 0) {
      if (errno == EINTR) continue;
      fail("read", path);
    }
    if (n == 0) break;
    out.append(buf, static_cast<std::size_t>(n));
  }
  return out;
}

void copy_file_private(const std::filesystem::path& source, const std::filesystem::path& dest) {
  write_new_file(dest, read_file(source));
  sync_directory(dest.has_parent_path() ? dest.parent_path() : ".");
}

void remove_quietly(const std::filesystem::path& path) noexcept {
  std::error_code ec;
  std::filesystem::remove(path, ec);
}

}  // namespace veltaro::common
