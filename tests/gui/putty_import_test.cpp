// PuTTY's file store under a temporary HOME, listed and imported through the page operations.
#include "common/atomic_file.h"
#include "test_support.h"

#include <sys/stat.h>
#include <unistd.h>

#include <fstream>
#include <regex>

namespace veltaro::gui {
namespace {

using common::Json;

class PuttyImport : public testing::DataDirTest {
 protected:
  void SetUp() override {
    DataDirTest::SetUp();
    const char* home = std::getenv("HOME");
    if (home) saved_home_ = home;
    ::setenv("HOME", root_.c_str(), 1);
    sessions_dir_ = root_ / ".putty" / "sessions";
  }
  void TearDown() override {
    ::setenv("HOME", saved_home_.c_str(), 1);
    DataDirTest::TearDown();
  }
  void write_session(const std::string& file_name, const std::string& text) {
    std::filesystem::create_directories(sessions_dir_);
    std::ofstream(sessions_dir_ / file_name, std::ios::binary) << text;
  }
  // The listed entry called `name`, or null.
  static Json entry(const Json& list, const std::string& name) {
    for (const Json& e : list) {
      if (e.at("name") == name) return e;
    }
    return Json();
  }
  static Json names(const Json& list) {
    Json out = Json::array();
    for (const Json& e : list) out.push_back(e.at("name"));
    return out;
  }

