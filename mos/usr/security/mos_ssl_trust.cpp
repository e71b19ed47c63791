// TLS contexts: queries of their certificates and their trusted authorities (management tools'
// operations; the storage server's own paths do not use them).
#include <cstring>

#include "mos/mos_trace.h"
#include "mos/usr/security/mos_ssl_intrn.h"

namespace {

// Runs fn(context) under a reference on the slot; an empty slot is reported by fn as null.
template <typename F>
Mos_RC withContextRef(MosSslContextIdType contextId, F &&fn)
{
    mosSsl_GetContextRef(contextId);
    const Mos_RC rc = fn(mosSsl_GetContext(contextId));
    mosSsl_FreeContextRef(contextId);
    return rc;
}

// The trusted certificates of a context's store, in store order, with the store locked while
// fn runs (fn returns false to stop).
template <typename F>
void forEachTrustedCert(X509_STORE *pStore, F &&fn)
{
    X509_STORE_lock_p(pStore);
    STACK_OF(X509_OBJECT) *pObjects = X509_STORE_get0_objects_p(pStore);
    const OPENSSL_STACK *pStack = reinterpret_cast<const OPENSSL_STACK *>(pObjects);
    for (int i = pObjects != nullptr ? OPENSSL_sk_num_p(pStack) - 1 : -1; i >= 0; i--) {
        auto *pObj = static_cast<X509_OBJECT *>(OPENSSL_sk_value_p(pStack, i));
        if (X509_OBJECT_get_type_p(pObj) == X509_LU_X509 && !fn(i, pObj, X509_OBJECT_get0_X509_p(pObj)))
            break;
    }
    X509_STORE_unlock_p(pStore);
}

} // namespace

Mos_RC mosSsl_QueryCertByContext(MosSslContextIdType contextId, MosSecurityCertQuery *pQuery)
{
    SSL *pSsl = nullptr;
    Mos_RC rc = withContextRef(contextId, [&](SSL_CTX *pCtx) {
        if (pCtx == nullptr) {
            MOS_ERROR(MOS_COMP_MOS, "SSL context is NULL (ID %d)", (int)contextId);
            return MOS_RC__INVALID;
        }
        pSsl = SSL_new_p(pCtx);
        if (pSsl == nullptr) {
            MOS_ERROR(MOS_COMP_MOS, "Failed to create SSL object");
            return MOS_RC__ERROR;
        }
        return MOS_RC__SUCCESS;
    });
    if (rc != MOS_RC__SUCCESS)
        return rc;
    X509 *pCert = SSL_get_certificate_p(pSsl); // owned by the session
    if (pCert == nullptr) {
        MOS_ERROR(MOS_COMP_MOS, "Failed to get the certificate");
        rc = MOS_RC__NOT_FOUND;
    } else {
        rc = mosSecurity_QueryCert(pCert, pQuery);
    }
    SSL_free_p(pSsl);
    return rc;
}

Mos_RC mosSsl_QueryPeerCert(MosSslSocketHandle *pHandle, MosSecurityCertQuery *pQuery)
{
    if (pHandle == nullptr) {
        MOS_ERROR(MOS_COMP_MOS, "Invalid handle");
        return MOS_RC__NOT_FOUND;
    }
    X509 *pCert = SSL_get1_peer_certificate_p(pHandle->pSsl);
    if (pCert == nullptr) {
        MOS_ERROR(MOS_COMP_MOS, "Failed to get peer's certificate (handle: %p)", (void *)pHandle);
        return MOS_RC__NOT_FOUND;
    }
    const Mos_RC rc = mosSecurity_QueryCert(pCert, pQuery);
    X509_free_p(pCert);
    return rc;
}

