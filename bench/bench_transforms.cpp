// Message body transforms beside their peers:
//   DES-ECB on 64 MiB: ours against OpenSSL's DES-ECB (EVP, legacy provider), same key
//     and data; the ratio printed is our speed / OpenSSL's (1.0 = parity, above = faster).
//   zlib on 16 MiB of row text: our wrapper against zlib called directly with the same
//     settings (level 1, 15-bit window, memory level 8); printed as our overhead in percent.
// Every pair checks its results before it is timed: our ciphertext must equal OpenSSL's,
// decryption must give the data back, our deflate output must equal zlib's.
#include <benchmark/benchmark.h>
#include <zlib.h>

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <string>

#include "bench/BenchReport.h"
#include "messaging/RdaDES.h"
#include "messaging/RdaZLib.h"

#ifdef RDA_HAVE_OPENSSL
#include <openssl/evp.h>
#include <openssl/provider.h>
#endif

namespace {

constexpr size_t kDESBytes = size_t{64} << 20;
constexpr size_t kRowTextBytes = size_t{16} << 20;
constexpr char kKey[] = "benchkey";

void Check(bool ok, const char* what) {
  if (!ok) {
    std::fprintf(stderr, "benchmark self-check failed: %s\n", what);
    std::exit(1);
  }
}

std::string RandomBytes(size_t n) {
  std::string s(n, '\0');
  uint64_t x = 0x9E3779B97F4A7C15ull;
  for (char& c : s) {
    x ^= x << 13, x ^= x >> 7, x ^= x << 17;
    c = static_cast<char>(x);
  }
  return s;
}

// Tab-separated rows as a result packet carries them: ids, names, dates, amounts, codes.
std::string RowText(size_t n) {
  static const char* const kNames[] = {"Smith, John", "Miller & Sons", "O'Brien", "Nakamura",
                                       "van der Berg", "Dupont SA", "Kowalski", "Okafor"};
  static const char* const kStatus[] = {"Active", "Closed", "On hold", "Pending"};
  std::string s;
  s.reserve(n + 128);
  uint32_t x = 12345;
  auto next = [&x] { return x = x * 1103515245u + 12345u, x >> 8; };
  for (uint32_t id = 100000; s.size() < n; ++id) {
    char line[160];
    const uint32_t r = next();
    std::snprintf(line, sizeof line, "%u\t%s\t%04u-%02u-%02u\t%u.%02u\t%s\t%u\r\n", id,
                  kNames[r % 8], 2015 + r % 10, 1 + r % 12, 1 + next() % 28, next() % 100000,
                  next() % 100, kStatus[next() % 4], next() % 500);
    s += line;
  }
  s.resize(n);
  return s;
}

const std::string& DESPlain() {
  static const std::string s = RandomBytes(kDESBytes);
  return s;
}

const std::string& Rows() {
  static const std::string s = RowText(kRowTextBytes);
  return s;
}

// --- DES ---------------------------------------------------------------------------------

void BM_DESRda(benchmark::State& state, bool encrypt) {
  const rda::TRdaDESKey key(kKey);
  const std::string& plain = DESPlain();
  std::string cipher(plain.size(), '\0'), out(plain.size(), '\0');
  key.EncryptBlocks(plain.data(), cipher.data(), plain.size());
  key.DecryptBlocks(cipher.data(), out.data(), cipher.size());
  Check(out == plain, "Rda DES decrypt(encrypt(x)) == x");
  const std::string& in = encrypt ? plain : cipher;
  for (auto _ : state) {
    if (encrypt)
      key.EncryptBlocks(in.data(), out.data(), in.size());
    else
      key.DecryptBlocks(in.data(), out.data(), in.size());
    benchmark::DoNotOptimize(out.data());
  }
  Check(out == (encrypt ? cipher : plain), "Rda DES result after timing");
  state.SetBytesProcessed(static_cast<int64_t>(state.iterations() * in.size()));
}

#ifdef RDA_HAVE_OPENSSL
// DES-ECB through EVP: the legacy provider holds DES in OpenSSL 3.
std::string OpenSSLDES(const std::string& in, bool encrypt, EVP_CIPHER_CTX* ctx,
                       const EVP_CIPHER* cipher) {
  std::string out(in.size(), '\0');
  const auto* key = reinterpret_cast<const unsigned char*>(kKey);
  Check(EVP_CipherInit_ex2(ctx, cipher, key, nullptr, encrypt ? 1 : 0, nullptr) == 1,
        "EVP_CipherInit_ex2");
  EVP_CIPHER_CTX_set_padding(ctx, 0);
  int n = 0;
  Check(EVP_CipherUpdate(ctx, reinterpret_cast<unsigned char*>(out.data()), &n,
                         reinterpret_cast<const unsigned char*>(in.data()),
                         static_cast<int>(in.size())) == 1 &&
            static_cast<size_t>(n) == in.size(),
        "EVP_CipherUpdate");
  return out;
}

void BM_DESOpenSSL(benchmark::State& state, bool encrypt) {
  static OSSL_PROVIDER* legacy = OSSL_PROVIDER_load(nullptr, "legacy");
  static OSSL_PROVIDER* deflt = OSSL_PROVIDER_load(nullptr, "default");
  if (!legacy || !deflt) {
    state.SkipWithError("OpenSSL legacy provider not available");
    return;
  }
  EVP_CIPHER* cipher = EVP_CIPHER_fetch(nullptr, "DES-ECB", nullptr);
  EVP_CIPHER_CTX* ctx = EVP_CIPHER_CTX_new();
  Check(cipher && ctx, "EVP DES-ECB");
  const std::string& plain = DESPlain();
  const std::string ours = [&] {
    std::string s(plain.size(), '\0');
    rda::TRdaDESKey(kKey).EncryptBlocks(plain.data(), s.data(), plain.size());
    return s;
  }();
  Check(OpenSSLDES(plain, true, ctx, cipher) == ours, "OpenSSL ciphertext == ours");
  const std::string& in = encrypt ? plain : ours;
  std::string out;
  for (auto _ : state) {
    out = OpenSSLDES(in, encrypt, ctx, cipher);
    benchmark::DoNotOptimize(out.data());
  }
  Check(out == (encrypt ? ours : plain), "OpenSSL result after timing");
  state.SetBytesProcessed(static_cast<int64_t>(state.iterations() * in.size()));
  EVP_CIPHER_CTX_free(ctx);
  EVP_CIPHER_free(cipher);
}
#endif

// --- zlib --------------------------------------------------------------------------------

std::string DirectDeflate(const std::string& in) {
  z_stream zs{};
  Check(deflateInit2(&zs, 1, Z_DEFLATED, 15, 8, Z_DEFAULT_STRATEGY) == Z_OK, "deflateInit2");
  std::string out(deflateBound(&zs, in.size()), '\0');
  zs.next_in = reinterpret_cast<Bytef*>(const_cast<char*>(in.data()));
  zs.avail_in = static_cast<uInt>(in.size());
  zs.next_out = reinterpret_cast<Bytef*>(out.data());
  zs.avail_out = static_cast<uInt>(out.size());
  Check(deflate(&zs, Z_FINISH) == Z_STREAM_END, "deflate");
  out.resize(zs.total_out);
  deflateEnd(&zs);
  return out;
}

// zlib at its best: the caller already knows the inflated size.
std::string DirectInflate(const std::string& in, size_t size) {
  std::string out(size, '\0');
  uLongf n = size;
  Check(uncompress(reinterpret_cast<Bytef*>(out.data()), &n,
                   reinterpret_cast<const Bytef*>(in.data()), in.size()) == Z_OK &&
            n == size,
        "uncompress");
  return out;
}

void BM_ZLibPack(benchmark::State& state, bool ours) {
  const std::string& rows = Rows();
  const std::string expected = DirectDeflate(rows);
  std::string out;
  for (auto _ : state) {
    out = ours ? rda::ZLibCompress(rows) : DirectDeflate(rows);
    benchmark::DoNotOptimize(out.data());
  }
  Check(out == expected, "deflate output equals zlib's");
  state.SetBytesProcessed(static_cast<int64_t>(state.iterations() * rows.size()));
  state.counters["compression"] = static_cast<double>(rows.size()) / static_cast<double>(out.size());
}

void BM_ZLibUnpack(benchmark::State& state, bool ours) {
  const std::string& rows = Rows();
  const std::string packed = DirectDeflate(rows);
  std::string out;
  for (auto _ : state) {
    out = ours ? rda::ZLibDecompress(packed) : DirectInflate(packed, rows.size());
    benchmark::DoNotOptimize(out.data());
  }
  Check(out == rows, "inflate gives the rows back");
  state.SetBytesProcessed(static_cast<int64_t>(state.iterations() * rows.size()));
}

}  // namespace

