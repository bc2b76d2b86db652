// The subprocess runner against real programs: exit codes, both output streams at once, and a
// program that outlives its time-out.
#include "common/subprocess.h"

#include <gtest/gtest.h>

#include <fcntl.h>
#include <sys/wait.h>
#include <unistd.h>

namespace veltaro::common {
namespace {

using namespace std::chrono_literals;

TEST(RunProcess, arguments_reach_the_program_unchanged_and_both_streams_are_captured) {
  // More than a pipe holds on each stream: a runner reading one stream at a time would hang.
  const ProcessResult r = run_process(
      {"/usr/bin/perl", "-e", "print STDOUT 'o' x 200000; print STDERR 'e' x 200000; exit 3",
       "ignored; $(not a shell)"},
      10s);
  EXPECT_EQ(r.exit_code, 3);
  EXPECT_EQ(r.standard_output, std::string(200000, 'o'));
  EXPECT_EQ(r.standard_error, std::string(200000, 'e'));

  EXPECT_EQ(run_process({"/bin/echo", "a b", "$HOME", "*"}, 10s).standard_output, "a b $HOME *\n");
}

TEST(RunProcess, the_program_gets_no_descriptor_beyond_the_standard_three) {
  // As a library's socket would be, opened by another thread without close-on-exec.
  const int stray = ::open("/dev/null", O_RDONLY);
  ASSERT_GE(stray, 3);
  const ProcessResult r =
      run_process({"/usr/bin/perl", "-e",
                   "use POSIX; print join(' ', grep { my $d = POSIX::dup($_); defined $d && "
                   "defined POSIX::close($d) } 3 .. 1023)"},
                  10s);
  ::close(stray);
  EXPECT_EQ(r.exit_code, 0) << r.standard_error;
  EXPECT_EQ(r.standard_output, "") << "descriptors open in the child";
}

TEST(RunProcess, a_program_that_cannot_start_is_an_error) {
  EXPECT_THROW(run_process({"/nonexistent/puttygen"}, 10s), std::runtime_error);
  EXPECT_THROW(run_process({}, 10s), std::runtime_error);
}

TEST(RunProcess, a_program_past_its_time_out_is_killed_and_reaped) {
  try {
    run_process({"/bin/sleep", "30"}, 300ms);
    FAIL() << "a 30 s sleep finished within its time-out";
  } catch (const std::runtime_error& e) {
    EXPECT_NE(std::string(e.what()).find("did not finish"), std::string::npos) << e.what();
  }
  // A child closing its output early must not let the runner wait past the time-out either.
  EXPECT_THROW(run_process({"/usr/bin/perl", "-e", "close STDOUT; close STDERR; sleep 30"}, 300ms),
               std::runtime_error);
  // Reaped: this process has no child left (waitpid finds none).
  EXPECT_EQ(::waitpid(-1, nullptr, WNOHANG), -1);
}

TEST(RunProcess, standard_input_is_fed_whole_while_the_output_is_read) {
  // Far more than a pipe holds both ways: feeding first and reading after would deadlock.
  std::string big(3'000'000, 'x');
  big += "\n\xE4\xB8\xAD";
  EXPECT_EQ(run_process({"/bin/cat"}, 20s, big).standard_output, big);
  // A program that never reads its input ends the feeding without ending this process.
  EXPECT_EQ(run_process({"/bin/true"}, 20s, big).exit_code, 0);
  EXPECT_EQ(run_process({"/bin/cat"}, 20s, "").standard_output, "");
}

TEST(RunProcess, a_time_out_has_its_own_error_and_output_decodes_with_replacement) {
  EXPECT_THROW(run_process({"/bin/sleep", "30"}, 300ms, "unread"), ProcessTimeout);
  EXPECT_EQ(::waitpid(-1, nullptr, WNOHANG), -1);
  EXPECT_EQ(utf8_replacing_invalid("a\xFF\xE4\xB8"
                                   "b\xE4\xB8\xAD"),
            "a\uFFFD\uFFFD"
            "b\u4E2D");
}

}  // namespace
}  // namespace veltaro::common
