#include "server/crypto_utils.h"

#include <openssl/bn.h>
#include <openssl/core_names.h>
#include <openssl/crypto.h>
#include <openssl/err.h>
#include <openssl/evp.h>
#include <openssl/hmac.h>
#include <openssl/param_build.h>
#include <openssl/rand.h>
#include <openssl/rsa.h>
#include <openssl/sha.h>

#include <cctype>
#include <cstring>
#include <memory>
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

struct BnFree {
  void operator()(BIGNUM* b) const { BN_clear_free(b); }
};
using Bn = std::unique_ptr<BIGNUM, BnFree>;
struct PkeyFree {
  void operator()(EVP_PKEY* k) const { EVP_PKEY_free(k); }
};
using Pkey = std::unique_ptr<EVP_PKEY, PkeyFree>;
struct PkeyCtxFree {
  void operator()(EVP_PKEY_CTX* c) const { EVP_PKEY_CTX_free(c); }
};
using PkeyCtx = std::unique_ptr<EVP_PKEY_CTX, PkeyCtxFree>;
struct BnCtxFree {
  void operator()(BN_CTX* c) const { BN_CTX_free(c); }
};

const unsigned char* bytes(const std::string& s) { return reinterpret_cast<const unsigned char*>(s.data()); }

// The digest starts as the IV and 16 zeros and is re-hashed with the pass text;
// the result keys both AES-256 and the HMAC.
void DeriveKey(const unsigned char* iv, const std::string& pass, unsigned char key[32]) {
  unsigned char buf[32 + kMaxPassBytes];
  const size_t passLen = std::min(pass.size(), kMaxPassBytes);
  std::memcpy(key, iv, kBlock);
  std::memset(key + kBlock, 0, kBlock);
  std::memcpy(buf + 32, pass.data(), passLen);
  for (int i = 0; i < kKeyRounds; ++i) {
    std::memcpy(buf, key, 32);
    SHA256(buf, 32 + passLen, key);
  }
  OPENSSL_cleanse(buf, sizeof buf);
}

bool Hmac(const unsigned char key[32], const unsigned char* data, size_t len, unsigned char out[kMacLen]) {
  unsigned int n = 0;
  return HMAC(EVP_sha256(), key, 32, data, len, out, &n) != nullptr && n == kMacLen;
}

// AES-256-CBC over whole blocks, no padding (the format pads with zeros itself).
bool Cbc(bool encrypt, const unsigned char key[32], const unsigned char* iv, const unsigned char* in, size_t len,
         unsigned char* out) {
  EVP_CIPHER_CTX* c = EVP_CIPHER_CTX_new();
  int n = 0, tail = 0;
  const bool ok = c != nullptr && EVP_CipherInit_ex(c, EVP_aes_256_cbc(), nullptr, key, iv, encrypt ? 1 : 0) == 1 &&
                  EVP_CIPHER_CTX_set_padding(c, 0) == 1 &&
                  EVP_CipherUpdate(c, out, &n, in, static_cast<int>(len)) == 1 &&
                  EVP_CipherFinal_ex(c, out + n, &tail) == 1 && static_cast<size_t>(n + tail) == len;
  EVP_CIPHER_CTX_free(c);
  return ok;
}

// Time independent of where the first difference lies.
bool EqualConstTime(const unsigned char* a, const unsigned char* b, size_t n) {
  return CRYPTO_memcmp(a, b, n) == 0;
}

// Hexadecimal digits only (the library would also take a sign), at most
// kMaxNumberChars each, white-space separated.
bool ReadHexNumbers(const std::string& text, size_t count, std::vector<Bn>& out) {
  std::istringstream in(text);
  std::string token;
  out.clear();
  for (size_t i = 0; i < count; ++i) {
    if (!(in >> token) || token.size() > kMaxNumberChars) return false;
    for (char c : token)
      if (!std::isxdigit(static_cast<unsigned char>(c))) return false;
    BIGNUM* b = nullptr;
    if (BN_hex2bn(&b, token.c_str()) != static_cast<int>(token.size())) {
      BN_clear_free(b);
      return false;
    }
    out.emplace_back(b);
  }
  return true;
}

