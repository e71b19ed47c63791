// The run-time binding of OpenSSL, for the security modules' own files only (it includes the
// library's headers, which nothing outside mos/usr/security/ may see).
//
// The program never links OpenSSL. At initialisation the TLS library ("libssl.so.3") and the
// crypto library ("libcrypto.so.3") are opened by identifier through the dynamic-library facade,
// and every function the security code calls is looked up by name into a pointer of its own,
// named like the function with "_p" appended and typed as the function (the headers below give
// only types and constants: nothing here references an OpenSSL symbol at link time). All other
// security code calls OpenSSL only through these pointers. Either every function binds or the
// binding fails and the process runs without security.
//
// OpenSSL 3 no longer has some of the 1.0 functions; their successors are bound instead (noted
// beside each), with the same meaning for our callers:
//   SSL_library_init, SSL_load_error_strings -> OPENSSL_init_ssl
//   SSL_get_peer_certificate -> SSL_get1_peer_certificate (the caller frees the certificate)
//   SSL_get_ex_new_index -> CRYPTO_get_ex_new_index(CRYPTO_EX_INDEX_SSL, ...)
//   SSL_state -> SSL_get_state (TLS_ST_OK once the handshake is complete)
//   X509_STORE_CTX_get_chain -> X509_STORE_CTX_get0_chain
//   EVP_MD_CTX_create/destroy -> EVP_MD_CTX_new/free; EVP_MD_CTX_init/cleanup -> EVP_MD_CTX_reset
//   X509_OBJECT_free_contents -> X509_OBJECT_free
//   SSLeay_version, SSLeay -> OpenSSL_version, OpenSSL_version_num
//   sk_value, sk_num, sk_delete -> OPENSSL_sk_value, OPENSSL_sk_num, OPENSSL_sk_delete
// The 1.0 locking and thread-identity callbacks have no successor: OpenSSL 3 locks its own state
// and tells threads apart by itself. The crypto lock table and mosSecurity_LockingCB stay for a
// library that asks for them; nothing is installed. Because a uthread may move to another OS
// thread between two calls, and OpenSSL keeps its error queue per OS thread, every TLS call is
// preceded by ERR_clear_error (bound in addition), so a stale error of another session on the
// same OS thread is never read as this call's. Where 1.0 code read a structure's fields (a
// certificate's times, a context's store of trusted certificates), the accessors that OpenSSL 3
// offers instead are bound in addition too (the last rows of each list).
#pragma once

#define OPENSSL_SUPPRESS_DEPRECATED 1
#include <openssl/bio.h>
#include <openssl/err.h>
#include <openssl/evp.h>
#include <openssl/pem.h>
#include <openssl/rand.h>
#include <openssl/rsa.h>
#include <openssl/ssl.h>
#include <openssl/x509.h>
#include <openssl/x509v3.h>

#include "mos/mos_fastlock.h"
#include "mos/mos_rc.h"
#include "mos/mos_types.h"
#include "mos/usr/linux/mos_dynamic_lib.h"
#include "mos/usr/security/mos_security_conf.h"

// Functions bound through the TLS library's handle, in binding order.
#define MOS_SECURITY_SSL_FUNCTIONS(X)                                                                  \
    X(OPENSSL_init_ssl)                                                                                \
    X(TLSv1_method)                                                                                    \
    X(TLSv1_1_method)                                                                                  \
    X(TLSv1_2_method)                                                                                  \
    X(SSL_CTX_new)                                                                                     \
    X(SSL_CTX_free)                                                                                    \
    X(SSL_CTX_use_certificate_chain_file)                                                              \
    X(SSL_CTX_use_PrivateKey_file)                                                                     \
    X(SSL_CTX_set_default_passwd_cb)                                                                   \
    X(SSL_CTX_set_default_passwd_cb_userdata)                                                          \
    X(SSL_CTX_load_verify_locations)                                                                   \
    X(SSL_get_certificate)                                                                             \
    X(SSL_set_verify)                                                                                  \
    X(SSL_CTX_set_cipher_list)                                                                         \
    X(SSL_CTX_set_verify_depth)                                                                        \
    X(SSL_get_verify_result)                                                                           \
    X(SSL_get1_peer_certificate)                                                                       \
    X(SSL_new)                                                                                         \
    X(SSL_free)                                                                                        \
    X(SSL_set_bio)                                                                                     \
    X(SSL_connect)                                                                                     \
    X(SSL_accept)                                                                                      \
    X(SSL_get_error)                                                                                   \
    X(SSL_set_ex_data)                                                                                 \
    X(SSL_get_ex_data)                                                                                 \
    X(SSL_get_ex_data_X509_STORE_CTX_idx)                                                              \
    X(SSL_read)                                                                                        \
    X(SSL_write)                                                                                       \
    X(SSL_shutdown)                                                                                    \
    X(SSL_set_accept_state)                                                                            \
    X(SSL_set_connect_state)                                                                           \
    X(SSL_get_state)                                                                                   \
    X(SSL_do_handshake)                                                                                \
    X(SSL_get_shutdown)                                                                                \
    X(SSL_CTX_get_cert_store)

