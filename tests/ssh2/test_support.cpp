#include "test_support.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cstdlib>
#include <random>
#include <stdexcept>

namespace veltaro::ssh2::testing {

namespace {

int remaining_ms(std::chrono::steady_clock::time_point deadline) {
  const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
      deadline - std::chrono::steady_clock::now());
  return left.count() < 0 ? 0 : static_cast<int>(left.count());
}

std::optional<std::string> getenv_opt(const char* name) {
  const char* v = std::getenv(name);
  return v ? std::optional<std::string>(v) : std::nullopt;
}

void restore(const char* name, const std::optional<std::string>& value) {
  if (value) {
    ::setenv(name, value->c_str(), 1);
  } else {
    ::unsetenv(name);
  }
}

}  // namespace

ConnectOptions options_for(int port) {
  ConnectOptions o;
  o.hostname = "127.0.0.1";
  o.port = port;
  o.username = kTestUser;
  o.allow_agent = false;
  o.look_for_keys = false;
  return o;
}

std::unique_ptr<Client> connect_client(const ConnectOptions& options) {
  auto client = std::make_unique<Client>();
  client->set_missing_host_key_policy(MissingHostKeyPolicy::kAutoAdd);
  client->connect(options);
  return client;
}

std::string read_until(Channel& channel, const std::string& needle,
                       std::chrono::milliseconds timeout) {
  const auto deadline = std::chrono::steady_clock::now() + timeout;
  std::string got;
  while (got.find(needle) == std::string::npos) {
    pollfd p{channel.fileno(), POLLIN, 0};
    if (::poll(&p, 1, remaining_ms(deadline)) <= 0) break;
    const std::string data = channel.recv(4096);
    if (data.empty()) break;
    got += data;
  }
  return got;
}

bool read_to_end(Channel& channel, std::chrono::milliseconds timeout) {
  const auto deadline = std::chrono::steady_clock::now() + timeout;
  for (;;) {
    pollfd p{channel.fileno(), POLLIN, 0};
    if (::poll(&p, 1, remaining_ms(deadline)) <= 0) return false;
    if (channel.recv(4096).empty()) return true;
  }
}

IsolatedHome::IsolatedHome()
    : old_home_(getenv_opt("HOME")), old_sock_(getenv_opt("SSH_AUTH_SOCK")) {
  std::filesystem::create_directory(dir_ / ".ssh");
  ::setenv("HOME", dir_.path().c_str(), 1);
  ::unsetenv("SSH_AUTH_SOCK");
}

IsolatedHome::~IsolatedHome() {
  restore("HOME", old_home_);
  restore("SSH_AUTH_SOCK", old_sock_);
}

std::string random_bytes(std::size_t n) {
  std::mt19937_64 rng(n);
  std::string out(n, '\0');
  for (auto& c : out) c = static_cast<char>(rng() & 0xFF);
  return out;
}

std::string echo_through(Channel& channel, const std::string& data) {
  std::thread writer([&] {
    try {
      for (std::size_t i = 0; i < data.size(); i += 65536) {
        channel.send(std::string_view(data).substr(i, 65536));
      }
    } catch (...) {
      channel.close();
    }
  });
  std::string back;
  const auto deadline = std::chrono::steady_clock::now() + kBulkWait;
  while (back.size() < data.size()) {
    pollfd p{channel.fileno(), POLLIN, 0};
    if (::poll(&p, 1, remaining_ms(deadline)) <= 0) break;
    const std::string piece = channel.recv(65536);
    if (piece.empty()) break;
    back += piece;
  }
  channel.close();
  writer.join();
  return back;
}

std::string echo_through_tcp(int port, const std::string& data) {
  peers::TcpConnection connection(peers::connect_loopback(port));
  std::thread writer([&] {
    try {
      connection.send(data);
    } catch (...) {
    }
  });
  const auto result = connection.read_until(
      [&](const std::string& got) { return got.size() >= data.size(); }, kBulkWait);
  connection.close();
  writer.join();
  return result.data;
}

peers::TcpConnection connect_tcp(int port) {
  return peers::TcpConnection(peers::connect_loopback(port));
}

void splice_to_port(Channel& channel, int port) {
  peers::Fd socket;
  try {
    socket = peers::connect_loopback(port);
  } catch (...) {
    channel.close();
    return;
  }
  char buf[16384];
  for (bool open = true; open;) {
    pollfd p[2] = {{socket.get(), POLLIN, 0}, {channel.fileno(), POLLIN, 0}};
    if (::poll(p, 2, static_cast<int>(kBulkWait.count() * 1000)) <= 0) break;
    try {
      if (p[0].revents != 0) {
        const ssize_t n = ::recv(socket.get(), buf, sizeof buf, 0);
        if (n <= 0) break;
        channel.send(std::string_view(buf, static_cast<std::size_t>(n)));
      }
      if (p[1].revents != 0) {
        const std::string data = channel.recv(sizeof buf);
        if (data.empty()) break;
        for (std::string_view rest(data); !rest.empty();) {
          const ssize_t n = ::send(socket.get(), rest.data(), rest.size(), MSG_NOSIGNAL);
          if (n <= 0) {
            open = false;
            break;
          }
          rest.remove_prefix(static_cast<std::size_t>(n));
        }
      }
    } catch (...) {
      break;
    }
  }
  socket.reset();
  channel.close();
}

EchoService::EchoService() {
  acceptor_ = std::thread([this] {
    try {
      connection_.emplace(listener_.accept(kBulkWait));
      connection_->start_echo();
    } catch (...) {
    }
  });
}

EchoService::~EchoService() {
  acceptor_.join();
  connection_.reset();
}

}  // namespace veltaro::ssh2::testing