// Upper-case hexadecimal, whole bytes, as the key texts have always been written.
bool AppendHex(const BIGNUM* x, std::string& out) {
  char* hex = BN_bn2hex(x);
  if (hex == nullptr) return false;
  out += hex;
  out += "\n";
  OPENSSL_clear_free(hex, std::strlen(hex));
  return true;
}

// The public half is usable: N at least 128 bits, E odd, 1 < E < N.
bool PublicOk(const BIGNUM* n, const BIGNUM* e) {
  return BN_num_bits(n) >= 128 && BN_is_odd(n) && BN_is_odd(e) && BN_num_bits(e) >= 2 && BN_cmp(e, n) < 0;
}

// The private numbers agree with each other: P*Q = N, D inverts E modulo P-1
// and Q-1, and the CRT values follow from D, P and Q.
bool PrivateOk(const std::vector<Bn>& k) {
  const BIGNUM *n = k[0].get(), *e = k[1].get(), *d = k[2].get(), *p = k[3].get(), *q = k[4].get(),
               *dp = k[5].get(), *dq = k[6].get(), *qp = k[7].get();
  if (!PublicOk(n, e) || BN_is_zero(d) || BN_cmp(p, BN_value_one()) <= 0 || BN_cmp(q, BN_value_one()) <= 0)
    return false;
  std::unique_ptr<BN_CTX, BnCtxFree> ctx(BN_CTX_new());
  Bn t(BN_new()), p1(BN_new()), q1(BN_new()), r(BN_new());
  if (!ctx || !t || !p1 || !q1 || !r) return false;
  if (!BN_mul(t.get(), p, q, ctx.get()) || BN_cmp(t.get(), n) != 0) return false;
  if (!BN_sub(p1.get(), p, BN_value_one()) || !BN_sub(q1.get(), q, BN_value_one())) return false;
  for (const BIGNUM* m : {p1.get(), q1.get()}) {
    if (!BN_mod_mul(r.get(), d, e, m, ctx.get()) || !BN_is_one(r.get())) return false;
  }
  if (!BN_mod(r.get(), d, p1.get(), ctx.get()) || BN_cmp(r.get(), dp) != 0) return false;
  if (!BN_mod(r.get(), d, q1.get(), ctx.get()) || BN_cmp(r.get(), dq) != 0) return false;
  if (BN_cmp(qp, p) >= 0 || !BN_mod_mul(r.get(), qp, q, p, ctx.get()) || !BN_is_one(r.get())) return false;
  return true;
}

// An RSA key of the library from our numbers: N, E and, for a private key,
// D, P, Q, DP, DQ, QP.
Pkey MakeKey(const std::vector<Bn>& k) {
  static const char* const kNames[] = {OSSL_PKEY_PARAM_RSA_N,         OSSL_PKEY_PARAM_RSA_E,
                                       OSSL_PKEY_PARAM_RSA_D,         OSSL_PKEY_PARAM_RSA_FACTOR1,
                                       OSSL_PKEY_PARAM_RSA_FACTOR2,   OSSL_PKEY_PARAM_RSA_EXPONENT1,
                                       OSSL_PKEY_PARAM_RSA_EXPONENT2, OSSL_PKEY_PARAM_RSA_COEFFICIENT1};
  OSSL_PARAM_BLD* bld = OSSL_PARAM_BLD_new();
  bool ok = bld != nullptr;
  for (size_t i = 0; ok && i < k.size(); ++i) ok = OSSL_PARAM_BLD_push_BN(bld, kNames[i], k[i].get()) == 1;
  OSSL_PARAM* params = ok ? OSSL_PARAM_BLD_to_param(bld) : nullptr;
  EVP_PKEY* key = nullptr;
  PkeyCtx ctx(EVP_PKEY_CTX_new_from_name(nullptr, "RSA", nullptr));
  if (params != nullptr && ctx && EVP_PKEY_fromdata_init(ctx.get()) == 1)
    EVP_PKEY_fromdata(ctx.get(), &key, k.size() > 2 ? EVP_PKEY_KEYPAIR : EVP_PKEY_PUBLIC_KEY, params);
  OSSL_PARAM_free(params);
  OSSL_PARAM_BLD_free(bld);
  return Pkey(key);
}

unsigned long LastError() {
  const unsigned long e = ERR_peek_last_error();
  ERR_clear_error();
  return e;
}

}  // namespace