// Functions bound through the crypto library's handle, in binding order.
#define MOS_SECURITY_CRYPTO_FUNCTIONS(X)                                                               \
    X(RAND_status)                                                                                     \
    X(X509_verify_cert_error_string)                                                                   \
    X(X509_NAME_get_text_by_NID)                                                                       \
    X(X509_get_subject_name)                                                                           \
    X(X509_get_issuer_name)                                                                            \
    X(X509_NAME_oneline)                                                                               \
    X(X509_gmtime_adj)                                                                                 \
    X(X509_new)                                                                                        \
    X(X509_free)                                                                                       \
    X(X509_STORE_CTX_get0_chain)                                                                       \
    X(X509_STORE_CTX_get_ex_data)                                                                      \
    X(X509_to_X509_REQ)                                                                                \
    X(X509_REQ_to_X509)                                                                                \
    X(X509_REQ_free)                                                                                   \
    X(BIO_new_socket)                                                                                  \
    X(BIO_new)                                                                                         \
    X(BIO_s_mem)                                                                                       \
    X(BIO_free)                                                                                        \
    X(BIO_up_ref)                                                                                      \
    X(BIO_gets)                                                                                        \
    X(BIO_new_file)                                                                                    \
    X(BIO_new_mem_buf)                                                                                 \
    X(BIO_ctrl)                                                                                        \
    X(BIO_ctrl_pending)                                                                                \
    X(BIO_read)                                                                                        \
    X(BIO_write)                                                                                       \
    X(PEM_write_bio_X509)                                                                              \
    X(PEM_read_bio_X509)                                                                               \
    X(PEM_write_X509)                                                                                  \
    X(ERR_get_error)                                                                                   \
    X(ERR_error_string_n)                                                                              \
    X(CRYPTO_set_mem_functions)                                                                        \
    X(CRYPTO_free)                                                                                     \
    X(X509_digest)                                                                                     \
    X(EVP_sha1)                                                                                        \
    X(EVP_sha256)                                                                                      \
    X(EVP_sha512)                                                                                      \
    X(EVP_des_ede3_cbc)                                                                                \
    X(RAND_bytes)                                                                                      \
    X(d2i_X509)                                                                                        \
    X(i2d_X509)                                                                                        \
    X(PEM_read_PrivateKey)                                                                             \
    X(PEM_read_X509)                                                                                   \
    X(PEM_write_PrivateKey)                                                                            \
    X(PEM_write_X509_REQ)                                                                              \
    X(PEM_read_bio_X509_REQ)                                                                           \
    X(EVP_MD_CTX_reset)                                                                                \
    X(EVP_MD_CTX_new)                                                                                  \
    X(EVP_MD_CTX_free)                                                                                 \
    X(EVP_PKEY_new)                                                                                    \
    X(EVP_PKEY_free)                                                                                   \
    X(EVP_PKEY_assign)                                                                                 \
    X(EVP_DigestSignInit)                                                                              \
    X(EVP_DigestSignFinal)                                                                             \
    X(EVP_DigestVerifyInit)                                                                            \
    X(EVP_DigestVerifyFinal)                                                                           \
    X(EVP_DigestUpdate)                                                                                \
    X(X509_get_pubkey)                                                                                 \
    X(X509_check_private_key)                                                                          \
    X(X509_STORE_new)                                                                                  \
    X(X509_STORE_free)                                                                                 \
    X(X509_STORE_load_locations)                                                                       \
    X(X509_STORE_CTX_init)                                                                             \
    X(X509_STORE_CTX_cleanup)                                                                          \
    X(X509_STORE_CTX_get_error)                                                                        \
    X(X509_STORE_add_cert)                                                                             \
    X(X509_verify_cert)                                                                                \
    X(X509_get_serialNumber)                                                                           \
    X(X509_set_pubkey)                                                                                 \
    X(X509_NAME_add_entry_by_txt)                                                                      \
    X(X509_set_issuer_name)                                                                            \
    X(X509_sign)                                                                                       \
    X(X509_set_version)                                                                                \
    X(X509_set_serialNumber)                                                                           \
    X(X509_cmp_time)                                                                                   \
    X(X509_subject_name_cmp)                                                                           \
    X(X509_OBJECT_free)                                                                                \
    X(OpenSSL_version)                                                                                 \
    X(OpenSSL_version_num)                                                                             \
    X(ASN1_TIME_print)                                                                                 \
    X(ASN1_INTEGER_set)                                                                                \
    X(OPENSSL_sk_value)                                                                                \
    X(OPENSSL_sk_num)                                                                                  \
    X(OPENSSL_sk_delete)                                                                               \
    X(RSA_generate_key)                                                                                \
    X(RSA_free)                                                                                        \
    X(ASN1_STRING_free)                                                                                \
    X(ASN1_STRING_type_new)                                                                            \
    X(ASN1_TIME_set_string)                                                                            \
    X(s2i_ASN1_INTEGER)                                                                                \
    X(CRYPTO_get_ex_new_index)                                                                         \
    X(ERR_clear_error)                                                                                 \
    X(ASN1_STRING_length)                                                                              \
    X(ASN1_STRING_get0_data)                                                                           \
    X(X509_get0_notBefore)                                                                             \
    X(X509_get0_notAfter)                                                                              \
    X(X509_STORE_get0_objects)                                                                         \
    X(X509_OBJECT_get_type)                                                                            \
    X(X509_OBJECT_get0_X509)                                                                           \
    X(X509_STORE_lock)                                                                                 \
    X(X509_STORE_unlock)                                                                               \
    X(X509_getm_notBefore)                                                                             \
    X(X509_getm_notAfter)                                                                              \
    X(X509_STORE_CTX_new)                                                                              \
    X(X509_STORE_CTX_free)

