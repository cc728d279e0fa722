// The CA store finds a chain's issuer in the bundle as verification asks for it, against a
// throwaway CA made here, and gives no store for a bundle it cannot use.
#include "net/ca_store_curl.h"

#include <gtest/gtest.h>
#include <openssl/evp.h>
#include <openssl/pem.h>
#include <openssl/ssl.h>
#include <openssl/x509.h>
#include <openssl/x509v3.h>

#include <memory>
#include <string>
#include <vector>

#include "support/temp_dir.h"

namespace velm {
namespace {

struct Free {
  void operator()(EVP_PKEY* key) const { EVP_PKEY_free(key); }
  void operator()(X509* certificate) const { X509_free(certificate); }
  void operator()(X509_STORE_CTX* context) const { X509_STORE_CTX_free(context); }
  void operator()(SSL_CTX* context) const { SSL_CTX_free(context); }
  void operator()(BIO* bio) const { BIO_free(bio); }
};
using Key = std::unique_ptr<EVP_PKEY, Free>;
using Certificate = std::unique_ptr<X509, Free>;

constexpr long kDay = 24 * 60 * 60;

Key makeKey() { return Key(EVP_PKEY_Q_keygen(nullptr, nullptr, "ED25519")); }

// A certificate for name and key, valid from `from` to `to` seconds from now, signed by
// issuerKey under issuerName; a CA when ca is set.
Certificate makeCertificate(const std::string& name, EVP_PKEY* key, const std::string& issuerName,
                            EVP_PKEY* issuerKey, long from, long to, bool ca) {
  Certificate certificate(X509_new());
  X509_set_version(certificate.get(), 2);
  ASN1_INTEGER_set(X509_get_serialNumber(certificate.get()), 1);
  X509_gmtime_adj(X509_getm_notBefore(certificate.get()), from);
  X509_gmtime_adj(X509_getm_notAfter(certificate.get()), to);
  const auto setName = [](X509_NAME* field, const std::string& text) {
    X509_NAME_add_entry_by_txt(field, "CN", MBSTRING_UTF8,
                               reinterpret_cast<const unsigned char*>(text.c_str()), -1, -1, 0);
  };
  setName(X509_get_subject_name(certificate.get()), name);
  setName(X509_get_issuer_name(certificate.get()), issuerName);
  X509_set_pubkey(certificate.get(), key);
  if (ca) {
    X509_EXTENSION* constraints =
        X509V3_EXT_conf_nid(nullptr, nullptr, NID_basic_constraints, "critical,CA:TRUE");
    X509_add_ext(certificate.get(), constraints, -1);
    X509_EXTENSION_free(constraints);
  }
  EXPECT_GT(X509_sign(certificate.get(), issuerKey, nullptr), 0) << name;
  return certificate;
}

Certificate makeRoot(const std::string& name, EVP_PKEY* key, long from = -kDay, long to = kDay) {
  return makeCertificate(name, key, name, key, from, to, true);
}

std::string pem(const std::vector<const Certificate*>& certificates) {
  std::unique_ptr<BIO, Free> out(BIO_new(BIO_s_mem()));
  for (const Certificate* certificate : certificates) {
    PEM_write_bio_X509(out.get(), certificate->get());
  }
  char* data = nullptr;
  const long length = BIO_get_mem_data(out.get(), &data);
  return std::string(data, static_cast<size_t>(length));
}

// A root CA, a server certificate it signed, and another CA that signed nothing here.
struct Chain {
  Key rootKey = makeKey();
  Key leafKey = makeKey();
  Key otherKey = makeKey();
  Certificate root = makeRoot("Velm Test Root", rootKey.get());
  Certificate leaf = makeCertificate("localhost", leafKey.get(), "Velm Test Root", rootKey.get(),
                                     -kDay, kDay, false);
  Certificate other = makeRoot("Velm Other Root", otherKey.get());
};

// What verifying leaf against the store in context reports: X509_V_OK when it is trusted.
int verify(SSL_CTX* context, X509* leaf) {
  std::unique_ptr<X509_STORE_CTX, Free> verifying(X509_STORE_CTX_new());
  if (X509_STORE_CTX_init(verifying.get(), SSL_CTX_get_cert_store(context), leaf, nullptr) != 1) {
    return -1;
  }
  X509_verify_cert(verifying.get());
  return X509_STORE_CTX_get_error(verifying.get());
}

// The verdict on chain's leaf from a store over a bundle with these certificates.
int verifyWithBundle(const Chain& chain, const std::vector<const Certificate*>& bundle) {
  TempDir dir;
  CaStore store;
  store.locate(dir.write("ca.pem", pem(bundle)).u8string(), "");
  std::unique_ptr<SSL_CTX, Free> context(SSL_CTX_new(TLS_client_method()));
  EXPECT_TRUE(store.useIn(context.get()));
  return verify(context.get(), chain.leaf.get());
}

TEST(CaStore, TrustsAChainWhoseIssuerIsInTheBundleWithoutHoldingTheBundle) {
  const Chain chain;
  TempDir dir;
  CaStore store;
  store.locate(dir.write("ca.pem", pem({&chain.other, &chain.root})).u8string(), "");
  std::unique_ptr<SSL_CTX, Free> context(SSL_CTX_new(TLS_client_method()));
  ASSERT_TRUE(store.useIn(context.get()));
  EXPECT_EQ(verify(context.get(), chain.leaf.get()), X509_V_OK);
  EXPECT_EQ(sk_X509_OBJECT_num(X509_STORE_get0_objects(SSL_CTX_get_cert_store(context.get()))), 0)
      << "the store keeps certificates it read";
}

TEST(CaStore, PrefersAnIssuerWithinItsValidityPeriod) {
  const Chain chain;
  const Certificate expired = makeRoot("Velm Test Root", chain.rootKey.get(), -2 * kDay, -kDay);
  EXPECT_EQ(verifyWithBundle(chain, {&expired, &chain.root}), X509_V_OK);
  EXPECT_EQ(verifyWithBundle(chain, {&expired}), X509_V_ERR_CERT_HAS_EXPIRED);
}

TEST(CaStore, FindsAnIssuerBehindOtherBlocksAndAsATrustedCertificate) {
  const Chain chain;
  std::unique_ptr<BIO, Free> out(BIO_new(BIO_s_mem()));
  PEM_write_bio_PrivateKey(out.get(), chain.otherKey.get(), nullptr, nullptr, 0, nullptr, nullptr);
  PEM_write_bio_X509(out.get(), chain.other.get());
  PEM_write_bio_X509_AUX(out.get(), chain.root.get());  // "BEGIN TRUSTED CERTIFICATE"
  char* data = nullptr;
  const long length = BIO_get_mem_data(out.get(), &data);
  TempDir dir;
  CaStore store;
  store.locate(dir.write("ca.pem", std::string(data, static_cast<size_t>(length))).u8string(), "");
  std::unique_ptr<SSL_CTX, Free> context(SSL_CTX_new(TLS_client_method()));
  ASSERT_TRUE(store.useIn(context.get()));
  EXPECT_EQ(verify(context.get(), chain.leaf.get()), X509_V_OK);
}

TEST(CaStore, FailsAChainWhoseIssuerIsNotInTheBundle) {
  const Chain chain;
  EXPECT_EQ(verifyWithBundle(chain, {&chain.other}), X509_V_ERR_UNABLE_TO_GET_ISSUER_CERT_LOCALLY);
}

TEST(CaStore, GivesNoStoreForABundleItCannotUse) {
  TempDir dir;
  dir.write("folder/file", "");
  struct Case {
    std::string name;
    std::string bundle;
  };
  const std::vector<Case> cases = {
      {"nothing named", ""},
      {"a missing file", (dir.path() / "missing.pem").u8string()},
      {"an empty file", dir.write("empty.pem", "").u8string()},
      {"no certificate", dir.write("text.pem", "not a certificate\n").u8string()},
      {"a folder", (dir.path() / "folder").u8string()},
  };
  for (const Case& c : cases) {
    CaStore store;
    store.locate(c.bundle, "");
    std::unique_ptr<SSL_CTX, Free> context(SSL_CTX_new(TLS_client_method()));
    X509_STORE* own = SSL_CTX_get_cert_store(context.get());
    EXPECT_FALSE(store.useIn(context.get())) << c.name;
    EXPECT_EQ(SSL_CTX_get_cert_store(context.get()), own) << c.name;
  }
}

}  // namespace
}  // namespace velm
