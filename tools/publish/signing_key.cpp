#include "signing_key.h"

#include <openssl/bio.h>
#include <openssl/crypto.h>
#include <openssl/err.h>
#include <openssl/evp.h>
#include <openssl/pem.h>

#include <cstdint>
#include <cstdio>
#include <memory>
#include <system_error>

#include "os/owner_only_file.h"
#include "text/path_text.h"
#include "text/text.h"

namespace velm {
namespace {

struct BioFree {
  void operator()(BIO* bio) const { BIO_free(bio); }
};
struct MdCtxFree {
  void operator()(EVP_MD_CTX* context) const { EVP_MD_CTX_free(context); }
};
using BioPtr = std::unique_ptr<BIO, BioFree>;
using MdCtxPtr = std::unique_ptr<EVP_MD_CTX, MdCtxFree>;

void setError(std::string* error, const std::string& text) {
  if (error != nullptr) *error = text;
}

// libcrypto's own words for its latest failure, or a fallback when it queued none.
std::string opensslReason(const char* fallback) {
  unsigned long code = ERR_get_error();
  ERR_clear_error();
  if (code == 0) return fallback;
  char text[256];
  ERR_error_string_n(code, text, sizeof text);
  return text;
}

// Refuses every passphrase prompt: the tool never reads from the terminal.
int noPassphrase(char*, int, int, void*) { return -1; }

// path as one word of a POSIX shell command: itself when it has nothing a shell acts on, else in
// single quotes.
std::string shellWord(const std::string& path) {
  const bool plain = !path.empty() && path.find_first_not_of(
                                          "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz"
                                          "0123456789_@%+=:,./-") == std::string::npos;
  if (plain) return path[0] == '-' ? "./" + path : path;  // not taken for an option
  std::string word = path[0] == '-' ? "'./" : "'";
  for (char c : path) word += c == '\'' ? std::string("'\\''") : std::string(1, c);
  return word + "'";
}

std::string octalMode(uint32_t mode) {
  char text[8];
  std::snprintf(text, sizeof text, "%04o", static_cast<unsigned>(mode & 07777));
  return text;
}

}  // namespace

SigningKey::~SigningKey() { EVP_PKEY_free(key_); }

SigningKey::SigningKey(SigningKey&& other) noexcept : key_(other.key_) { other.key_ = nullptr; }

SigningKey& SigningKey::operator=(SigningKey&& other) noexcept {
  if (this != &other) {
    EVP_PKEY_free(key_);
    key_ = other.key_;
    other.key_ = nullptr;
  }
  return *this;
}

bool SigningKey::generate(SigningKey& key, std::string* error) {
  EVP_PKEY* made = EVP_PKEY_Q_keygen(nullptr, nullptr, "ED25519");
  if (made == nullptr) {
    setError(error, "could not make a key: " + opensslReason("no reason given"));
    return false;
  }
  EVP_PKEY_free(key.key_);
  key.key_ = made;
  return true;
}

bool SigningKey::load(const std::string& path, SigningKey& key, std::string* error) {
  std::string pem;
  uint32_t mode = 0;
  std::error_code code;
  switch (readOwnerOnlyFile(pathFromUtf8(path), pem, mode, code)) {
    case OwnerOnlyRead::Ok:
      break;
    case OwnerOnlyRead::NotRead:
      setError(error, path + ": cannot read the key (" + code.message() + ")");
      return false;
    case OwnerOnlyRead::OpenToOthers:
      // As ssh does: a key that other accounts can read may be theirs already.
      setError(error, path + ": this private key is open to other accounts (mode " +
                          octalMode(mode) + "); run chmod 600 " + shellWord(path) +
                          " to keep it yours alone");
      return false;
  }
  BioPtr memory(BIO_new_mem_buf(pem.data(), static_cast<int>(pem.size())));
  EVP_PKEY* read =
      memory ? PEM_read_bio_PrivateKey(memory.get(), nullptr, noPassphrase, nullptr) : nullptr;
  OPENSSL_cleanse(&pem[0], pem.size());
  ERR_clear_error();
  if (read == nullptr) {
    setError(error, path + ": not an unencrypted PEM private key");
    return false;
  }
  if (EVP_PKEY_get_id(read) != EVP_PKEY_ED25519) {
    EVP_PKEY_free(read);
    setError(error, path + ": not an Ed25519 key");
    return false;
  }
  EVP_PKEY_free(key.key_);
  key.key_ = read;
  return true;
}

bool SigningKey::writeNew(const std::string& path, std::string* error) const {
  BioPtr memory(BIO_new(BIO_s_mem()));
  if (!memory ||
      PEM_write_bio_PrivateKey(memory.get(), key_, nullptr, nullptr, 0, nullptr, nullptr) != 1) {
    setError(error, "could not encode the key: " + opensslReason("no reason given"));
    return false;
  }
  char* pem = nullptr;
  long length = BIO_get_mem_data(memory.get(), &pem);

  std::error_code code;
  bool created = false;
  if (writeNewOwnerOnlyFile(pathFromUtf8(path), std::string(pem, static_cast<size_t>(length)), code,
                            created)) {
    return true;
  }
  if (created) {
    setError(error, path + ": could not write the key (" + code.message() + ")");
  } else if (code == std::errc::file_exists) {
    setError(error, path + " already exists; it is not overwritten");
  } else {
    setError(error, path + ": " + code.message());
  }
  return false;
}

TrustedKey SigningKey::publicKey() const {
  TrustedKey key{};
  size_t length = key.size();
  if (EVP_PKEY_get_raw_public_key(key_, key.data(), &length) != 1 || length != key.size()) {
    ERR_clear_error();
    key.fill(0);
  }
  return key;
}

bool SigningKey::sign(const std::string& document, SignatureBytes& signature,
                      std::string* error) const {
  MdCtxPtr context(EVP_MD_CTX_new());
  size_t length = signature.size();
  // Ed25519 signs the message itself (no pre-hash), so there is no digest to name.
  if (!context || EVP_DigestSignInit(context.get(), nullptr, nullptr, nullptr, key_) != 1 ||
      EVP_DigestSign(context.get(), signature.data(), &length,
                     reinterpret_cast<const unsigned char*>(document.data()),
                     document.size()) != 1 ||
      length != signature.size()) {
    setError(error, "could not sign: " + opensslReason("no reason given"));
    return false;
  }
  return true;
}

bool signDocument(const SigningKey& key, const std::string& label, const std::string& document,
                  const std::vector<TrustedKey>& keys, std::string& signatureText,
                  std::string* error) {
  SignatureBytes signature;
  if (!key.sign(document, signature, error)) return false;
  std::string text = signatureFileText(signature);
  std::string problem = verifySignature(
      label, document, text, keys.empty() ? std::vector<TrustedKey>{key.publicKey()} : keys);
  if (!problem.empty()) {
    setError(error, problem);
    return false;
  }
  signatureText = std::move(text);
  return true;
}

std::string signatureFileText(const SignatureBytes& signature) {
  return hexLower(signature.data(), signature.size()) + "\n";
}

std::string publicKeyHex(const TrustedKey& key) { return hexLower(key.data(), key.size()); }

bool parsePublicKeys(const std::string& text, std::vector<TrustedKey>& keys, std::string* error) {
  size_t start = 0;
  while (true) {
    size_t end = text.find(';', start);
    std::string entry = text.substr(start, end == std::string::npos ? end : end - start);
    TrustedKey key;
    if (!decodeHex(entry, key.data(), key.size())) {
      setError(error, "\"" + entry + "\" is not a public key of 64 hex digits");
      return false;
    }
    keys.push_back(key);
    if (end == std::string::npos) return true;
    start = end + 1;
  }
}

}  // namespace velm
