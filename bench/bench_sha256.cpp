// Throughput of each SHA-256 block function beside OpenSSL's SHA-256 (through EVP) and a plain C
// implementation, on 64 B, 1 KiB, 16 KiB and 1 MiB messages. Each case digests a whole message,
// padding included, so all of them do the same work. OpenSSL picks its code path from the
// environment variable OPENSSL_ia32cap; run_sha256_bench.sh runs this program once per path.

#include "crypto/cpuinfo.h"
#include "crypto/sha256.h"
#include "crypto/sha256_blocks.h"

#include <benchmark/benchmark.h>
#include <openssl/evp.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <string>
#include <vector>

extern "C" void sha256_plain_c(const unsigned char* data, size_t len, unsigned char out[32]);

namespace {

constexpr int64_t k_sizes[] = {64, 1024, 16 * 1024, 1024 * 1024};

std::vector<unsigned char> message(size_t len) {
  std::vector<unsigned char> m(len);
  for (size_t i = 0; i < len; ++i)
    m[i] = static_cast<unsigned char>(i * 131 + 7);
  return m;
}

// A whole digest through one block function, as the hash object would do it with that
// function chosen.
void digest_with(cppcrypto::sha256_block_fn blocks, const unsigned char* data, size_t len,
                 unsigned char* out) {
  alignas(32) uint32_t state[8] = {0x6a09e667, 0xbb67ae85, 0x3c6ef372, 0xa54ff53a,
                                   0x510e527f, 0x9b05688c, 0x1f83d9ab, 0x5be0cd19};
  blocks(data, state, len / 64);
  const size_t rest = len % 64;
  const size_t padded = rest < 56 ? 64 : 128;
  unsigned char last[128] = {};
  std::memcpy(last, data + len - rest, rest);
  last[rest] = 0x80;
  const uint64_t bits = static_cast<uint64_t>(len) * 8;
  for (size_t i = 0; i < 8; ++i)
    last[padded - 1 - i] = static_cast<unsigned char>(bits >> (8 * i));
  blocks(last, state, padded / 64);
  for (int i = 0; i < 8; ++i) {
    const uint32_t w = __builtin_bswap32(state[i]);
    std::memcpy(out + 4 * i, &w, 4);
  }
}

struct evp_md_free {
  void operator()(EVP_MD* md) const { EVP_MD_free(md); }
};
struct evp_ctx_free {
  void operator()(EVP_MD_CTX* ctx) const { EVP_MD_CTX_free(ctx); }
};

class openssl_sha256 {
public:
  openssl_sha256() : m_md(EVP_MD_fetch(nullptr, "SHA256", nullptr)), m_ctx(EVP_MD_CTX_new()) {
    if (!m_md || !m_ctx) {
      std::fprintf(stderr, "OpenSSL has no SHA256\n");
      std::exit(1);
    }
  }
  void digest(const unsigned char* data, size_t len, unsigned char* out) {
    unsigned int out_len = 0;
    if (EVP_DigestInit_ex(m_ctx.get(), m_md.get(), nullptr) != 1 ||
        EVP_DigestUpdate(m_ctx.get(), data, len) != 1 ||
        EVP_DigestFinal_ex(m_ctx.get(), out, &out_len) != 1) {
      std::fprintf(stderr, "OpenSSL SHA256 failed\n");
      std::exit(1);
    }
  }

private:
  std::unique_ptr<EVP_MD, evp_md_free> m_md;
  std::unique_ptr<EVP_MD_CTX, evp_ctx_free> m_ctx;
};

template <typename Digest>
void run(benchmark::State& state, Digest digest) {
  const std::vector<unsigned char> data = message(static_cast<size_t>(state.range(0)));
  unsigned char out[32];
  for (auto _ : state) {
    digest(data.data(), data.size(), out);
    benchmark::DoNotOptimize(out);
    benchmark::ClobberMemory();
  }
  state.SetBytesProcessed(static_cast<int64_t>(state.iterations()) * state.range(0));
}

void register_case(const std::string& name,
                   void (*body)(benchmark::State&, cppcrypto::sha256_block_fn),
                   cppcrypto::sha256_block_fn fn) {
  auto* b = benchmark::RegisterBenchmark(("sha256/" + name).c_str(), body, fn);
  for (const int64_t size : k_sizes)
    b->Arg(size);
}

void block_function_case(benchmark::State& state, cppcrypto::sha256_block_fn fn) {
  run(state, [fn](const unsigned char* d, size_t n, unsigned char* o) { digest_with(fn, d, n, o); });
}

void hash_object_case(benchmark::State& state, cppcrypto::sha256_block_fn) {
  cppcrypto::sha256 hash;
  run(state, [&hash](const unsigned char* d, size_t n, unsigned char* o) {
    hash.hash_string(d, n, o);
  });
}

void openssl_case(benchmark::State& state, cppcrypto::sha256_block_fn) {
  openssl_sha256 openssl;
  run(state, [&openssl](const unsigned char* d, size_t n, unsigned char* o) {
    openssl.digest(d, n, o);
  });
}

void plain_c_case(benchmark::State& state, cppcrypto::sha256_block_fn) {
  run(state, [](const unsigned char* d, size_t n, unsigned char* o) { sha256_plain_c(d, n, o); });
}

// A benchmark of a wrong digest would be worthless: every case must agree with OpenSSL first.
bool digests_agree(const std::vector<std::pair<std::string, cppcrypto::sha256_block_fn>>& fns) {
  openssl_sha256 openssl;
  bool ok = true;
  for (const size_t len : {size_t{0}, size_t{55}, size_t{64}, size_t{1000}, size_t{16384}}) {
    const std::vector<unsigned char> data = message(len);
    unsigned char expected[32];
    unsigned char actual[32];
    openssl.digest(data.data(), len, expected);
    for (const auto& [name, fn] : fns) {
      digest_with(fn, data.data(), len, actual);
      if (std::memcmp(expected, actual, 32) != 0) {
        std::fprintf(stderr, "%s gives a wrong digest for %zu bytes\n", name.c_str(), len);
        ok = false;
      }
    }
    sha256_plain_c(data.data(), len, actual);
    if (std::memcmp(expected, actual, 32) != 0) {
      std::fprintf(stderr, "plain C gives a wrong digest for %zu bytes\n", len);
      ok = false;
    }
  }
  return ok;
}

}  // namespace