#define MOS_SECURITY_DECLARE_POINTER(name) extern decltype(&::name) name##_p;
MOS_SECURITY_SSL_FUNCTIONS(MOS_SECURITY_DECLARE_POINTER)
MOS_SECURITY_CRYPTO_FUNCTIONS(MOS_SECURITY_DECLARE_POINTER)
#undef MOS_SECURITY_DECLARE_POINTER

// One opened library of the binding.
struct MosSecurityLibrary {
    MosDynamicLibHandle handle;
    MosDynamicLibraryId libraryId;
};
#define MOS_SECURITY__NUM_LIBRARIES 2
extern MosSecurityLibrary mosSecurityLibraries_G[MOS_SECURITY__NUM_LIBRARIES];

// One fast lock per OpenSSL 1.0 lock type 0 to 40.
#define MOS_SECURITY__NUM_CRYPTO_LOCKS 41
struct MosSecurityCryptoLocks {
    MosFastlock_Base locks[MOS_SECURITY__NUM_CRYPTO_LOCKS];
    BOOL bInitialized;
};
extern MosSecurityCryptoLocks mosSecurityCryptoLocks_G;

// Opens both libraries, binds every function and initialises the library. MOS_RC__SUCCESS;
// MOS_RC__ERROR_LOADING_OPENSSL when a library is missing, already open, unseeded or refuses
// initialisation; MOS_RC__OPENSSL_VERSION_TOO_OLD when a function is missing. Every failure closes
// what it opened, so a later attempt starts afresh.
Mos_RC mosSecurity_InitIntrn(void);
// Clears the lock table and closes both libraries. The pointers keep their values; nothing calls
// them while unbound.
void mosSecurity_FiniIntrn(void);
// TRUE while the libraries are open (between a successful InitIntrn and FiniIntrn).
BOOL mosSecurity_IsBound(void);
void mosSecurity_CloseLibraries(void);

// Platform hook run before the library is initialised (nothing on Linux).
void mosSecurity_InitSecurityLibOS(void);

// OpenSSL's digest for a digest type, or null with an error line.
const EVP_MD *mosSecurity_GetDigestMethod(UINT32 digestType);
// Takes the oldest error of OpenSSL's queue and logs "ERROR: <msg>: <text>".
void mosSecurity_PrintLibError(const char *msg);
// The verification error of a store context and its text, traced; both handed back when asked.
void mosSecurity_PrintLibX509StoreCtxError(const char *msg, X509_STORE_CTX *pX509Ctx, int *pVerifyErr,
                                           const char **pVerifyErrStr);
// A memory buffer whose empty reads report retry (want-read) instead of end of file.
BIO *mosSecurity_AllocMemBio(void);

// Body of the library's password callbacks: copies the NUL-terminated password into buf and
// returns its length, or logs and returns 0 when buf (size bytes) cannot hold it.
int mosSecurity_HandOutPassword(char *buf, int size, const Password &password);

// The 1.0 locking callback: mode bit 1 locks lock `type`, bit 2 unlocks it; nothing while the
// table is not initialised. A type outside 0 to 40 is a broken invariant.
void mosSecurity_LockingCB(int mode, int type, const char *file, int line);
