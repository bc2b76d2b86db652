// The line editing of login prompts, and what a prompt may write into the terminal.
#include "model/gui/login_input.h"
#include "model/gui/terminal_prompter.h"

#include <gtest/gtest.h>

#include <future>
#include <thread>

namespace veltaro::gui {
namespace {

using namespace std::chrono_literals;

struct Shown {
  std::string text;
  LoginInput::Write writer() {
    return [this](const std::string& s) { text += s; };
  }
};

TEST(LoginInput, editing_keys_change_the_line_and_only_an_echoed_line_is_shown) {
  LoginInput input;
  Shown shown;
  // Backspace takes a whole character (here a three-byte one), cursor keys are dropped whole,
  // Ctrl+U clears, and what follows Enter waits for the next prompt.
  input.feed("x\x15r\xe6\x97\xa5\x7f\x1b[Do\x1bOAot\r\nsecret\x08T\rrest");
  const auto user = input.read_line(true, 1s, shown.writer());
  EXPECT_EQ(user.end, LoginInput::End::kAnswered);
  EXPECT_EQ(user.text.view(), "root");
  EXPECT_EQ(shown.text,
            "x\b \br\xe6\x97\xa5\b \bo"
            "ot\r\n");

  shown.text.clear();
  const auto password = input.read_line(false, 1s, shown.writer());
  EXPECT_EQ(password.text.view(), "secreT");
  EXPECT_EQ(shown.text, "\r\n") << "nothing of a hidden answer is shown";

  // The rest was typed ahead; Ctrl+C gives up and returns nothing of it.
  input.feed("\x03");
  shown.text.clear();
  const auto given_up = input.read_line(true, 1s, shown.writer());
  EXPECT_EQ(given_up.end, LoginInput::End::kGaveUp);
  EXPECT_TRUE(given_up.text.empty());
  EXPECT_EQ(shown.text, "rest^C\r\n");
}

TEST(LoginInput, a_wait_ends_with_keys_from_another_thread_at_its_time_out_or_at_close) {
  LoginInput input;
  Shown shown;
  auto answer =
      std::async(std::launch::async, [&] { return input.read_line(false, 10s, shown.writer()); });
  std::this_thread::sleep_for(50ms);
  input.feed("pw");
  input.feed("\r");
  EXPECT_EQ(answer.get().text.view(), "pw");

  const auto late = input.read_line(true, 100ms, shown.writer());
  EXPECT_EQ(late.end, LoginInput::End::kTimedOut);

  auto closed =
      std::async(std::launch::async, [&] { return input.read_line(true, 30s, shown.writer()); });
  std::this_thread::sleep_for(50ms);
  input.close();
  ASSERT_EQ(closed.wait_for(5s), std::future_status::ready) << "close must end the wait";
  EXPECT_EQ(closed.get().end, LoginInput::End::kClosed);
  EXPECT_FALSE(input.feed("more")) << "keys after the login are not taken";
}

TEST(LoginInput, prompter_turns_each_ending_into_an_answer_or_a_reason) {
  auto input = std::make_shared<LoginInput>();
  Shown shown;
  TerminalPrompter prompter(input, shown.writer(), 200ms);
  input->feed("code\r\x03");
  EXPECT_EQ(prompter.ask("Verification code: ", true).view(), "code");
  EXPECT_THROW(prompter.ask("again: ", true), transport::LoginAbandoned);
  EXPECT_THROW(prompter.ask("late: ", true), transport::LoginAbandoned);
  input->close();
  EXPECT_THROW(prompter.ask("closed: ", true), transport::LoginAbandoned);
  EXPECT_EQ(shown.text.rfind("Verification code: code\r\n", 0), 0u) << shown.text;
}

TEST(TerminalSafe, server_text_cannot_drive_the_terminal) {
  EXPECT_EQ(terminal_safe("Code\x1b]0;owned\x07 for \xc2\x9b"
                          "31m\xe4\xbd\xa0:\n"),
            "Code]0;owned for 31m\xe4\xbd\xa0:\r\n");
  EXPECT_EQ(terminal_safe("bad \xff byte"), "bad \xef\xbf\xbd byte");
}

}  // namespace
}  // namespace veltaro::gui
