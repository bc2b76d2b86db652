// Payload fields, the version line, and the RSA wrap of the session key.
#include <gtest/gtest.h>
#include <openssl/evp.h>
#include <openssl/rsa.h>

#include "model/transports/tarnlink/binary_reader.h"
#include "model/transports/tarnlink/marshal.h"
#include "model/transports/tarnlink/rsa_ssh1.h"
#include "model/transports/tarnlink/version_line.h"

namespace tarnlink {
namespace {

TEST(BinaryReader, ReadsFieldsInOrderAndRefusesToReadPastTheEnd) {
  const std::string payload = _marshal_uint32(0xDEADBEEF) + _marshal_uint16(9) + "\x01\xFF" +
                              _marshal_uint16(0) + _marshal_string("tail");
  BinaryReader cur(payload);
  EXPECT_EQ(cur.read_uint32(), 0xDEADBEEFu);
  const BigNum nine_bits = cur.read_mp_ssh1();  // bit count 9: two bytes
  EXPECT_EQ(BN_get_word(nine_bits.get()), 0x1FFu);
  const BigNum none = cur.read_mp_ssh1();  // bit count 0: no bytes, the value 0
  EXPECT_TRUE(BN_is_zero(none.get()));
  EXPECT_EQ(cur.read_string(), "tail");
  EXPECT_EQ(cur.pos, payload.size());
  try {
    cur.read(1);
    ADD_FAILURE();
  } catch (const std::runtime_error& e) {
    EXPECT_STREQ(e.what(), "SSH-1 payload underrun");
  }
  // A length field larger than what follows, including one that would wrap pos around.
  for (const std::uint32_t claimed : {5u, 0xFFFFFFFFu}) {
    const std::string s = _marshal_uint32(claimed) + "abcd";
    BinaryReader r(s);
    EXPECT_THROW(r.read_string(), std::runtime_error) << claimed;
  }
}

TEST(Marshal, StringsCarryTheirUtf8ByteLength) {
  EXPECT_EQ(_marshal_string("é"), std::string("\x00\x00\x00\x02\xC3\xA9", 6));
  EXPECT_EQ(_marshal_uint16(0x0102), "\x01\x02");
}

std::string version_error(const std::string& line) {
  try {
    check_server_version(line);
  } catch (const std::runtime_error& e) {
    return e.what();
  }
  return "";
}

TEST(VersionLine, AcceptsProtocolOneAndRejectsTheRestWithTheLine) {
  EXPECT_EQ(version_error("SSH-1.5-X"), "");
  EXPECT_EQ(version_error("SSH-1.99-X"), "");
  EXPECT_EQ(version_error("SSH-1.3-OldServer 1.2"), "");
  EXPECT_EQ(version_error("SSH-2.0-X"), "server不支援 SSH-1：SSH-2.0-X");
  EXPECT_EQ(version_error("SSH-1.5"), "server不支援 SSH-1：SSH-1.5");
  EXPECT_EQ(version_error("Welcome to the router"), "not an SSH server: 'Welcome to the router'");
  EXPECT_EQ(version_error(decode_version_line("It's\x01\xFF\r\r")),
            "not an SSH server: 'It\\'s\\x01\xEF\xBF\xBD'");
}

// A private key the test holds, so that it can open what the wrap produced.
struct TestRsaKey {
  EVP_PKEY* pkey = nullptr;
  RsaKey pub;
  explicit TestRsaKey(unsigned bits) {
    pkey = EVP_RSA_gen(bits);
    BIGNUM* n = nullptr;
    BIGNUM* e = nullptr;
    EVP_PKEY_get_bn_param(pkey, "n", &n);
    EVP_PKEY_get_bn_param(pkey, "e", &e);
    pub.n.reset(n);
    pub.e.reset(e);
    pub.bits = bits;
    pub.bytes = (static_cast<std::size_t>(BN_num_bits(n)) + 7) / 8;
  }
  ~TestRsaKey() { EVP_PKEY_free(pkey); }
  std::string decrypt(const std::string& c) const {
    EVP_PKEY_CTX* ctx = EVP_PKEY_CTX_new(pkey, nullptr);
    EVP_PKEY_decrypt_init(ctx);
    EVP_PKEY_CTX_set_rsa_padding(ctx, RSA_PKCS1_PADDING);
    std::string out(c.size(), '\0');
    std::size_t len = out.size();
    const int rc = EVP_PKEY_decrypt(ctx, reinterpret_cast<unsigned char*>(out.data()), &len,
                                    reinterpret_cast<const unsigned char*>(c.data()), c.size());
    EVP_PKEY_CTX_free(ctx);
    if (rc != 1) return "<decrypt failed>";
    out.resize(len);
    return out;
  }
};

TEST(RsaWrap, Pkcs1Type2BlocksOpenWithThePrivateKeyAndNeedElevenSpareBytes) {
  const TestRsaKey small(768), large(1024);
  const std::string session_key(32, '\x5A');
  const std::string inner = _rsa_ssh1_encrypt(session_key, small.pub);
  ASSERT_EQ(inner.size(), 96u);
  const std::string outer = _rsa_ssh1_encrypt(inner, large.pub);
  ASSERT_EQ(outer.size(), 128u);
  EXPECT_EQ(small.decrypt(large.decrypt(outer)), session_key);

  try {
    _rsa_ssh1_encrypt(std::string(128 - 10, 'x'), large.pub);
    ADD_FAILURE();
  } catch (const std::runtime_error& e) {
    EXPECT_STREQ(e.what(), "RSA key 太短，無法 wrap session key");
  }
  EXPECT_EQ(_rsa_ssh1_encrypt(std::string(128 - 11, 'x'), large.pub).size(), 128u);
  EXPECT_EQ(_md5_modulus_fingerprint(large.pub).size(), 32u);
}

}  // namespace
}  // namespace tarnlink