  std::filesystem::path sessions_dir_;
  std::string saved_home_;
};

TEST_F(PuttyImport, NamesAreDecodedAndUnreadableFilesPassedOver) {
  write_session("Default%20Settings", "HostName=\nPortNumber=22\n");
  write_session("a%2Fb", "HostName=x\n");
  write_session("100%", "HostName=x\n");
  write_session("50%zz%2", "HostName=x\n");
  write_session("%E4%B8%AD%20%FF", "HostName=x\n");
  write_session(".hidden", "HostName=x\n");
  std::filesystem::create_directories(sessions_dir_ / "folder");
  std::filesystem::create_symlink(root_ / "missing", sessions_dir_ / "dangling");
  ASSERT_EQ(::mkfifo((sessions_dir_ / "pipe").c_str(), 0600), 0);  // must not stall the read
  write_session("locked", "HostName=x\n");
  std::filesystem::permissions(sessions_dir_ / "locked", std::filesystem::perms::none);
  const bool root_reads_anything = ::geteuid() == 0;

  auto app = make_app();
  const Json list = app->call_operation("import_list_from_putty", Json::array()).value();
  // In the order of the stored (escaped) file names.
  Json expected = {"中 \xEF\xBF\xBD", "100%", "50%zz%2", "Default Settings", "a/b"};
  if (root_reads_anything) expected.push_back("locked");
  EXPECT_EQ(names(list), expected);
  EXPECT_EQ(entry(list, "Default Settings"),
            (Json{{"name", "Default Settings"}, {"HostName", ""}, {"PortNumber", 22}}));
}

TEST_F(PuttyImport, EntriesCarryTheElevenValuesInOrderWithNumbersAsNumbers) {
  write_session("router",
                "TerminalType=vt100\nPortNumber=2222\nHostName=10.0.0.1\nProtocol=SSH\n"
                "UserName=管理者\nPublicKeyFile=/home/u/key.ppk\nCompression=1\nLFImpliesCR=0\n"
                "Colour0=255,255,255\nHostName=second line ignored\nno equals sign\r\n"
                "SerialLine=COM1\r\nSerialSpeed=9600\r\n");
  write_session("odd", "PortNumber=abc\nCompression= 1\nHostName=bad \xFF byte\n");
  auto app = make_app();
  const Json list = app->import_list_from_putty();
  EXPECT_EQ(list[1].dump(), Json({{"name", "router"},
                                  {"HostName", "10.0.0.1"},
                                  {"Protocol", "SSH"},
                                  {"UserName", "管理者"},
                                  {"PublicKeyFile", "/home/u/key.ppk"},
                                  {"PortNumber", 2222},
                                  {"Compression", 1},
                                  {"TerminalType", "vt100"},
                                  {"SerialLine", "COM1"},
                                  {"SerialSpeed", 9600},
                                  {"LFImpliesCR", 0}})
                                .dump());
  EXPECT_EQ(list[0], (Json{{"name", "odd"},
                           {"HostName", "bad \xEF\xBF\xBD byte"},
                           {"PortNumber", "abc"},
                           {"Compression", " 1"}}));
}

TEST_F(PuttyImport, ImportedRecordsHaveAllSeventeenFields) {
  write_session("router",
                "HostName=10.0.0.1\nProtocol=SSH\nUserName=admin\nPublicKeyFile=/k.ppk\n"
                "PortNumber=2222\nCompression=1\nLFImpliesCR=0\nTerminalType=vt100\n");
  auto app = make_app();
  const Json list = app->import_list_from_putty();
  const Json result = app->call_operation("import_putty_sessions", Json::array({list})).value();
  ASSERT_EQ(result.at("sessions").size(), 1u);
  Json rec = result["sessions"][0];
  EXPECT_TRUE(std::regex_match(rec.at("id").get<std::string>(), std::regex("[0-9a-f]{32}")));
  rec.erase("id");
  EXPECT_EQ(rec.dump(), Json({{"name", "router"},
                              {"protocol", "ssh"},
                              {"host", "10.0.0.1"},
                              {"port", 2222},
                              {"username", "admin"},
                              {"password", ""},
                              {"private_key", "/k.ppk"},
                              {"compression", true},
                              {"agent_forwarding", false},
                              {"ip_version", "auto"},
                              {"port_forwards", Json::array()},
                              {"line_code_page", "utf-8"},
                              {"terminal_type", "xterm-256color"},
                              {"keepalive_sec", 30},
                              {"lfhascr", false},
                              {"crhaslf", false}})
                            .dump());
  // The store on disk holds the same, and a restarted application reads it back.
  EXPECT_EQ(make_app()->sessions_json(), result["sessions"]);
}

TEST_F(PuttyImport, ProtocolsPortsAndNamesFallBackAsPuttyEntriesNeedIt) {
  write_session("Default%20Settings", "");
  write_session("bsd", "Protocol=rlogin\nHostName=bsd.example\nPortNumber=513\n");
  write_session("board",
                "Protocol=serial\nHostName=\nSerialLine=/dev/ttyUSB0\nSerialSpeed=115200\n"
                "PortNumber=22\nCRImpliesLF=1\n");
  write_session("board%20no%20speed", "Protocol=serial\nSerialLine=COM3\nPortNumber=23\n");
  write_session("bad%20port", "Protocol=Telnet\nHostName=h\nPortNumber=abc\n");
  auto app = make_app();
  Json list = app->import_list_from_putty();
  list.push_back(Json{{"name", ""}, {"HostName", "unnamed"}});
  const Json sessions = app->import_putty_sessions(list).at("sessions");
  auto summary = [&](std::size_t i) {
    const Json& s = sessions.at(i);
    return Json{s["name"], s["protocol"], s["host"], s["port"], s["crhaslf"]};
  };
  EXPECT_EQ(summary(0), (Json{"Default Settings", "ssh", "", 22, false}));
  EXPECT_EQ(summary(1), (Json{"bad port", "telnet", "h", 22, false}));
  EXPECT_EQ(summary(2), (Json{"board", "serial", "/dev/ttyUSB0", 115200, true}));
  EXPECT_EQ(summary(3), (Json{"board no speed", "serial", "COM3", 23, false}));
  EXPECT_EQ(summary(4), (Json{"bsd", "ssh", "bsd.example", 513, false}));
  EXPECT_EQ(summary(5), (Json{"從 PuTTY 匯入", "ssh", "unnamed", 22, false}));
}

TEST_F(PuttyImport, ImportingTwiceGivesTwoSessionsAndAnEmptyImportStillSaves) {
  auto app = make_app();
  EXPECT_EQ(app->import_list_from_putty(), Json::array());  // no ~/.putty at all
  EXPECT_EQ(app->import_putty_sessions(Json::array()), (Json{{"sessions", Json::array()}}));
  EXPECT_TRUE(std::filesystem::exists(data_dir() / "sessions.json"));

  const Json entry{{"name", "twice"}, {"HostName", "h"}, {"PortNumber", 2022}};
  app->import_putty_sessions(Json::array({entry}));
  const Json sessions = app->import_putty_sessions(Json::array({entry, 7, "x"})).at("sessions");
  ASSERT_EQ(sessions.size(), 2u);
  EXPECT_NE(sessions[0]["id"], sessions[1]["id"]);
  Json first = sessions[0];
  Json second = sessions[1];
  first.erase("id");
  second.erase("id");
  EXPECT_EQ(first, second);
  // Not a list at all: nothing imported, nothing written.
  EXPECT_EQ(app->call_operation("import_putty_sessions", Json::array({"x"}))->at("sessions"),
            sessions);
}

TEST(PuttyNames, PercentEscapesAreDecodedAndMalformedOnesKept) {
  EXPECT_EQ(VeltaroApp::_unescape_putty_name("Default%20Settings"), "Default Settings");
  EXPECT_EQ(VeltaroApp::_unescape_putty_name("a%2fb%2Fc"), "a/b/c");
  EXPECT_EQ(VeltaroApp::_unescape_putty_name("%"), "%");
  EXPECT_EQ(VeltaroApp::_unescape_putty_name("%2"), "%2");
  EXPECT_EQ(VeltaroApp::_unescape_putty_name("100%zz"), "100%zz");
  EXPECT_EQ(VeltaroApp::_unescape_putty_name("%%41"), "%A");
  EXPECT_EQ(VeltaroApp::_unescape_putty_name("中%20文"), "中 文");
  EXPECT_EQ(VeltaroApp::_unescape_putty_name("%E4%B8"), "\xEF\xBF\xBD");
  EXPECT_EQ(VeltaroApp::_unescape_putty_name("%00x"), std::string("\0x", 2));
}

}  // namespace
}  // namespace veltaro::gui
