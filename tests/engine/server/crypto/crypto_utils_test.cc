#include "server/crypto_utils.h"

#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <random>
#include <sstream>

#include "engine/server/log_capture.h"

namespace {

std::string Sh(const std::string& cmd) {
  std::string out;
  FILE* p = popen(cmd.c_str(), "r");
  char buf[4096];
  for (size_t n; p && (n = fread(buf, 1, sizeof buf, p)) > 0;) out.append(buf, n);
  if (p) pclose(p);
  return out;
}
std::string Hex(const std::string& s) {
  std::string h;
  char b[3];
  for (unsigned char c : s) h += (std::snprintf(b, 3, "%02X", c), b);
  return h;
}
std::string Unhex(const std::string& h) {
  std::string s;
  for (size_t i = 0; i + 1 < h.size(); i += 2) s += static_cast<char>(std::stoi(h.substr(i, 2), nullptr, 16));
  return s;
}

class Crypto : public ::testing::Test {
 protected:
  void TearDown() override { std::filesystem::remove_all(dir_); }
  std::string Put(const std::string& name, const std::string& data) {
    std::ofstream(dir_ + name, std::ios::binary) << data;
    return dir_ + name;
  }
  // The AES/HMAC key of an IV and a pass text, derived independently in Python.
  std::string Key(const std::string& iv, const std::string& pass) {
    return Sh("python3 -c \"import hashlib\nd=bytes.fromhex('" + Hex(iv) + "')+bytes(16)\np=open('" + Put("pass", pass) +
              "','rb').read()[:512]\nfor _ in range(8192): d=hashlib.sha256(d+p).digest()\nprint(d.hex(),end='')\"");
  }
  // An openssl key as our key text: N E D P Q DP DQ QP, as asn1parse prints them.
  std::string GenKey(int bits) {
    std::istringstream in(Sh("openssl genrsa -traditional -out " + dir_ + "k.pem " + std::to_string(bits) +
                             " 2>/dev/null && openssl asn1parse -in " + dir_ + "k.pem"));
    std::string line, text;
    for (int i = 0; std::getline(in, line);)
      if (line.find("INTEGER") != std::string::npos && i++ > 0) text += line.substr(line.rfind(':') + 1) + "\n";
    return text;
  }
  std::string dir_ = std::string(mkdtemp(std::string("/tmp/mv_crypto_XXXXXX").data())) + "/";
  LogCapture log_;
};

TEST_F(Crypto, RoundTripsWithFreshIvsAndOpensslReadsOursAndWritesTheOldForm) {
  for (size_t n : {0, 1, 15, 16, 17, 70}) {
    std::string plain(n, 0), pass(n * 9, 'k');  // passes beyond 512 bytes included
    for (size_t i = 0; i < n; ++i) plain[i] = static_cast<char>(i * 7);
    std::string a = AesEncrypt(plain, pass), b = AesEncrypt(plain, pass), iv = a.substr(0, 16);
    ASSERT_EQ(a.size(), 48 + 16 * ((n + 15) / 16));
    EXPECT_EQ(a[15] & 0x0F, static_cast<int>(n % 16));
    EXPECT_NE(iv, b.substr(0, 16)) << "equal plaintexts must not show";
    EXPECT_EQ(AesDecrypt(a, pass), plain);
    EXPECT_EQ(AesDecrypt(b, "x" + pass), n ? "" : plain);
    std::string key = Key(iv, pass), ct = Put("ct", a.substr(16, a.size() - 48));
    EXPECT_EQ(Sh("openssl enc -d -aes-256-cbc -nopad -K " + key + " -iv " + Hex(iv) + " -in " + ct).substr(0, n), plain);
    EXPECT_EQ(Sh("openssl dgst -sha256 -binary -mac HMAC -macopt hexkey:" + key + " " + ct), a.substr(a.size() - 32));
    // Texts made the old way, IV from the plaintext's hash, still open.
    iv = Unhex(Sh("openssl dgst -sha256 -r " + Put("pt", plain)).substr(0, 32));
    iv[15] = static_cast<char>((iv[15] & 0xF0) | (n % 16));
    key = Key(iv, pass);
    std::string old = Sh("openssl enc -aes-256-cbc -nopad -K " + key + " -iv " + Hex(iv) + " -in " +
                         Put("pt", plain + std::string((16 - n % 16) % 16, '\0')));
    old += Sh("openssl dgst -sha256 -binary -mac HMAC -macopt hexkey:" + key + " " + Put("ct", old));
    EXPECT_EQ(AesDecrypt(iv + old, pass), plain);
  }
}

TEST_F(Crypto, DamagedTextsAreRefused) {
  std::string good = AesEncrypt(std::string(40, 'm'), "pw");
  for (size_t n : {0, 16, 47, 49}) EXPECT_EQ(AesDecrypt(std::string(n, 'x'), "pw"), "");
  EXPECT_TRUE(log_.contains("Invalid data size: 47!"));
  std::mt19937 rng(1207);
  for (int i = 0; i < 3000; ++i) {
    std::string m = good;
    if (i < 80) m[i] ^= 1;  // each byte once, then random edits
    for (int k = i < 80 ? -1 : rng() % 4; k >= 0; --k) {
      size_t at = rng() % m.size();
      if (k % 2) m[at] = static_cast<char>(rng());
      else m.replace(at, rng() % 17, std::string(rng() % 17, static_cast<char>(rng())));
    }
    EXPECT_EQ(AesDecrypt(m, "pw"), m == good ? std::string(40, 'm') : "");
  }
  EXPECT_TRUE(log_.contains("HMAC verification error"));
}

TEST_F(Crypto, SignaturesMatchOpensslBothWays) {
  std::string priv = GenKey(2048), data = "floor 2, x=12.5", pem = dir_ + "k.pem";
  std::string pub = priv.substr(0, priv.find('\n', priv.find('\n') + 1) + 1), sig = RsaSign(priv, data);
  // PKCS#1 v1.5 is deterministic: the blinded signature equals openssl's.
  EXPECT_EQ(sig, Hex(Sh("openssl dgst -sha256 -sign " + pem + " " + Put("d", data))));
  std::string colons;
  for (size_t i = 0; i < sig.size(); i += 2) colons += sig.substr(i, 2) + (i + 2 < sig.size() ? ":" : "");
  struct { std::string data, sig; bool ok; } cases[] = {
      {data, sig, true}, {data, colons, true}, {data + ".", sig, false}, {data, sig.substr(2), false},
      {data, sig + "00", false}, {data, sig.substr(0, 510) + "G0", false}, {data, sig.substr(0, 511), false}};
  for (const auto& c : cases) EXPECT_EQ(RsaVerify(pub, c.data, c.sig), c.ok) << c.sig.substr(0, 12);
  // Our own pair, rebuilt as DER for openssl; each output is written also alone.
  std::string pub2, priv2, one, x, conf = "asn1=SEQUENCE:k\n[k]\nv=INTEGER:0\n";
  ASSERT_TRUE(RsaGenkey(&pub2, &priv2));
  EXPECT_TRUE(RsaGenkey(nullptr, &one) && std::count(one.begin(), one.end(), '\n') == 8);
  EXPECT_TRUE(RsaGenkey(&one, nullptr) && std::count(one.begin(), one.end(), '\n') == 2);
  std::istringstream k2(priv2);
  for (const char* name : {"n", "e", "d", "p", "q", "dp", "dq", "qp"}) conf += std::string(name) + "=INTEGER:0x" + (k2 >> x, x) + "\n";
  Put("s2", Unhex(RsaSign(priv2, data)));
  EXPECT_NE(Sh("openssl asn1parse -genconf " + Put("conf", conf) + " -noout -out " + dir_ + "k2 && openssl rsa -inform DER -in " +
               dir_ + "k2 -pubout 2>/dev/null | openssl dgst -sha256 -verify /dev/stdin -signature " + dir_ + "s2 " + dir_ + "d")
                .find("Verified OK"), std::string::npos);
  EXPECT_TRUE(RsaVerify(pub2, data, RsaSign(priv2, data)));
}

TEST_F(Crypto, DamagedKeyTextsAreRefused) {
  std::string priv = GenKey(1024), pub = priv.substr(0, priv.find('\n', priv.find('\n') + 1) + 1), sig = RsaSign(priv, "d");
  for (size_t len : {2485, 6000})  // longer than a number may be: refused, not split in two
    EXPECT_TRUE(RsaSign(std::string(len, 'F') + "\n" + priv, "d").empty() && !RsaVerify(std::string(len, 'F') + "\n3\n", "d", sig));
  EXPECT_EQ(RsaSign("-" + priv, "d") + RsaSign(priv.substr(0, priv.rfind('\n', priv.size() - 2)), "d"), "");
  const char alphabet[] = "0123456789ABCDEF \n-:xZ";
  std::mt19937 rng(3108);
  for (int i = 0; i < 2000; ++i) {
    std::string m = i % 2 ? priv : pub;
    for (int k = rng() % 3; k >= 0; --k) m.replace(rng() % m.size(), rng() % 3, std::string(rng() % 2, alphabet[rng() % 22]));
    std::string s = i % 2 ? RsaSign(m, "d") : std::string(RsaVerify(m, "d", sig) ? "ok" : "");
    EXPECT_TRUE(s.empty() || s == sig || s == "ok") << m;  // only harmless edits (case, spacing) still sign
  }
}

// A private key text whose numbers do not belong together is refused before
// anything is signed, whichever number is foreign.
TEST_F(Crypto, PrivateKeysOfMixedNumbersAreRefused) {
  const std::string a = GenKey(1024), b = GenKey(1024);
  auto numbers = [](const std::string& text) {
    std::istringstream in(text);
    std::vector<std::string> out;
    for (std::string x; in >> x;) out.push_back(x);
    return out;
  };
  const std::vector<std::string> na = numbers(a), nb = numbers(b);
  ASSERT_EQ(na.size(), 8u);
  ASSERT_FALSE(RsaSign(a, "d").empty());
  const char* names[] = {"N", "E", "D", "P", "Q", "DP", "DQ", "QP"};
  for (size_t i = 0; i < 8; ++i) {
    SCOPED_TRACE(names[i]);
    std::vector<std::string> mixed = na;
    mixed[i] = i == 1 ? "3" : nb[i];
    std::string text;
    for (const auto& x : mixed) text += x + "\n";
    EXPECT_EQ(RsaSign(text, "d"), "");
  }
}

}  // namespace
