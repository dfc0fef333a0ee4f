#include "server/crypto_utils.h"

#include <gtest/gtest.h>

#include <cstdio>
#include <filesystem>
#include <fstream>
#include <random>
#include <sstream>

#include "engine/server/log_capture.h"

namespace {

namespace fs = std::filesystem;

std::string Shell(const std::string& cmd) {
  std::string out;
  FILE* p = popen(cmd.c_str(), "r");
  if (!p) return out;
  char buf[4096];
  for (size_t n; (n = fread(buf, 1, sizeof buf, p)) > 0;) out.append(buf, n);
  pclose(p);
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
  void SetUp() override {
    char t[] = "/tmp/mv_crypto_XXXXXX";
    dir_ = mkdtemp(t);
  }
  void TearDown() override { fs::remove_all(dir_); }
  std::string Put(const std::string& name, const std::string& data) {
    std::string p = dir_ + "/" + name;
    std::ofstream(p, std::ios::binary) << data;
    return p;
  }
  // The AES/HMAC key of a 16-byte IV and a pass text, derived independently.
  std::string KeyHex(const std::string& iv, const std::string& pass) {
    Put("pass", pass);
    return Shell("python3 -c \"import hashlib,sys\nd=bytes.fromhex('" + Hex(iv) +
               "')+bytes(16)\np=open('" + dir_ + "/pass','rb').read()[:512]\n"
               "for _ in range(8192): d=hashlib.sha256(d+p).digest()\nprint(d.hex(),end='')\"");
  }
  // Our key text (N E D P Q DP DQ QP) from an openssl key, numbers as asn1parse prints them.
  std::string KeyText(const std::string& pem) {
    std::istringstream in(Shell("openssl asn1parse -in " + pem));
    std::string line, text;
    for (int i = 0; std::getline(in, line);)
      if (line.find("INTEGER") != std::string::npos && i++ > 0) text += line.substr(line.rfind(':') + 1) + "\n";
    return text;
  }
  std::string dir_;
};

TEST_F(Crypto, RoundTripsWithFreshIvAndTheFormatsSizes) {
  for (size_t n : {0, 1, 15, 16, 17, 33, 1000})
    for (const std::string& pass : {std::string(), std::string("pw"), std::string(600, 'k')}) {
      std::string plain(n, 0);
      for (size_t i = 0; i < n; ++i) plain[i] = static_cast<char>(i * 7);
      std::string a = AesEncrypt(plain, pass), b = AesEncrypt(plain, pass);
      ASSERT_EQ(a.size(), 48 + 16 * ((n + 15) / 16)) << n;
      EXPECT_EQ(a[15] & 0x0F, static_cast<int>(n % 16));
      EXPECT_NE(a.substr(0, 16), b.substr(0, 16)) << "equal plaintexts must not show";
      EXPECT_EQ(AesDecrypt(a, pass), plain);
      EXPECT_EQ(AesDecrypt(b, pass), plain);
      if (n > 0) {
        EXPECT_EQ(AesDecrypt(a, "x" + pass), "");
      }
    }
}

TEST_F(Crypto, InteroperatesWithOpensslAndReadsHashIvTexts) {
  for (const std::string& plain : {std::string("hello"), std::string(16, 'q'), std::string(70, 'z')}) {
    std::string pass = "secret " + std::to_string(plain.size());
    // Ours, opened by openssl.
    std::string ours = AesEncrypt(plain, pass);
    std::string key = KeyHex(ours.substr(0, 16), pass);
    std::string ct = ours.substr(16, ours.size() - 48);
    std::string f = Put("ct", ct);
    std::string dec = Shell("openssl enc -d -aes-256-cbc -nopad -K " + key + " -iv " + Hex(ours.substr(0, 16)) + " -in " + f);
    EXPECT_EQ(dec.substr(0, plain.size()), plain);
    EXPECT_EQ(Shell("openssl dgst -sha256 -binary -mac HMAC -macopt hexkey:" + key + " " + f), ours.substr(ours.size() - 32));
    // Texts made the old way (IV from the plaintext's hash) by openssl still open.
    std::string iv = Unhex(Shell("printf %s '" + plain + "' | openssl dgst -sha256 -r").substr(0, 32));
    iv[15] = static_cast<char>((iv[15] & 0xF0) | (plain.size() % 16));
    key = KeyHex(iv, pass);
    std::string padded = plain + std::string((16 - plain.size() % 16) % 16, '\0');
    f = Put("pt", padded);
    ct = Shell("openssl enc -e -aes-256-cbc -nopad -K " + key + " -iv " + Hex(iv) + " -in " + f);
    std::string mac = Shell("openssl dgst -sha256 -binary -mac HMAC -macopt hexkey:" + key + " " + Put("ct2", ct));
    EXPECT_EQ(AesDecrypt(iv + ct + mac, pass), plain);
  }
}

TEST_F(Crypto, RefusesDamagedTextsAndMutationsNeverCrash) {
  LogCapture log;
  std::string good = AesEncrypt(std::string(40, 'm'), "pw");
  for (size_t i = 0; i < good.size(); ++i) {
    std::string bad = good;
    bad[i] ^= 0x01;
    log.reset();
    EXPECT_EQ(AesDecrypt(bad, "pw"), "") << i;
    EXPECT_TRUE(log.contains("HMAC verification error")) << i;
  }
  for (size_t n : {0, 16, 47, 49}) {
    log.reset();
    EXPECT_EQ(AesDecrypt(good.substr(0, n) + std::string(n > 48 ? 1 : 0, 'x'), "pw"), "");
    EXPECT_TRUE(log.contains("Invalid data size")) << n;
  }
  std::mt19937 rng(1207);
  for (int i = 0; i < 3000; ++i) {
    std::string m = good;
    for (int k = rng() % 4; k >= 0; --k) {
      size_t at = rng() % m.size();
      switch (rng() % 3) {
        case 0: m[at] = static_cast<char>(rng()); break;
        case 1: m.erase(at, 1 + rng() % 16); break;
        default: m.insert(at, std::string(1 + rng() % 16, static_cast<char>(rng())));
      }
      if (m.empty()) m = "x";
    }
    if (m != good) {
      EXPECT_EQ(AesDecrypt(m, "pw"), "");
    }
  }
}

TEST_F(Crypto, SignaturesMatchOpensslBothWays) {
  LogCapture log;
  std::string pem = dir_ + "/k.pem";
  Shell("openssl genrsa -traditional -out " + pem + " 2048 2>/dev/null");
  std::string priv = KeyText(pem);
  std::istringstream nums(priv);
  std::string n, e;
  nums >> n >> e;
  std::string pub = n + "\n" + e + "\n";
  std::string data = "floor 2, x=12.5";
  std::string sig = RsaSign(priv, data);
  ASSERT_EQ(sig.size(), 512u);
  // PKCS#1 v1.5 is deterministic: the blinded signature equals openssl's.
  EXPECT_EQ(sig, Hex(Shell("openssl dgst -sha256 -sign " + pem + " " + Put("d", data))));
  std::string colons;
  for (size_t i = 0; i < sig.size(); i += 2) colons += sig.substr(i, 2) + (i + 2 < sig.size() ? ":" : "");
  struct Case { std::string data, sig; bool ok; } cases[] = {
      {data, sig, true},           {data, colons, true},
      {data + ".", sig, false},    {data, sig.substr(2), false},
      {data, sig + "00", false},   {data, sig.substr(0, 510) + "G0", false},
      {data, sig.substr(0, 511), false},
  };
  for (const Case& c : cases) EXPECT_EQ(RsaVerify(pub, c.data, c.sig), c.ok) << c.sig.substr(0, 12);

  // Our own key pair; openssl checks our signature with it.
  std::string pub2, priv2, only;
  ASSERT_TRUE(RsaGenkey(&pub2, &priv2));
  ASSERT_TRUE(RsaGenkey(nullptr, &only));
  EXPECT_EQ(std::count(only.begin(), only.end(), '\n'), 8);
  ASSERT_TRUE(RsaGenkey(&only, nullptr));
  EXPECT_EQ(std::count(only.begin(), only.end(), '\n'), 2);
  std::istringstream k2(priv2);
  std::string conf = "asn1=SEQUENCE:k\n[k]\nv=INTEGER:0\n", x;
  for (const char* name : {"n", "e", "d", "p", "q", "dp", "dq", "qp"}) conf += std::string(name) + "=INTEGER:0x" + (k2 >> x, x) + "\n";
  Shell("openssl asn1parse -genconf " + Put("conf", conf) + " -noout -out " + dir_ + "/k2.der && openssl rsa -inform DER -in " +
      dir_ + "/k2.der -pubout -out " + dir_ + "/p2.pem 2>/dev/null");
  Put("s2", Unhex(RsaSign(priv2, data)));
  EXPECT_NE(Shell("openssl dgst -sha256 -verify " + dir_ + "/p2.pem -signature " + dir_ + "/s2 " + dir_ + "/d").find("Verified OK"),
            std::string::npos);
  EXPECT_TRUE(RsaVerify(pub2, data, RsaSign(priv2, data)));
}

TEST_F(Crypto, DamagedKeyTextsAreRefusedWithoutCrashing) {
  LogCapture log;
  std::string pem = dir_ + "/k.pem";
  Shell("openssl genrsa -traditional -out " + pem + " 1024 2>/dev/null");
  std::string priv = KeyText(pem);
  std::string pub = priv.substr(0, priv.find('\n', priv.find('\n') + 1) + 1);
  std::string sig = RsaSign(priv, "d");
  ASSERT_TRUE(RsaVerify(pub, "d", sig));
  for (size_t len : {2484, 2485, 6000}) {
    EXPECT_EQ(RsaSign(std::string(len, 'F') + "\n" + priv, "d"), "");
    EXPECT_FALSE(RsaVerify(std::string(len, 'F') + "\n3\n", "d", sig));
  }
  EXPECT_EQ(RsaSign("-" + priv, "d"), "");
  EXPECT_EQ(RsaSign(priv.substr(0, priv.rfind('\n', priv.size() - 2)), "d"), "");
  const char alphabet[] = "0123456789ABCDEFabcdef \n-:xZ\0";
  std::mt19937 rng(3108);
  for (int i = 0; i < 2000; ++i) {
    std::string& base = i % 2 ? priv : pub;
    std::string m = base;
    for (int k = rng() % 3; k >= 0; --k) {
      size_t at = rng() % m.size();
      if (rng() % 2) m[at] = alphabet[rng() % (sizeof alphabet - 1)];
      else m.erase(at, rng() % 8);
      if (m.empty()) m = "0";
    }
    if (i % 2) {
      std::string s = RsaSign(m, "d");
      if (!s.empty()) {
        EXPECT_TRUE(RsaVerify(pub, "d", s));
      }
    } else if (RsaVerify(m, "d", sig)) {
      for (char& c : m) c = static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
      std::istringstream a(m), b(pub);
      std::string a1, a2, b1, b2;
      a >> a1 >> a2, b >> b1 >> b2;
      EXPECT_TRUE(a1 == b1 && a2 == b2) << m;  // only a harmless change may still verify
    }
  }
}

}  // namespace
