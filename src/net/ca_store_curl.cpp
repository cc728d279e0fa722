#include "net/ca_store_curl.h"

#include <openssl/err.h>
#include <openssl/pem.h>
#include <openssl/ssl.h>
#include <openssl/x509_vfy.h>
#include <openssl/x509v3.h>

#include <functional>
#include <string>
#include <utility>

namespace velm {
namespace {

struct BioTraits {
  using Handle = BIO*;
  static BIO* none() { return nullptr; }
  static void close(BIO* bio) { BIO_free(bio); }
};

struct NameTraits {
  using Handle = X509_NAME*;
  static X509_NAME* none() { return nullptr; }
  static void close(X509_NAME* name) { X509_NAME_free(name); }
};

struct BytesTraits {
  using Handle = unsigned char*;
  static unsigned char* none() { return nullptr; }
  static void close(unsigned char* bytes) { OPENSSL_free(bytes); }
};

// The subject of a DER certificate, read without decoding the rest of it: a whole certificate
// costs OpenSSL 3 about 0.1 ms (its public key above all), and a bundle of 144 was 15 ms a scan.
// Null when the DER is not shaped as a certificate.
UniqueHandle<NameTraits> subjectOf(const unsigned char* der, long length) {
  const unsigned char* at = der;
  long content = 0;
  int tag = 0;
  int kind = 0;
  // Certificate, then tbsCertificate: SEQUENCEs, entered.
  for (int level = 0; level < 2; ++level) {
    if ((ASN1_get_object(&at, &content, &tag, &kind, length - (at - der)) & 0x80) != 0 ||
        tag != V_ASN1_SEQUENCE || kind != V_ASN1_UNIVERSAL) {
      return UniqueHandle<NameTraits>();
    }
  }
  const unsigned char* const end = at + content;
  // [0] version (optional), serialNumber, signature, issuer, validity: then the subject.
  for (int field = 0;; ++field) {
    const unsigned char* start = at;
    if ((ASN1_get_object(&at, &content, &tag, &kind, end - at) & 0x80) != 0) break;
    const bool version = field == 0 && kind == V_ASN1_CONTEXT_SPECIFIC && tag == 0;
    if (version) --field;
    if (field == 4) {
      return UniqueHandle<NameTraits>(d2i_X509_NAME(nullptr, &start, at + content - start));
    }
    at += content;
  }
  return UniqueHandle<NameTraits>();
}

// Reads the certificates of a PEM bundle one at a time and hands each whose subject is name to
// take, which returns whether it keeps it (and its reference); the others are never decoded
// whole, so a scan holds one certificate at a time. A block that is no certificate ends the
// scan, as it ends OpenSSL's own reading of the file.
void scanBundle(const std::string& file, const X509_NAME* name,
                const std::function<bool(X509*)>& take) {
  // "e": glibc's O_CLOEXEC, as for every descriptor the launcher opens.
  UniqueHandle<BioTraits> in(BIO_new_file(file.c_str(), "re"));
  if (!in) {
    ERR_clear_error();
    return;
  }
  // This name takes "TRUSTED CERTIFICATE" blocks too, as loading the file into a store does.
  unsigned char* bytes = nullptr;
  long length = 0;
  while (PEM_bytes_read_bio(&bytes, &length, nullptr, PEM_STRING_X509_TRUSTED, in.get(), nullptr,
                            nullptr) == 1) {
    const UniqueHandle<BytesTraits> der(bytes);
    const UniqueHandle<NameTraits> subject = subjectOf(der.get(), length);
    if (!subject) break;
    if (X509_NAME_cmp(subject.get(), name) != 0) continue;
    const unsigned char* at = der.get();
    X509* certificate = d2i_X509_AUX(nullptr, &at, length);
    if (certificate == nullptr) break;
    if (!take(certificate)) X509_free(certificate);
  }
  ERR_clear_error();  // the end of the bundle reads as an error
}

// Whether the bundle's first block is a certificate OpenSSL reads.
bool holdsCertificate(const std::string& file) {
  UniqueHandle<BioTraits> in(BIO_new_file(file.c_str(), "re"));
  X509* first = in ? PEM_read_bio_X509_AUX(in.get(), nullptr, nullptr, nullptr) : nullptr;
  ERR_clear_error();
  X509_free(first);
  return first != nullptr;
}

// A certificate within its validity period is the better issuer, as OpenSSL's own lookup holds.
bool validNow(X509* certificate) {
  return X509_cmp_current_time(X509_get0_notBefore(certificate)) < 0 &&
         X509_cmp_current_time(X509_get0_notAfter(certificate)) > 0;
}

// Where a store keeps the path of the bundle its lookups read.
int bundleIndex() {
  static const int index = X509_STORE_get_ex_new_index(0, nullptr, nullptr, nullptr, nullptr);
  return index;
}

const std::string& bundleOf(X509_STORE_CTX* context) {
  return *static_cast<const std::string*>(
      X509_STORE_get_ex_data(X509_STORE_CTX_get0_store(context), bundleIndex()));
}

// The issuer of certificate: one the store already holds (or the folder's lookup finds), else
// one from the bundle, preferring one within its validity period. 1 with a reference in issuer,
// 0 for none, as OpenSSL's own.
int findIssuer(X509** issuer, X509_STORE_CTX* context, X509* certificate) {
  const int held = X509_STORE_CTX_get1_issuer(issuer, context, certificate);
  if (held != 0) return held;
  X509* best = nullptr;
  scanBundle(bundleOf(context), X509_get_issuer_name(certificate),
             [&best, certificate](X509* candidate) {
               if (X509_check_issued(candidate, certificate) != X509_V_OK) return false;
               if (best != nullptr && (validNow(best) || !validNow(candidate))) return false;
               X509_free(best);
               best = candidate;
               return true;
             });
  if (best == nullptr) return 0;
  *issuer = best;
  return 1;
}

// Every trusted certificate whose subject is name, each with a reference, or null for none.
STACK_OF(X509) * findCertificates(X509_STORE_CTX* context, const X509_NAME* name) {
  STACK_OF(X509)* found = X509_STORE_CTX_get1_certs(context, name);
  scanBundle(bundleOf(context), name, [&found](X509* certificate) {
    if (found == nullptr) found = sk_X509_new_null();
    return found != nullptr && sk_X509_push(found, certificate) > 0;
  });
  return found;
}

}  // namespace

void CaStore::StoreTraits::close(X509_STORE* store) { X509_STORE_free(store); }

void CaStore::locate(const std::string& bundle, const std::string& folder) {
  std::lock_guard<std::mutex> lock(mutex_);
  if (bundle_.empty() && folder_.empty()) {
    bundle_ = bundle;
    folder_ = folder;
  }
}

bool CaStore::useIn(SSL_CTX* context) {
  X509_STORE* shared = store();
  if (shared == nullptr) return false;
  SSL_CTX_set1_cert_store(context, shared);
  return true;
}

X509_STORE* CaStore::store() {
  std::lock_guard<std::mutex> lock(mutex_);
  if (!made_) {
    made_ = true;
    UniqueHandle<StoreTraits> store(X509_STORE_new());
    bool ready = store && (!bundle_.empty() || !folder_.empty());
    // A bundle without one certificate in it is as good as none.
    if (ready && !bundle_.empty()) {
      ready = holdsCertificate(bundle_) &&
              X509_STORE_set_ex_data(store.get(), bundleIndex(), &bundle_) == 1;
      if (ready) {
        X509_STORE_set_get_issuer(store.get(), findIssuer);
        X509_STORE_set_lookup_certs(store.get(), findCertificates);
      }
    }
    if (ready && !folder_.empty()) {
      ready = X509_STORE_load_path(store.get(), folder_.c_str()) == 1;
    }
    if (ready) store_ = std::move(store);
  }
  return store_.get();
}

}  // namespace velm
