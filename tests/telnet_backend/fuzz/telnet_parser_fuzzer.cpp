// Fuzzes the Telnet engine with what a hostile server could send: the command parser must give
// the same result however the stream is split across reads, and the protocol must never fail or
// answer more than it was asked.
#include "model/transports/telnet_backend/command_parser.h"
#include "model/transports/telnet_backend/telnet_protocol.h"

#include <cstdint>
#include <cstdlib>
#include <string>
#include <string_view>
#include <utility>

namespace {

using namespace veltaro::telnet;

class Recorder : public ParserSink {
 public:
  std::string out;
  void on_negotiation(std::uint8_t verb, std::uint8_t option) override {
    out += {'N', static_cast<char>(verb), static_cast<char>(option)};
  }
  void on_subnegotiation(std::uint8_t option, std::string_view payload) override {
    out += {'S', static_cast<char>(option)};
    out.append(payload).push_back('|');
  }
  void on_command(std::uint8_t c) override { out += {'C', static_cast<char>(c)}; }
};

// The data, parsed in place as the transport does, and the commands in order.
std::pair<std::string, std::string> parse(std::string_view stream, std::size_t piece, bool strip) {
  CommandParser parser;
  parser.set_strip_cr_nul(strip);
  Recorder r;
  std::string data;
  for (std::size_t i = 0; i < stream.size(); i += piece) {
    std::string chunk(stream.substr(i, piece));
    chunk.resize(parser.feed(chunk, chunk.data(), r));
    data += chunk;
  }
  return {data, r.out};
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  if (size < 2) return 0;
  const std::uint8_t flags = data[0];
  const std::size_t piece = 1 + data[1] % 17;
  const std::string_view stream(reinterpret_cast<const char*>(data) + 2, size - 2);

  const bool strip = (flags & 1) != 0;
  if (parse(stream, stream.size() + 1, strip) != parse(stream, piece, strip)) std::abort();

  TelnetOptions options;
  options.passive = (flags & 2) != 0;
  options.rfc_environ = (flags & 4) != 0;
  options.com_port_control = (flags & 8) != 0;
  options.username = "user\xff\x01";
  options.environment = {{"K\x02", "V\xff"}};
  TelnetProtocol protocol(options);
  if ((flags & 16) == 0) protocol.opening_offers();
  std::size_t replies_total = 0;
  for (std::size_t i = 0; i < stream.size(); i += piece) {
    std::string replies;
    std::string chunk(stream.substr(i, piece));
    if (protocol.receive(chunk, chunk.data(), replies) > chunk.size()) std::abort();
    replies_total += replies.size();
    protocol.resize(static_cast<int>(i), -static_cast<int>(i));
  }
  // Each received byte can ask for a bounded answer; more would mean a reply loop.
  if (replies_total > 64 * (stream.size() + 1)) std::abort();
  const std::string typed = protocol.encode_input(stream);
  if (typed.size() > 2 * stream.size()) std::abort();
  return 0;
}