int main(int argc, char** argv) {
  benchmark::Initialize(&argc, argv);
  auto add = [](const char* name, auto fn, double minTime) {
    benchmark::RegisterBenchmark(name, fn)->Unit(benchmark::kMillisecond)->MinTime(minTime);
  };
  add("DES_Encrypt/Rda", [](benchmark::State& s) { BM_DESRda(s, true); }, 2.0);
  add("DES_Decrypt/Rda", [](benchmark::State& s) { BM_DESRda(s, false); }, 2.0);
#ifdef RDA_HAVE_OPENSSL
  add("DES_Encrypt/OpenSSL", [](benchmark::State& s) { BM_DESOpenSSL(s, true); }, 2.0);
  add("DES_Decrypt/OpenSSL", [](benchmark::State& s) { BM_DESOpenSSL(s, false); }, 2.0);
#endif
  add("ZLib_Pack/Rda", [](benchmark::State& s) { BM_ZLibPack(s, true); }, 1.0);
  add("ZLib_Pack/zlib", [](benchmark::State& s) { BM_ZLibPack(s, false); }, 1.0);
  add("ZLib_Unpack/Rda", [](benchmark::State& s) { BM_ZLibUnpack(s, true); }, 1.0);
  add("ZLib_Unpack/zlib", [](benchmark::State& s) { BM_ZLibUnpack(s, false); }, 1.0);

  // CPU time: steadier than wall time on a shared machine, and the work is single-threaded.
  rda::bench::Reporter reporter(rda::bench::Clock::kCpu, [](const rda::bench::Results& r) {
    std::printf("\n");
    for (const char* op : {"DES_Encrypt", "DES_Decrypt"}) {
      if (const double ratio = r.Ratio(std::string(op) + "/OpenSSL", std::string(op) + "/Rda"); ratio > 0)
        std::printf("%s: Rda speed / OpenSSL speed = %.2f\n", op, ratio);
    }
    for (const char* op : {"ZLib_Pack", "ZLib_Unpack"}) {
      if (const double ratio = r.Ratio(std::string(op) + "/Rda", std::string(op) + "/zlib"); ratio > 0)
        std::printf("%s: Rda wrapper overhead over direct zlib = %+.1f%%\n", op, (ratio - 1.0) * 100.0);
    }
  });
  benchmark::RunSpecifiedBenchmarks(&reporter);
  benchmark::Shutdown();
  return 0;
}
