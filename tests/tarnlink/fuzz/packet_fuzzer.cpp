// libFuzzer target: untrusted bytes from a server through the packet reader (in clear and
// enciphered) and every payload through the field reader as the opening and the session read it.
#include "model/transports/tarnlink/binary_reader.h"
#include "model/transports/tarnlink/packet.h"
#include "model/transports/tarnlink/rsa_ssh1.h"
#include "model/transports/tarnlink/ssh1_errors.h"

#include <cstddef>
#include <cstdint>
#include <string>

namespace {

class FuzzSource final : public tarnlink::ByteSource {
 public:
  FuzzSource(const std::uint8_t* data, std::size_t size)
      : data_(reinterpret_cast<const char*>(data), size) {}
  std::string read_exact(std::size_t n) override {
    if (n > data_.size() - pos_) throw tarnlink::SSH1Closed("EOF during read");
    std::string out(data_.substr(pos_, n));
    pos_ += n;
    return out;
  }

 private:
  std::string_view data_;
  std::size_t pos_ = 0;
};

// The fields of a public-key packet, then of the session messages.
void parse_payload(std::string_view payload) {
  try {
    tarnlink::BinaryReader cur(payload);
    cur.read(8);
    const tarnlink::RsaKey serv = tarnlink::_read_rsa_pub(cur);
    const tarnlink::RsaKey host = tarnlink::_read_rsa_pub(cur);
    tarnlink::_mp_to_be_bytes(host.n.get(), host.bytes);
    tarnlink::_mp_to_be_bytes(serv.n.get(), serv.bytes);
    cur.read_uint32();
    cur.read_uint32();
    cur.read_uint32();
  } catch (const std::runtime_error&) {
  }
  try {
    tarnlink::BinaryReader cur(payload);
    cur.read_string();
    cur.read_uint32();
    cur.read_uint16();
  } catch (const std::runtime_error&) {
  }
}

void read_all(FuzzSource& source, tarnlink::CipherPipeline* dec) {
  try {
    for (;;) parse_payload(tarnlink::read_packet(source, dec).payload);
  } catch (const std::runtime_error&) {
    // End of input, a bad length or a bad CRC: all expected outcomes.
  }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  FuzzSource clear(data, size);
  read_all(clear, nullptr);
  static const std::string key(24, '\x42');
  tarnlink::CipherPipelines pipes = tarnlink::_setup_3des(key);
  FuzzSource enciphered(data, size);
  read_all(enciphered, pipes.dec.get());
  return 0;
}
