#include "server/crypto_utils.h"

#include <mbedtls/aes.h>
#include <mbedtls/bignum.h>
#include <mbedtls/ctr_drbg.h>
#include <mbedtls/entropy.h>
#include <mbedtls/md.h>
#include <mbedtls/platform_util.h>
#include <mbedtls/rsa.h>
#include <mbedtls/sha256.h>

#include <cctype>
#include <cstring>
#include <sstream>
#include <vector>

#include "server/utils.h"

namespace {

constexpr size_t kBlock = 16;
constexpr size_t kMacLen = 32;
constexpr int kKeyRounds = 8192;
constexpr size_t kMaxPassBytes = 512;
constexpr size_t kMaxNumberChars = 2484;
constexpr unsigned kKeyBits = 2048;
constexpr int kExponent = 65537;

// A seeded CTR-DRBG for one call; nothing is shared between threads.
class Drbg {
 public:
  explicit Drbg(const char* personalisation) {
    mbedtls_entropy_init(&entropy_);
    mbedtls_ctr_drbg_init(&ctr_);
    status_ = mbedtls_ctr_drbg_seed(&ctr_, mbedtls_entropy_func, &entropy_,
                                    reinterpret_cast<const unsigned char*>(personalisation),
                                    std::strlen(personalisation));
  }
  ~Drbg() {
    mbedtls_ctr_drbg_free(&ctr_);
    mbedtls_entropy_free(&entropy_);
  }
  Drbg(const Drbg&) = delete;
  Drbg& operator=(const Drbg&) = delete;
  int status() const { return status_; }
  mbedtls_ctr_drbg_context* ctx() { return &ctr_; }

 private:
  mbedtls_entropy_context entropy_;
  mbedtls_ctr_drbg_context ctr_;
  int status_;
};

class Mpi {
 public:
  Mpi() { mbedtls_mpi_init(&v); }
  ~Mpi() { mbedtls_mpi_free(&v); }
  Mpi(const Mpi&) = delete;
  Mpi& operator=(const Mpi&) = delete;
  mbedtls_mpi v;
};

class Rsa {
 public:
  Rsa() { mbedtls_rsa_init(&ctx, MBEDTLS_RSA_PKCS_V15, 0); }
  ~Rsa() { mbedtls_rsa_free(&ctx); }
  Rsa(const Rsa&) = delete;
  Rsa& operator=(const Rsa&) = delete;
  mbedtls_rsa_context ctx;
};

const unsigned char* bytes(const std::string& s) {
  return reinterpret_cast<const unsigned char*>(s.data());
}

// The digest starts as the IV and 16 zeros and is re-hashed with the pass text;
// the result keys both AES-256 and the HMAC.
void DeriveKey(const unsigned char* iv, const std::string& pass, unsigned char key[32]) {
  unsigned char buf[32 + kMaxPassBytes];
  size_t passLen = std::min(pass.size(), kMaxPassBytes);
  std::memcpy(key, iv, kBlock);
  std::memset(key + kBlock, 0, kBlock);
  std::memcpy(buf + 32, pass.data(), passLen);
  for (int i = 0; i < kKeyRounds; ++i) {
    std::memcpy(buf, key, 32);
    mbedtls_sha256_ret(buf, 32 + passLen, key, 0);
  }
  mbedtls_platform_zeroize(buf, sizeof buf);
}

void Hmac(const unsigned char key[32], const unsigned char* data, size_t len,
          unsigned char out[kMacLen]) {
  mbedtls_md_hmac(mbedtls_md_info_from_type(MBEDTLS_MD_SHA256), key, 32, data, len, out);
}

// Time independent of where the first difference lies.
bool EqualConstTime(const unsigned char* a, const unsigned char* b, size_t n) {
  volatile unsigned char diff = 0;
  for (size_t i = 0; i < n; ++i) diff = diff | (a[i] ^ b[i]);
  return diff == 0;
}

// Upper-case hexadecimal only: the library would also take a sign.
bool ReadHexNumbers(const std::string& text, size_t count, std::vector<Mpi>& out) {
  std::istringstream in(text);
  std::string token;
  for (size_t i = 0; i < count; ++i) {
    if (!(in >> token) || token.size() > kMaxNumberChars) return false;
    for (char c : token)
      if (!std::isxdigit(static_cast<unsigned char>(c))) return false;
    if (mbedtls_mpi_read_string(&out[i].v, 16, token.c_str()) != 0) return false;
  }
  return true;
}

bool AppendHex(const mbedtls_mpi& x, std::string& out) {
  char buf[kMaxNumberChars + 2];
  size_t n = 0;
  if (mbedtls_mpi_write_string(&x, 16, buf, sizeof buf, &n) != 0) return false;
  out += buf;
  out += "\n";
  return true;
}

}  // namespace

