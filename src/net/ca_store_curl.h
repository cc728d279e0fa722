// The certificate authorities that every TLS connection of a CurlNet checks servers against.
// Left to itself, each libcurl connection reads the whole system bundle into a store of its own:
// eight connections, eight copies of a few hundred certificates. One store serves them all here,
// and it does not hold the bundle either: a chain's issuers are read from the file as the chain
// needs them, a few certificates per handshake instead of every one in memory for the run.
#pragma once

#include <mutex>
#include <string>

#include "os/unique_handle.h"

struct ssl_ctx_st;     // OpenSSL's SSL_CTX
struct x509_store_st;  // OpenSSL's X509_STORE

namespace velm {

class CaStore {
 public:
  CaStore() = default;
  CaStore(const CaStore&) = delete;
  CaStore& operator=(const CaStore&) = delete;

  // Names the PEM bundle and the folder of hashed certificate files to trust; either may be
  // empty. The first call that names either one counts, and later ones change nothing.
  void locate(const std::string& bundle, const std::string& folder);

  // Makes context check servers against the store, which is made from what locate named on the
  // first call from any thread. Returns false, leaving context as it was, when there is no store:
  // nothing named, a bundle that cannot be read or holds no certificate, or a folder OpenSSL
  // refuses. The answer stays the same for the life of the CaStore.
  [[nodiscard]] bool useIn(ssl_ctx_st* context);

 private:
  struct StoreTraits {
    using Handle = x509_store_st*;
    static x509_store_st* none() { return nullptr; }
    static void close(x509_store_st* store);
  };

  x509_store_st* store();

  std::mutex mutex_;
  std::string bundle_;  // fixed once the store is made: its issuer lookups read it unlocked
  std::string folder_;
  bool made_ = false;
  UniqueHandle<StoreTraits> store_;
};

}  // namespace velm