std::string AesEncrypt(const std::string& plaintext, const std::string& pass) {
  unsigned char iv[kBlock];
  if (RAND_bytes(iv, kBlock) != 1) {
    // Only when the system has no entropy at all: the hash still gives a valid text.
    MV_LOG(1, "Error: ctr_drbg_init returned %d\n", static_cast<int>(LastError()));
    unsigned char hash[32];
    SHA256(bytes(plaintext), plaintext.size(), hash);
    std::memcpy(iv, hash, kBlock);
  }
  iv[kBlock - 1] = static_cast<unsigned char>((iv[kBlock - 1] & 0xF0) | (plaintext.size() % kBlock));

  const size_t blocks = (plaintext.size() + kBlock - 1) / kBlock;
  std::string out(kBlock + blocks * kBlock + kMacLen, '\0');
  auto* o = reinterpret_cast<unsigned char*>(out.data());
  std::memcpy(o, iv, kBlock);
  std::memcpy(o + kBlock, plaintext.data(), plaintext.size());  // tail stays zero

  unsigned char key[32];
  DeriveKey(iv, pass, key);
  const bool ok = Cbc(true, key, iv, o + kBlock, blocks * kBlock, o + kBlock) &&
                  Hmac(key, o + kBlock, blocks * kBlock, o + kBlock + blocks * kBlock);
  OPENSSL_cleanse(key, sizeof key);
  if (!ok) {
    // The library cannot fail here short of running out of memory; never hand back plaintext.
    MV_LOG(1, "Error: AES encryption failed: %lu\n", LastError());
    OPENSSL_cleanse(out.data(), out.size());
    return std::string(out.size(), '\0');
  }
  return out;
}

std::string AesDecrypt(const std::string& data, const std::string& pass) {
  if (data.size() < kBlock + kMacLen || data.size() % kBlock != 0) {
    MV_LOG(1, "Invalid data size: %d!\n", static_cast<int>(data.size()));
    return {};
  }
  const unsigned char* d = bytes(data);
  const size_t ctLen = data.size() - kBlock - kMacLen;
  unsigned char key[32], mac[kMacLen];
  DeriveKey(d, pass, key);
  // Checked before anything is decrypted, in constant time.
  if (!Hmac(key, d + kBlock, ctLen, mac) || !EqualConstTime(mac, d + kBlock + ctLen, kMacLen)) {
    OPENSSL_cleanse(key, sizeof key);
    MV_LOG(1, "HMAC verification error (the data/key is corrupted)!\n");
    return {};
  }
  std::string out(ctLen, '\0');
  const bool ok = Cbc(false, key, d, d + kBlock, ctLen, reinterpret_cast<unsigned char*>(out.data()));
  OPENSSL_cleanse(key, sizeof key);
  if (!ok) return {};
  const size_t last = d[kBlock - 1] & 0x0F;
  if (last != 0 && ctLen > 0) out.resize(ctLen - kBlock + last);
  return out;
}

bool RsaGenkey(std::string* publicKey, std::string* privateKey) {
  MV_LOG(2, "Seeding the random number generator...\n");
  if (RAND_status() != 1) {
    MV_LOG(1, "Error: ctr_drbg_init returned %d\n", static_cast<int>(LastError()));
    return false;
  }
  MV_LOG(2, "Generating the RSA key [ %d-bit ]...\n", static_cast<int>(kKeyBits));
  EVP_PKEY* raw = nullptr;
  PkeyCtx ctx(EVP_PKEY_CTX_new_from_name(nullptr, "RSA", nullptr));
  if (!ctx || EVP_PKEY_keygen_init(ctx.get()) != 1 || EVP_PKEY_CTX_set_rsa_keygen_bits(ctx.get(), kKeyBits) != 1 ||
      EVP_PKEY_keygen(ctx.get(), &raw) != 1) {  // the exponent defaults to 65537
    MV_LOG(1, "Error: rsa_gen_key returned %d\n", static_cast<int>(LastError()));
    return false;
  }
  Pkey key(raw);
  static const char* const kOrder[] = {OSSL_PKEY_PARAM_RSA_N,         OSSL_PKEY_PARAM_RSA_E,
                                       OSSL_PKEY_PARAM_RSA_D,         OSSL_PKEY_PARAM_RSA_FACTOR1,
                                       OSSL_PKEY_PARAM_RSA_FACTOR2,   OSSL_PKEY_PARAM_RSA_EXPONENT1,
                                       OSSL_PKEY_PARAM_RSA_EXPONENT2, OSSL_PKEY_PARAM_RSA_COEFFICIENT1};
  std::string pub, priv;
  bool ok = true;
  for (size_t i = 0; ok && i < 8; ++i) {
    BIGNUM* b = nullptr;
    ok = EVP_PKEY_get_bn_param(key.get(), kOrder[i], &b) == 1 && AppendHex(b, priv);
    if (ok && i < 2) ok = AppendHex(b, pub);
    BN_clear_free(b);
  }
  if (!ok) {
    OPENSSL_cleanse(priv.data(), priv.size());
    return false;
  }
  if (publicKey) *publicKey = pub;
  if (privateKey) *privateKey = priv;
  OPENSSL_cleanse(priv.data(), priv.size());
  return true;
}