std::string AesEncrypt(const std::string& plaintext, const std::string& pass) {
  unsigned char iv[kBlock];
  Drbg drbg("AesEncrypt");
  if (drbg.status() != 0 || mbedtls_ctr_drbg_random(drbg.ctx(), iv, kBlock) != 0) {
    // Only when the system has no entropy at all: the hash still gives a valid text.
    MV_LOG(1, "Error: ctr_drbg_init returned %d\n", drbg.status());
    unsigned char hash[32];
    mbedtls_sha256_ret(bytes(plaintext), plaintext.size(), hash, 0);
    std::memcpy(iv, hash, kBlock);
  }
  iv[kBlock - 1] = static_cast<unsigned char>((iv[kBlock - 1] & 0xF0) | (plaintext.size() % kBlock));

  size_t blocks = (plaintext.size() + kBlock - 1) / kBlock;
  std::string out(kBlock + blocks * kBlock + kMacLen, '\0');
  auto* o = reinterpret_cast<unsigned char*>(out.data());
  std::memcpy(o, iv, kBlock);
  std::memcpy(o + kBlock, plaintext.data(), plaintext.size());  // tail stays zero

  unsigned char key[32];
  DeriveKey(iv, pass, key);
  mbedtls_aes_context aes;
  mbedtls_aes_init(&aes);
  mbedtls_aes_setkey_enc(&aes, key, 256);
  unsigned char chain[kBlock];
  std::memcpy(chain, iv, kBlock);
  mbedtls_aes_crypt_cbc(&aes, MBEDTLS_AES_ENCRYPT, blocks * kBlock, chain, o + kBlock, o + kBlock);
  mbedtls_aes_free(&aes);
  Hmac(key, o + kBlock, blocks * kBlock, o + kBlock + blocks * kBlock);
  mbedtls_platform_zeroize(key, sizeof key);
  return out;
}

std::string AesDecrypt(const std::string& data, const std::string& pass) {
  if (data.size() < kBlock + kMacLen || data.size() % kBlock != 0) {
    MV_LOG(1, "Invalid data size: %d!\n", static_cast<int>(data.size()));
    return {};
  }
  const unsigned char* d = bytes(data);
  size_t ctLen = data.size() - kBlock - kMacLen;
  unsigned char key[32], mac[kMacLen];
  DeriveKey(d, pass, key);
  Hmac(key, d + kBlock, ctLen, mac);
  // Checked before anything is decrypted, in constant time.
  if (!EqualConstTime(mac, d + kBlock + ctLen, kMacLen)) {
    mbedtls_platform_zeroize(key, sizeof key);
    MV_LOG(1, "HMAC verification error (the data/key is corrupted)!\n");
    return {};
  }
  std::string out(ctLen, '\0');
  mbedtls_aes_context aes;
  mbedtls_aes_init(&aes);
  mbedtls_aes_setkey_dec(&aes, key, 256);
  unsigned char chain[kBlock];
  std::memcpy(chain, d, kBlock);
  mbedtls_aes_crypt_cbc(&aes, MBEDTLS_AES_DECRYPT, ctLen, chain, d + kBlock,
                        reinterpret_cast<unsigned char*>(out.data()));
  mbedtls_aes_free(&aes);
  mbedtls_platform_zeroize(key, sizeof key);
  size_t last = d[kBlock - 1] & 0x0F;
  if (last != 0 && ctLen > 0) out.resize(ctLen - kBlock + last);
  return out;
}

bool RsaGenkey(std::string* publicKey, std::string* privateKey) {
  MV_LOG(2, "Seeding the random number generator...\n");
  Drbg drbg("RsaGenKey");
  if (drbg.status() != 0) {
    MV_LOG(1, "Error: ctr_drbg_init returned %d\n", drbg.status());
    return false;
  }
  MV_LOG(2, "Generating the RSA key [ %d-bit ]...\n", static_cast<int>(kKeyBits));
  Rsa rsa;
  int ret = mbedtls_rsa_gen_key(&rsa.ctx, mbedtls_ctr_drbg_random, drbg.ctx(), kKeyBits, kExponent);
  if (ret != 0) {
    MV_LOG(1, "Error: rsa_gen_key returned %d\n", ret);
    return false;
  }
  Mpi n, e, d, p, q, dp, dq, qp;
  if (mbedtls_rsa_export(&rsa.ctx, &n.v, &p.v, &q.v, &d.v, &e.v) != 0 ||
      mbedtls_rsa_export_crt(&rsa.ctx, &dp.v, &dq.v, &qp.v) != 0)
    return false;
  std::string pub, priv;
  bool ok = AppendHex(n.v, pub) && AppendHex(e.v, pub);
  for (Mpi* x : {&n, &e, &d, &p, &q, &dp, &dq, &qp}) ok = ok && AppendHex(x->v, priv);
  if (!ok) return false;
  if (publicKey) *publicKey = pub;
  if (privateKey) *privateKey = priv;
  mbedtls_platform_zeroize(priv.data(), priv.size());
  return true;
}