Mos_RC mosSsl_CreateTrustFile(const CHAR_A *filename, MosSslContextIdType contextId, MosSecurityCertOpaque *pCertOpq)
{
    X509 *pNewCert = nullptr;
    Mos_RC rc = mosSecurity_GetCertFromOpaque(pCertOpq, &pNewCert);
    if (rc != MOS_RC__SUCCESS) {
        MOS_TRACE(MOS_COMP_MOS, MOS_FREQ_LOW, "WARNING: Failed to get certificate from opaque %p (%s)",
                  (void *)pCertOpq, mosRc_GetStr(rc));
        return MOS_RC__INVALID;
    }
    BIO *pFile = BIO_new_file_p(filename, "w");
    if (pFile == nullptr) {
        MOS_ERROR(MOS_COMP_MOS, "Failed to create file BIO (%s)", filename);
        X509_free_p(pNewCert);
        return MOS_RC__NOT_FOUND;
    }
    auto writeCert = [&](X509 *pCert) {
        if (PEM_write_bio_X509_p(pFile, pCert) == 1)
            return true;
        MOS_TRACE(MOS_COMP_MOS, MOS_FREQ_LOW, "WARNING: Failed to write the certificate to file (%s)", filename);
        return false;
    };
    rc = writeCert(pNewCert) ? MOS_RC__SUCCESS : MOS_RC__INVALID;
    if (rc == MOS_RC__SUCCESS) {
        rc = withContextRef(contextId, [&](SSL_CTX *pCtx) {
            if (pCtx == nullptr) {
                MOS_TRACE(MOS_COMP_MOS, MOS_FREQ_LOW, "WARNING: Invalid SSL context %d", (int)contextId);
                return MOS_RC__INVALID;
            }
            Mos_RC writeRc = MOS_RC__SUCCESS;
            forEachTrustedCert(SSL_CTX_get_cert_store_p(pCtx), [&](int, X509_OBJECT *, X509 *pCert) {
                if (X509_subject_name_cmp_p(pCert, pNewCert) != 0 && !writeCert(pCert))
                    writeRc = MOS_RC__INVALID;
                return writeRc == MOS_RC__SUCCESS;
            });
            return writeRc;
        });
    }
    BIO_free_p(pFile);
    X509_free_p(pNewCert);
    return rc;
}

Mos_RC mosSsl_AddTrustedCertToContext(MosSslContextIdType contextId, MosSecurityCertOpaque *pCertOpq)
{
    X509 *pNewCert = nullptr;
    if (mosSecurity_GetCertFromOpaque(pCertOpq, &pNewCert) != MOS_RC__SUCCESS)
        return MOS_RC__INVALID;
    UINT32 deleted = 0;
    Mos_RC rc = withContextRef(contextId, [&](SSL_CTX *pCtx) {
        if (pCtx == nullptr) {
            MOS_TRACE(MOS_COMP_MOS, MOS_FREQ_LOW, "WARNING: Invalid SSL context %d", (int)contextId);
            return MOS_RC__INVALID;
        }
        X509_STORE *pStore = SSL_CTX_get_cert_store_p(pCtx);
        Mos_RC deleteRc = MOS_RC__SUCCESS;
        // A certificate of the same subject is replaced, not kept beside the new one.
        forEachTrustedCert(pStore, [&](int index, X509_OBJECT *pObj, X509 *pCert) {
            if (X509_subject_name_cmp_p(pCert, pNewCert) != 0)
                return true;
            STACK_OF(X509_OBJECT) *pObjects = X509_STORE_get0_objects_p(pStore);
            if (OPENSSL_sk_delete_p(reinterpret_cast<OPENSSL_STACK *>(pObjects), index) != pObj) {
                MOS_TRACE(MOS_COMP_MOS, MOS_FREQ_LOW, "WARNING: Failed to delete certificate %d of context %d", index,
                          (int)contextId);
                deleteRc = MOS_RC__ERROR;
                return false;
            }
            X509_OBJECT_free_p(pObj);
            deleted++;
            return true;
        });
        if (deleteRc != MOS_RC__SUCCESS)
            return deleteRc;
        if (X509_STORE_add_cert_p(pStore, pNewCert) != 1) {
            MOS_TRACE(MOS_COMP_MOS, MOS_FREQ_LOW, "WARNING: Failed to add certificate to context %d", (int)contextId);
            return MOS_RC__ERROR;
        }
        return MOS_RC__SUCCESS;
    });
    if (rc == MOS_RC__SUCCESS && MOS_TRACE_COND(MOS_COMP_MOS, MOS_FREQ_HIGH)) {
        MosSecurityCertQuery query;
        if (mosSecurity_QueryCert(pNewCert, &query) == MOS_RC__SUCCESS)
            MOS_TRACE(MOS_COMP_MOS, MOS_FREQ_HIGH,
                      "Added a trusted certificate to context %d (%u deleted): subject %s, issuer %s, valid %s to %s, "
                      "thumbprint %s",
                      (int)contextId, deleted, query.subject, query.issuer, query.notValidBefore, query.notValidAfter,
                      query.digestBuf);
    }
    X509_free_p(pNewCert);
    return rc;
}
