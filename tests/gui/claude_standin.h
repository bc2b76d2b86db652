// Stand-ins for the assistant tool: Python scripts that record every run (argument list and
// standard input, one JSON line per run) and then do what the test wrote for them.
#pragma once

#include "common/values.h"
#include "tests/gui/test_support.h"

#include <sys/stat.h>

#include <fstream>
#include <sstream>

namespace veltaro::gui::testing {

// Writes an executable stand-in at `path`; `body` is Python run after the run is recorded in
// `record` (the arguments after the program's name are in `args`, standard input in `stdin_text`).
inline void write_standin(const std::filesystem::path& path, const std::filesystem::path& record,
                          const std::string& body) {
  std::filesystem::create_directories(path.parent_path());
  std::ofstream(path) << "#!/usr/bin/python3\n"
                         "import json, os, sys, time\n"
                         "args = sys.argv[1:]\n"
                         "stdin_text = sys.stdin.read()\n"
                         "with open("
                      << common::dump_utf8(common::Json(record.string()))
                      << ", 'a') as rec:\n"
                         "    rec.write(json.dumps({'argv': args, 'stdin': stdin_text, "
                         "'pid': os.getpid()}) + '\\n')\n"
                      << body << "\n";
  ::chmod(path.c_str(), 0755);
}

// The runs a stand-in recorded, oldest first.
inline std::vector<common::Json> recorded_runs(const std::filesystem::path& record) {
  std::vector<common::Json> runs;
  std::ifstream in(record);
  for (std::string line; std::getline(in, line);) runs.push_back(common::Json::parse(line));
  return runs;
}

// Sets an environment variable for the test's lifetime and restores it after.
class ScopedEnv {
 public:
  ScopedEnv(const char* name, const std::optional<std::string>& value) : name_(name) {
    if (const char* old = std::getenv(name)) old_ = old;
    if (value) {
      ::setenv(name, value->c_str(), 1);
    } else {
      ::unsetenv(name);
    }
  }
  ~ScopedEnv() {
    if (old_) {
      ::setenv(name_, old_->c_str(), 1);
    } else {
      ::unsetenv(name_);
    }
  }
  ScopedEnv(const ScopedEnv&) = delete;
  ScopedEnv& operator=(const ScopedEnv&) = delete;

 private:
  const char* name_;
  std::optional<std::string> old_;
};

}  // namespace veltaro::gui::testing