std::string RsaSign(const std::string& privateKey, const std::string& data) {
  MV_LOG(2, "Parsing private key\n");
  std::vector<Mpi> k(8);  // N, E, D, P, Q, DP, DQ, QP
  Rsa rsa;
  if (!ReadHexNumbers(privateKey, 8, k) ||
      mbedtls_rsa_import(&rsa.ctx, &k[0].v, &k[3].v, &k[4].v, &k[2].v, &k[1].v) != 0 ||
      mbedtls_rsa_complete(&rsa.ctx) != 0 ||
      mbedtls_mpi_copy(&rsa.ctx.DP, &k[5].v) != 0 || mbedtls_mpi_copy(&rsa.ctx.DQ, &k[6].v) != 0 ||
      mbedtls_mpi_copy(&rsa.ctx.QP, &k[7].v) != 0) {
    MV_LOG(1, "Error: invalid private key!\n");
    return {};
  }
  MV_LOG(2, "Checking the private key\n");
  int ret = mbedtls_rsa_check_privkey(&rsa.ctx);
  if (ret != 0) {
    MV_LOG(1, "Error: rsa_check_privkey returned -0x%0x\n", static_cast<unsigned>(-ret));
    return {};
  }
  MV_LOG(2, "Generating RSA/SHA-256 signature\n");
  unsigned char hash[32];
  mbedtls_sha256_ret(bytes(data), data.size(), hash, 0);
  std::vector<unsigned char> sig(mbedtls_rsa_get_len(&rsa.ctx));
  Drbg drbg("RsaSign");  // blinding against timing attacks on the private key
  ret = drbg.status();
  if (ret == 0)
    ret = mbedtls_rsa_pkcs1_sign(&rsa.ctx, mbedtls_ctr_drbg_random, drbg.ctx(), MBEDTLS_RSA_PRIVATE,
                                 MBEDTLS_MD_SHA256, 32, hash, sig.data());
  if (ret != 0) {
    MV_LOG(1, "Error: rsa_pkcs1_sign returned -0x%0x\n", static_cast<unsigned>(-ret));
    return {};
  }
  std::string out;
  char hex[3];
  for (unsigned char b : sig) {
    std::snprintf(hex, sizeof hex, "%02X", b);
    out += hex;
  }
  MV_LOG(2, "RSA signature generated (%d bytes)\n", static_cast<int>(out.size()));
  return out;
}

bool RsaVerify(const std::string& publicKey, const std::string& data, const std::string& signature) {
  MV_LOG(2, "Parsing public key\n");
  std::vector<Mpi> k(2);  // N, E
  Rsa rsa;
  if (!ReadHexNumbers(publicKey, 2, k) ||
      mbedtls_rsa_import(&rsa.ctx, &k[0].v, nullptr, nullptr, nullptr, &k[1].v) != 0 ||
      mbedtls_rsa_complete(&rsa.ctx) != 0 || mbedtls_rsa_check_pubkey(&rsa.ctx) != 0) {
    MV_LOG(1, "Error: invalid public key!\n");
    return false;
  }
  size_t expected = (mbedtls_mpi_bitlen(&k[0].v) + 7) / 8;
  std::vector<unsigned char> sig;
  bool ok = true;
  for (size_t i = 0; ok && i < signature.size();) {
    char c = signature[i];
    if (std::isspace(static_cast<unsigned char>(c)) || c == '-' || c == ':') {
      ++i;
    } else if (i + 1 < signature.size() && std::isxdigit(static_cast<unsigned char>(c)) &&
               std::isxdigit(static_cast<unsigned char>(signature[i + 1])) && sig.size() < expected) {
      sig.push_back(static_cast<unsigned char>(std::stoi(signature.substr(i, 2), nullptr, 16)));
      i += 2;
    } else {
      ok = false;
    }
  }
  if (!ok || sig.size() != expected) {
    MV_LOG(1, "Error: invalid signature %s\n", signature.c_str());
    return false;
  }
  MV_LOG(2, "Verifying RSA/SHA-256 signature\n");
  unsigned char hash[32];
  mbedtls_sha256_ret(bytes(data), data.size(), hash, 0);
  int ret = mbedtls_rsa_pkcs1_verify(&rsa.ctx, nullptr, nullptr, MBEDTLS_RSA_PUBLIC,
                                     MBEDTLS_MD_SHA256, 32, hash, sig.data());
  if (ret != 0) {
    MV_LOG(1, "Error: rsa_pkcs1_verify returned -0x%0x\n", static_cast<unsigned>(-ret));
    MV_LOG(1, "RSA-Signature: INCORRECT\n");
    return false;
  }
  MV_LOG(2, "RSA-Signature: CORRECT\n");
  return true;
}
