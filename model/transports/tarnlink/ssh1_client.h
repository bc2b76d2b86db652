// The SSH protocol 1.5 client as the rest of the program sees it: a transport for old servers
// that speak nothing newer (3DES only, password login, one PTY with a shell).
#pragma once

#include "model/transports/login_prompter.h"
#include "model/transports/transport.h"

#include <chrono>
#include <functional>
#include <memory>
#include <string>

namespace tarnlink {

// Called with the host key's MD5 fingerprint (32 lower-case hex digits) and the host name;
// false rejects the server.
using HostKeyVerifier =
    std::function<bool(const std::string& fingerprint, const std::string& host)>;

struct SSH1Options {
  std::string host;
  int port = 22;
  std::string username;
  std::string password;
  std::string term_type = "xterm";
  int rows = 24;
  int cols = 80;
  // TCP connect time-out, and the longest wait for each read while connecting.
  std::chrono::seconds timeout{15};
  HostKeyVerifier host_key_verifier;  // empty: every host key is accepted
  // Asks the user for the password when none is given or the server refused it, up to three
  // times. None: the password given is the only one tried.
  std::shared_ptr<veltaro::transport::LoginPrompter> prompter;
};

// A client that has done no I/O yet. connect() throws std::runtime_error with a readable reason;
// send() and resize() never throw (a failed send only ends the session).
std::shared_ptr<veltaro::transport::Transport> make_ssh1_client(SSH1Options options);

}  // namespace tarnlink
