#pragma once
// OpenSSL objects owned the C++ way: each alias frees its object with the
// call OpenSSL gives for it.

#include <openssl/bio.h>
#include <openssl/evp.h>
#include <openssl/ssl.h>
#include <openssl/x509.h>
#include <openssl/x509_vfy.h>

#include <memory>

namespace lectora::wire::openssl
{

template <typename T, void (*Free)(T*)> struct Freer {
    void operator()(T* p) const { Free(p); }
};

using Context = std::unique_ptr<SSL_CTX, Freer<SSL_CTX, SSL_CTX_free>>;
using Connection = std::unique_ptr<SSL, Freer<SSL, SSL_free>>;
using Bio = std::unique_ptr<BIO, Freer<BIO, BIO_free_all>>;
using Key = std::unique_ptr<EVP_PKEY, Freer<EVP_PKEY, EVP_PKEY_free>>;
using Certificate = std::unique_ptr<X509, Freer<X509, X509_free>>;
using Store = std::unique_ptr<X509_STORE, Freer<X509_STORE, X509_STORE_free>>;
using StoreContext = std::unique_ptr<X509_STORE_CTX, Freer<X509_STORE_CTX, X509_STORE_CTX_free>>;

} // namespace lectora::wire::openssl
