// Turning a PuTTY .ppk key into an OpenSSH key file the SSH library can read.
#include "common/atomic_file.h"
#include "common/codec.h"
#include "common/subprocess.h"
#include "common/uuid.h"
#include "model/gui/veltaro_app.h"

#include <fcntl.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <system_error>

namespace veltaro::gui {

namespace {

constexpr std::chrono::seconds kConversionTimeout{15};
constexpr std::size_t kNameHexDigits = 10;

bool is_ppk(const std::filesystem::path& path) {
  std::string ext = path.extension().string();
  std::transform(ext.begin(), ext.end(), ext.begin(),
                 [](unsigned char c) { return static_cast<char>(std::tolower(c)); });
  return ext == ".ppk";
}

// Creates the output file empty and readable by the user alone before the converter writes it:
// a private key must never be readable by others, not even for a moment, and O_EXCL keeps a
// planted file or link in the shared temporary directory from being written through.
std::filesystem::path create_private_temp() {
  const auto dir = std::filesystem::temp_directory_path();
  for (;;) {
    const auto path =
        dir / ("veltaro_" + common::new_uuid_hex().substr(0, kNameHexDigits) + ".pem");
    const int fd = ::open(path.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0600);
    if (fd >= 0) {
      ::close(fd);
      return path;
    }
    if (errno != EEXIST) {
      throw std::runtime_error(path.string() + ": " + std::strerror(errno));
    }
  }
}

}  // namespace

KeyPreparation VeltaroApp::_ensure_openssh_key(const std::filesystem::path& key_path) const {
  std::error_code ec;
  if (!std::filesystem::is_regular_file(key_path, ec)) return {std::nullopt, "找不到私鑰檔"};
  if (!is_ppk(key_path)) return {key_path, std::nullopt};
  if (!puttygen_exe || puttygen_exe->empty()) {
    return {std::nullopt, "需要 puttygen.exe 才能轉換 .ppk 格式，但找不到捆綁的 puttygen"};
  }
  std::filesystem::path temp;
  try {
    temp = create_private_temp();
    const common::ProcessResult run = common::run_process(
        {puttygen_exe->string(), key_path.string(), "-O", "private-openssh", "-o", temp.string()},
        kConversionTimeout);
    // The file was made empty above, so only content shows that the converter wrote the key.
    if (run.exit_code == 0 && std::filesystem::file_size(temp, ec) > 0 && !ec) {
      // Whatever the converter did to the file, it stays the user's alone.
      std::filesystem::permissions(
          temp, std::filesystem::perms::owner_read | std::filesystem::perms::owner_write, ec);
      return {temp, std::nullopt};
    }
    common::remove_quietly(temp);
    return {std::nullopt,
            "puttygen 轉換失敗：" + common::decode_whole("utf-8", run.standard_error)};
  } catch (const std::exception& e) {
    if (!temp.empty()) common::remove_quietly(temp);
    return {std::nullopt, std::string("puttygen 執行失敗：") + e.what()};
  }
}

}  // namespace veltaro::gui