int main(int argc, char** argv) {
  using cppcrypto::sha256_block_kind;
  const auto& cpu = cppcrypto::cpu_info::impl_;
  std::vector<std::pair<std::string, cppcrypto::sha256_block_fn>> fns = {
      {"portable", cppcrypto::sha256_block_function(sha256_block_kind::portable)}};
  if (cpu.sse2())
    fns.emplace_back("sse2", cppcrypto::sha256_block_function(sha256_block_kind::sse2));
  if (cpu.sse41())
    fns.emplace_back("sse4", cppcrypto::sha256_block_function(sha256_block_kind::sse4));
  if (cpu.avx2() && cpu.bmi2() && cpu.sse41())
    fns.emplace_back("rorx", cppcrypto::sha256_block_function(sha256_block_kind::rorx));
  if (!digests_agree(fns))
    return 1;

  for (const auto& [name, fn] : fns)
    register_case(name, block_function_case, fn);
  register_case("object", hash_object_case, nullptr);
  register_case("openssl", openssl_case, nullptr);
  register_case("plain_c", plain_c_case, nullptr);

  const char* ia32cap = std::getenv("OPENSSL_ia32cap");
  benchmark::AddCustomContext("OPENSSL_ia32cap", ia32cap ? ia32cap : "(unset)");
  benchmark::Initialize(&argc, argv);
  if (benchmark::ReportUnrecognizedArguments(argc, argv))
    return 1;
  benchmark::RunSpecifiedBenchmarks();
  benchmark::Shutdown();
  return 0;
}
