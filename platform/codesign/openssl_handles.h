#pragma once
// Owning handles for the OpenSSL objects this folder uses, so every early return frees them.
#include <openssl/bio.h>
#include <openssl/cms.h>
#include <openssl/err.h>
#include <openssl/evp.h>
#include <openssl/x509.h>
#include <openssl/x509_vfy.h>

#include <climits>
#include <cstddef>
#include <memory>

namespace korvane::codesign::detail {

struct BioFree { void operator()(BIO* bio) const { BIO_free_all(bio); } };
struct CmsFree { void operator()(CMS_ContentInfo* cms) const { CMS_ContentInfo_free(cms); } };
struct X509Free { void operator()(X509* cert) const { X509_free(cert); } };
struct X509StackFree { void operator()(STACK_OF(X509) * certs) const { sk_X509_pop_free(certs, X509_free); } };
struct X509StoreFree { void operator()(X509_STORE* store) const { X509_STORE_free(store); } };
struct X509StoreCtxFree { void operator()(X509_STORE_CTX* ctx) const { X509_STORE_CTX_free(ctx); } };
struct PkeyFree { void operator()(EVP_PKEY* key) const { EVP_PKEY_free(key); } };
struct AsnObjectFree { void operator()(ASN1_OBJECT* object) const { ASN1_OBJECT_free(object); } };

using BioPtr = std::unique_ptr<BIO, BioFree>;
using CmsPtr = std::unique_ptr<CMS_ContentInfo, CmsFree>;
using X509Ptr = std::unique_ptr<X509, X509Free>;
using X509StackPtr = std::unique_ptr<STACK_OF(X509), X509StackFree>;
using X509StorePtr = std::unique_ptr<X509_STORE, X509StoreFree>;
using X509StoreCtxPtr = std::unique_ptr<X509_STORE_CTX, X509StoreCtxFree>;
using PkeyPtr = std::unique_ptr<EVP_PKEY, PkeyFree>;
using AsnObjectPtr = std::unique_ptr<ASN1_OBJECT, AsnObjectFree>;

// OpenSSL reports failures on a per-thread queue; leaving entries behind would make a later,
// unrelated caller misread its own result.
class ErrorQueueGuard {
public:
    ErrorQueueGuard() = default;
    ~ErrorQueueGuard() { ERR_clear_error(); }
    ErrorQueueGuard(const ErrorQueueGuard&) = delete;
    ErrorQueueGuard& operator=(const ErrorQueueGuard&) = delete;
};

// A read-only memory BIO over bytes the caller keeps alive.
inline BioPtr memoryBio(const void* data, std::size_t size) {
    if (size > static_cast<std::size_t>(INT_MAX)) return nullptr;
    return BioPtr(BIO_new_mem_buf(data, static_cast<int>(size)));
}

}  // namespace korvane::codesign::detail
