#include "crypto/string_crypt.h"

#include "common/kv_utils_common.h"
#include "common/kv_utils_general.h"
#include "crypto/host_id.h"
#include "crypto/host_key.h"
#include "crypto/kuznyechik.h"
#include "tests/support/temp_dir.h"

#include <gtest/gtest.h>

#include <cstring>
#include <regex>
#include <string>

namespace {

using namespace kv_utils_common::server;
using namespace kv_utils_common::server::host_id_detail;
using namespace kv_utils_common::server::string_crypt_detail;

// The digest checked against an independent HMAC-SHA-256, the openssl tool, and this host's
// identifier made of this host's pieces.
TEST(HardwareId, IsTheKeyedDigestOfTheHostsNames) {
  std::string output;
  if (kv_utils_common::execute_command("openssl version", output) != 0) GTEST_SKIP() << "no openssl tool";
  ASSERT_EQ(kv_utils_common::execute_command(
                "printf '%s' 'host-1abc123Linux' | openssl dgst -sha256 -hmac " + std::string(kelvanor::hash::k_host_key),
                output),
            0)
      << output;
  std::smatch digest;
  ASSERT_TRUE(std::regex_search(output, digest, std::regex("[0-9a-f]{64}"))) << output;
  EXPECT_EQ(compose_hardware_id("host-1", "abc123", "Linux"), digest.str());
  EXPECT_EQ(hardware_id(),
            compose_hardware_id(kv_utils_common::get_nodename(), read_machine_id(k_machine_id_path), "Linux"));
}

TEST(HardwareId, MachineIdIsTheFirstLineOfItsFile) {
  kv_test::TempDir dir;
  const std::string path = dir / "machine-id";
  EXPECT_EQ(read_machine_id(path), "");
  for (const char* content : {"6f1a0c2e9b", "6f1a0c2e9b\nsecond\n"}) {
    kv_test::write_file(path, content);
    EXPECT_EQ(read_machine_id(path), "6f1a0c2e9b") << content;
  }
}

// Counter mode written out for the first block: the key is the ASCII text of the identifier's first
// 32 digits, the counter block the pass phrase's first two bytes and 14 zeros; the text is padded
// with 1 to 16 NUL bytes, which decryption cuts off again.
TEST(StringCrypt, EncryptsUnderTheHostKeyAndDecryptsBack) {
  const std::string id = compose_hardware_id("n", "m", "s");
  cppcrypto::kuznyechik cipher;
  ASSERT_TRUE(cipher.init(reinterpret_cast<const unsigned char*>(id.data()), cppcrypto::block_cipher::encryption));
  unsigned char block[16] = {};
  std::memcpy(block, k_pass_phrase, 2);
  cipher.encrypt_block(block, block);

  for (const auto& [text, hex_length] : {std::pair<std::string, size_t>{"", 32}, {"fifteen chars!!", 32}, {"sixteen chars!!!", 64}}) {
    std::string first_block(16, '\0');
    for (size_t i = 0; i < 16; ++i) first_block[i] = static_cast<char>((i < text.size() ? text[i] : 0) ^ block[i]);
    std::string sealed = text;
    encrypt_string_for(sealed, id);
    EXPECT_EQ(sealed.size(), hex_length) << text;
    EXPECT_EQ(sealed.substr(0, 32), kv_utils_common::digest_as_string(reinterpret_cast<const unsigned char*>(first_block.data()), 16));
    decrypt_string_for(sealed, id);
    EXPECT_EQ(sealed, text);
  }
  std::string here = "secret";
  encrypt_string(here);
  decrypt_string(here);
  EXPECT_EQ(here, "secret");
}

}  // namespace
