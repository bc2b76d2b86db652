// The JSON-lines protocol itself, as the page's bridge relies on it.
#include <gtest/gtest.h>

#include "driver_fixture.h"

namespace veltaro::driver {
namespace {

class ProtocolTest : public DriverTest {};

TEST_F(ProtocolTest, UnknownMethodAnswersWithError) {
  start();
  Json answer = app().request("no_such_method", Json::array({1}));
  ASSERT_TRUE(answer.contains("error")) << answer.dump();
  EXPECT_TRUE(answer["error"].is_string() && !answer["error"].get<std::string>().empty());
  EXPECT_FALSE(answer.contains("result")) << answer.dump();
  EXPECT_EQ(app().call("get_runtime_state")["tabs"], Json::array()) << "the program goes on";
}

TEST_F(ProtocolTest, MalformedLineDoesNotStopProgram) {
  start();
  app().send_line("this is not json");
  app().send_line("{\"id\": \"x\", \"method\": 5}");
  app().send_line("");
  EXPECT_EQ(app().call("get_runtime_state")["tabs"], Json::array());
}

}  // namespace
}  // namespace veltaro::driver
