// The packet layer without a socket: framing sizes, the length limits, the SSH-1 CRC, end of
// stream in the middle of a packet, and the inner-CBC triple DES.
#include <gtest/gtest.h>
#include <openssl/evp.h>

#include "model/transports/tarnlink/des3_pipeline.h"
#include "model/transports/tarnlink/marshal.h"
#include "model/transports/tarnlink/packet.h"
#include "model/transports/tarnlink/ssh1_errors.h"

namespace tarnlink {
namespace {

// Bytes handed out exactly as asked; running out is the peer closing.
class BufferSource final : public ByteSource {
 public:
  explicit BufferSource(std::string data) : data_(std::move(data)) {}
  std::string read_exact(std::size_t n) override {
    if (n > data_.size() - pos_) throw SSH1Closed("EOF during read");
    std::string out = data_.substr(pos_, n);
    pos_ += n;
    return out;
  }

 private:
  std::string data_;
  std::size_t pos_ = 0;
};

std::string wire(std::uint8_t type, std::string_view payload, CipherPipeline* enc = nullptr) {
  std::uint32_t length = 0;
  std::string body = frame_body(type, payload, length);
  if (enc) body = _cipher_apply(*enc, std::move(body));
  return _marshal_uint32(length) + body;
}

std::string hex(std::string_view s) {
  static constexpr char kHex[] = "0123456789abcdef";
  std::string out;
  for (const char c : s) {
    out += kHex[static_cast<unsigned char>(c) >> 4];
    out += kHex[static_cast<unsigned char>(c) & 0xF];
  }
  return out;
}

const std::string kKey24 = [] {
  std::string k;
  for (char c = 1; c <= 24; ++c) k += c;
  return k;
}();

TEST(PacketFraming, PaddingIsOneToEightBytesAndLengthCountsTypePayloadAndCrc) {
  struct Case {
    std::size_t payload;
    std::uint32_t length;
    std::size_t on_wire;
  };
  for (const Case c : {Case{0, 5, 12}, Case{3, 8, 20}, Case{4, 9, 20}, Case{10, 15, 20}}) {
    const std::string w = wire(17, std::string(c.payload, 'x'));
    EXPECT_EQ(w.substr(0, 4), _marshal_uint32(c.length)) << c.payload;
    EXPECT_EQ(w.size(), c.on_wire) << c.payload;
  }
}

TEST(PacketFraming, ReadsBackTypeAndPayloadInClearAndEnciphered) {
  const std::string payload = _marshal_string("hello");
  BufferSource clear(wire(17, payload) + wire(32, ""));
  EXPECT_EQ(read_packet(clear, nullptr).payload, payload);
  const Packet empty = read_packet(clear, nullptr);
  EXPECT_EQ(empty.type, 32);
  EXPECT_EQ(empty.payload, "");

  CipherPipelines ours = _setup_3des(kKey24), peer = _setup_3des(kKey24);
  std::string stream;
  for (int i = 0; i < 5; ++i)
    stream += wire(17, std::string(static_cast<std::size_t>(i) * 7, 'a'), ours.enc.get());
  BufferSource enciphered(stream);
  for (int i = 0; i < 5; ++i) {
    const Packet p = read_packet(enciphered, peer.dec.get());
    EXPECT_EQ(p.payload, std::string(static_cast<std::size_t>(i) * 7, 'a'));
  }
}

TEST(PacketFraming, LengthOutsideFiveTo262144IsRejected) {
  for (const std::uint32_t bad : {0u, 4u, 262145u, 0xFFFFFFFFu}) {
    BufferSource s(_marshal_uint32(bad) + std::string(64, '\0'));
    try {
      read_packet(s, nullptr);
      ADD_FAILURE() << bad;
    } catch (const SSH1Closed&) {
      ADD_FAILURE() << "a bad length is not the end of stream";
    } catch (const std::runtime_error& e) {
      EXPECT_EQ(e.what(), "SSH-1 packet length out of range: " + std::to_string(bad));
    }
  }
  const std::string largest(262144 - 5, 'z');
  BufferSource s(wire(17, largest));
  EXPECT_EQ(read_packet(s, nullptr).payload.size(), largest.size());
}

TEST(PacketFraming, AnyFlippedBitFailsTheCrc) {
  const std::string good = wire(17, _marshal_string("some terminal output"));
  for (std::size_t at = 4; at < good.size(); at += 3) {
    std::string bad = good;
    bad[at] = static_cast<char>(bad[at] ^ (1 << (at % 8)));
    BufferSource s(bad);
    try {
      read_packet(s, nullptr);
      ADD_FAILURE() << "byte " << at;
    } catch (const SSH1Closed&) {
      ADD_FAILURE() << "byte " << at;
    } catch (const std::runtime_error& e) {
      EXPECT_STREQ(e.what(), "SSH-1 CRC 校驗失敗");
    }
  }
}

TEST(PacketFraming, EndOfStreamMidPacketIsTheEndNotAFailure) {
  const std::string w = wire(17, _marshal_string("cut short"));
  for (const std::size_t keep : {std::size_t{2}, std::size_t{4}, w.size() - 1}) {
    BufferSource s(w.substr(0, keep));
    try {
      read_packet(s, nullptr);
      ADD_FAILURE() << keep;
    } catch (const SSH1Closed& e) {
      EXPECT_STREQ(e.what(), "EOF during read");
    }
  }
}

TEST(Ssh1Crc, StartsFromZeroWithoutFinalInversion) {
  // The check value of this CRC over "123456789"; zlib's standard CRC-32 gives 0xCBF43926.
  EXPECT_EQ(ssh1_crc32("123456789"), 0x2DFD2D88u);
  EXPECT_EQ(ssh1_crc32(""), 0u);
}

TEST(InnerCbcTripleDes, MatchesAnIndependentSingleDesPeer) {
  // Enciphered by pycryptodome's single DES in the arrangement E(k1) D(k2) E(k3), each stage
  // with its own CBC chain and a zero initial vector.
  CipherPipelines p = _setup_3des(kKey24);
  const std::string plain = std::string("SSH-1 inner CBC!") + std::string(8, '\0');
  EXPECT_EQ(hex(_cipher_apply(*p.enc, plain)), "6965ff5c4010bebe2fa9df488cd67eacdc48e2a2ac7f8d79");
}

TEST(InnerCbcTripleDes, ChainsAcrossPacketsInAnySplitAndDiffersFromStandard3desCbc) {
  std::string plain;
  for (int i = 0; i < 96; ++i) plain += static_cast<char>(i * 37);
  CipherPipelines whole = _setup_3des(kKey24);
  const std::string once = _cipher_apply(*whole.enc, plain);
  for (const std::size_t first : {8u, 24u, 48u, 88u}) {
    CipherPipelines split = _setup_3des(kKey24), peer = _setup_3des(kKey24);
    const std::string a = _cipher_apply(*split.enc, plain.substr(0, first));
    const std::string b = _cipher_apply(*split.enc, plain.substr(first));
    EXPECT_EQ(a + b, once) << first;
    std::string back = _cipher_apply(*peer.dec, a.substr(0, 8));
    back += _cipher_apply(*peer.dec, a.substr(8) + b);
    EXPECT_EQ(back, plain) << first;
  }

  EVP_CIPHER_CTX* ctx = EVP_CIPHER_CTX_new();
  const unsigned char iv[8] = {};
  std::string standard(plain.size(), '\0');
  int n = 0;
  ASSERT_EQ(EVP_EncryptInit_ex(ctx, EVP_des_ede3_cbc(), nullptr,
                               reinterpret_cast<const unsigned char*>(kKey24.data()), iv),
            1);
  EVP_CIPHER_CTX_set_padding(ctx, 0);
  EVP_EncryptUpdate(ctx, reinterpret_cast<unsigned char*>(standard.data()), &n,
                    reinterpret_cast<const unsigned char*>(plain.data()),
                    static_cast<int>(plain.size()));
  EVP_CIPHER_CTX_free(ctx);
  EXPECT_EQ(static_cast<std::size_t>(n), plain.size());
  EXPECT_NE(standard, once);
}

}  // namespace
}  // namespace tarnlink
