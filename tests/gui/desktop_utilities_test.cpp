#include "test_support.h"

#include <fstream>

namespace veltaro::gui {
namespace {

using common::Json;

class FakeDesktop final : public Desktop {
 public:
  void read_clipboard(std::function<void(std::string)> done) override {
    if (answer_clipboard) done("clip 中文");
  }
  void pick_private_key(std::function<void(std::string)> done) override {
    done("/home/u/.ssh/id_ed25519");
  }
  bool open_url(const std::string& url) override {
    opened.push_back(url);
    return true;
  }
  bool show_in_folder(const std::filesystem::path& file) override {
    shown.push_back(file);
    return true;
  }
  bool answer_clipboard = true;
  std::vector<std::filesystem::path> shown;
  std::vector<std::string> opened;
};

class DesktopUtilities : public testing::DataDirTest {
 protected:
  void SetUp() override {
    DataDirTest::SetUp();
    app_ = make_app();
    desktop_ = std::make_shared<FakeDesktop>();
    app_->set_desktop(desktop_);
  }
  std::shared_ptr<VeltaroApp> app_;
  std::shared_ptr<FakeDesktop> desktop_;
};

TEST_F(DesktopUtilities, OnlyBrowserAddressesAreOpened) {
  for (const char* url : {"https://example.org/a?b=1", "HTTP://host", "mailto:ops@example.org"}) {
    EXPECT_TRUE(app_->open_url(Json(url))) << url;
  }
  for (const Json& url :
       {Json(""), Json(), Json(5), Json("file:///usr/bin/xterm"), Json("javascript:alert(1)"),
        Json("ssh://host"), Json("http://"), Json("https://host/\nrm")}) {
    EXPECT_FALSE(app_->open_url(url)) << url.dump();
  }
  EXPECT_EQ(desktop_->opened.size(), 3u);
}

TEST_F(DesktopUtilities, ClipboardAndKeyDialogAnswersArePassedOn) {
  EXPECT_EQ(app_->read_clipboard(), "clip 中文");
  EXPECT_EQ(app_->pick_private_key(), "/home/u/.ssh/id_ed25519");
  desktop_->answer_clipboard = false;
  EXPECT_EQ(app_->read_clipboard(), "") << "a clipboard that never answers gives empty text";
  app_->set_desktop(nullptr);
  EXPECT_EQ(app_->read_clipboard(), "");
  EXPECT_EQ(app_->pick_private_key(), "");
  EXPECT_FALSE(app_->open_url(Json("https://example.org")));
}

TEST_F(DesktopUtilities, ImagesAreDataAddresses) {
  const auto dir = VeltaroApp::module_dir() / "格式範本";
  std::filesystem::create_directories(dir);
  const auto png = dir / "logo.png";
  const auto ico = dir / "logo.ico";
  // The build may have placed the real logos; they are set aside and put back.
  for (const auto& f : {png, ico}) {
    if (std::filesystem::exists(f)) std::filesystem::rename(f, f.string() + ".aside");
  }
  std::ofstream(ico, std::ios::binary) << std::string("\x00\x00\x01\x00\xff", 5);
  EXPECT_EQ(app_->get_images(),
            (Json{{"logo", ""}, {"logo_ico", "data:image/x-icon;base64,AAABAP8="}}));
  std::ofstream(png, std::ios::binary) << "";
  EXPECT_EQ(app_->get_images()["logo"], "data:image/png;base64,");
  for (const auto& f : {png, ico}) {
    std::filesystem::remove(f);
    if (std::filesystem::exists(f.string() + ".aside"))
      std::filesystem::rename(f.string() + ".aside", f);
  }
}

}  // namespace
}  // namespace veltaro::gui