std::string RsaSign(const std::string& privateKey, const std::string& data) {
  MV_LOG(2, "Parsing private key\n");
  std::vector<Bn> k;  // N, E, D, P, Q, DP, DQ, QP
  if (!ReadHexNumbers(privateKey, 8, k)) {
    MV_LOG(1, "Error: invalid private key!\n");
    return {};
  }
  MV_LOG(2, "Checking the private key\n");
  Pkey key;
  if (!PrivateOk(k) || !(key = MakeKey(k))) {
    MV_LOG(1, "Error: rsa_check_privkey returned -0x%0x\n", static_cast<unsigned>(LastError()));
    return {};
  }
  MV_LOG(2, "Generating RSA/SHA-256 signature\n");
  unsigned char hash[32];
  SHA256(bytes(data), data.size(), hash);
  std::vector<unsigned char> sig(static_cast<size_t>(EVP_PKEY_get_size(key.get())));
  size_t sigLen = sig.size();
  // The library blinds the private operation against timing attacks.
  PkeyCtx ctx(EVP_PKEY_CTX_new_from_pkey(nullptr, key.get(), nullptr));
  if (!ctx || EVP_PKEY_sign_init(ctx.get()) != 1 || EVP_PKEY_CTX_set_rsa_padding(ctx.get(), RSA_PKCS1_PADDING) != 1 ||
      EVP_PKEY_CTX_set_signature_md(ctx.get(), EVP_sha256()) != 1 ||
      EVP_PKEY_sign(ctx.get(), sig.data(), &sigLen, hash, sizeof hash) != 1) {
    MV_LOG(1, "Error: rsa_pkcs1_sign returned -0x%0x\n", static_cast<unsigned>(LastError()));
    return {};
  }
  sig.resize(sigLen);
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
  std::vector<Bn> k;  // N, E
  Pkey key;
  if (!ReadHexNumbers(publicKey, 2, k) || !PublicOk(k[0].get(), k[1].get()) || !(key = MakeKey(k))) {
    ERR_clear_error();
    MV_LOG(1, "Error: invalid public key!\n");
    return false;
  }
  const size_t expected = static_cast<size_t>((BN_num_bits(k[0].get()) + 7) / 8);
  std::vector<unsigned char> sig;
  bool ok = true;
  for (size_t i = 0; ok && i < signature.size();) {
    const char c = signature[i];
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
  SHA256(bytes(data), data.size(), hash);
  PkeyCtx ctx(EVP_PKEY_CTX_new_from_pkey(nullptr, key.get(), nullptr));
  if (!ctx || EVP_PKEY_verify_init(ctx.get()) != 1 ||
      EVP_PKEY_CTX_set_rsa_padding(ctx.get(), RSA_PKCS1_PADDING) != 1 ||
      EVP_PKEY_CTX_set_signature_md(ctx.get(), EVP_sha256()) != 1 ||
      EVP_PKEY_verify(ctx.get(), sig.data(), sig.size(), hash, sizeof hash) != 1) {
    MV_LOG(1, "Error: rsa_pkcs1_verify returned -0x%0x\n", static_cast<unsigned>(LastError()));
    MV_LOG(1, "RSA-Signature: INCORRECT\n");
    return false;
  }
  MV_LOG(2, "RSA-Signature: CORRECT\n");
  return true;
}
