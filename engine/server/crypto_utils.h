// Pass-text encryption of texts (AES-256-CBC with HMAC-SHA-256) and RSA key
// pairs with PKCS#1 v1.5 / SHA-256 signatures, keys and signatures exchanged as
// upper-case hexadecimal text. Free functions without shared state: any thread
// may call them, also concurrently.
#pragma once

#include <string>

// Random IV (its last byte's low 4 bits hold the plaintext length mod 16), the
// ciphertext, then the HMAC of the ciphertext. Never fails.
std::string AesEncrypt(const std::string& plaintext, const std::string& pass);
// The plaintext, or empty when the data is malformed or its HMAC does not match.
std::string AesDecrypt(const std::string& data, const std::string& pass);

// 2048-bit key, exponent 65537. Public text: N and E; private text: N, E, D, P,
// Q, DP, DQ, QP; one number per line. Either output may be null.
bool RsaGenkey(std::string* publicKey, std::string* privateKey);
// Signature as "%02X" bytes, as long as the modulus; empty on any failure.
std::string RsaSign(const std::string& privateKey, const std::string& data);
// Separators " ", "-" and ":" between byte pairs are allowed in the signature.
bool RsaVerify(const std::string& publicKey, const std::string& data, const std::string& signature);
