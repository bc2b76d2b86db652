#include "common/atomic_file.h"
#include "common/diag.h"
#include "common/paths.h"

#include <gtest/gtest.h>
#include <sys/stat.h>

#include <fstream>

namespace veltaro::common {
namespace {

class Files : public ::testing::Test {
 protected:
  void SetUp() override {
    char pattern[] = "/tmp/veltaro-files-XXXXXX";
    dir_ = ::mkdtemp(pattern);
  }
  void TearDown() override { std::filesystem::remove_all(dir_); }
  std::size_t entries() const {
    return static_cast<std::size_t>(std::distance(std::filesystem::directory_iterator(dir_),
                                                  std::filesystem::directory_iterator()));
  }
  std::filesystem::path dir_;
};

TEST_F(Files, ReplaceLeavesOnlyTheNewPrivateFile) {
  const auto target = dir_ / "sessions.json";
  std::ofstream(target) << "old";
  ::chmod(target.c_str(), 0644);
  replace_file_atomically(target, "new content");
  EXPECT_EQ(read_file(target), "new content");
  struct stat st {};
  ASSERT_EQ(::stat(target.c_str(), &st), 0);
  EXPECT_EQ(st.st_mode & 0777, 0600u);
  EXPECT_EQ(entries(), 1u) << "no temporary file left beside it";
}

TEST_F(Files, FailedReplaceKeepsTheOldFileAndNoTemporary) {
  const auto target = dir_ / "store";
  std::filesystem::create_directories(target / "blocker");
  EXPECT_THROW(replace_file_atomically(target, "x"), std::system_error);
  EXPECT_TRUE(std::filesystem::is_directory(target / "blocker"));
  EXPECT_EQ(entries(), 1u);
  EXPECT_THROW(replace_file_atomically(dir_ / "missing-dir" / "f", "x"), std::system_error);
}

TEST_F(Files, PrivateCopyRefusesToOverwrite) {
  std::ofstream(dir_ / "a") << "A";
  copy_file_private(dir_ / "a", dir_ / "b");
  EXPECT_EQ(read_file(dir_ / "b"), "A");
  EXPECT_THROW(copy_file_private(dir_ / "a", dir_ / "b"), std::system_error);
  EXPECT_THROW(read_file(dir_ / "none"), std::system_error);
}

TEST_F(Files, DataDirectoryFollowsXdgAndIsPrivate) {
  ::setenv("XDG_DATA_HOME", dir_.c_str(), 1);
  EXPECT_EQ(app_data_dir(), dir_ / "quillmoor" / "Veltaro");
  create_private_directory(app_data_dir());
  struct stat st {};
  ASSERT_EQ(::stat(app_data_dir().c_str(), &st), 0);
  EXPECT_EQ(st.st_mode & 0777, 0700u);
  ::setenv("XDG_DATA_HOME", "relative/ignored", 1);
  ::setenv("HOME", dir_.c_str(), 1);
  EXPECT_EQ(app_data_dir(), dir_ / ".local" / "share" / "quillmoor" / "Veltaro");
}

TEST(Diag, SerialAndBoardPathsGoToStandardError) {
  EXPECT_TRUE(diag_goes_to_stderr("[serial] open failed"));
  EXPECT_TRUE(diag_goes_to_stderr("[esp_reset:hard]"));
  EXPECT_TRUE(diag_goes_to_stderr("[serial.modem]"));
  EXPECT_FALSE(diag_goes_to_stderr("[send_input]"));
  ::testing::internal::CaptureStdout();
  diag("load_sessions:", "bad");
  EXPECT_EQ(::testing::internal::GetCapturedStdout(), "load_sessions: bad\n");
}

}  // namespace
}  // namespace veltaro::common
