// SHA-256, SHA-384 and SHA-512 (FIPS 180-2) of our own, with incremental and one-shot forms and
// a lower-case hexadecimal text form of the digest.
//
// Deliberately independent of OpenSSL: the controller derives the key-pair password from the
// server identifier with SHA256_Data before security is (or even can be) initialised, and the
// code must work on a machine where the TLS library is missing.
//
// The names are C++ functions (mangled symbols), so they never interpose on the C functions of
// the same names that the TLS library, opened at run time, exports and calls internally. Do not
// include this header in a file that includes the TLS library's headers: both declare SHA256_CTX.
//
// SHA-256 runs on the processor's SHA extensions where it has them (chosen once, on first use,
// from the processor's identification, since the runtime's CPU layer may not be loaded).
//
// Contract of every family (SHA256_, SHA384_, SHA512_):
//  - Init(ctx): standard initial values, zero count and buffer; a null ctx is ignored.
//  - Update(ctx, data, len): len 0 does nothing, even with null pointers; with len above 0 a
//    null ctx or data is a broken invariant (panic).
//  - Final(digest, ctx): when digest is given, pad and write the big-endian digest; the context
//    is wiped to zeroes in every case. A null ctx is a panic.
//  - End(ctx, buffer): when buffer is given, Final and the digest as lower-case hex with a NUL,
//    returning the address of that NUL; else wipe the context and return null.
//  - Data(data, len, digest): Init, Update, End on a context of its own; digest receives the
//    text form (SHAxxx_DIGEST_STRING_LENGTH characters with the NUL).
// Contexts have no lock: one owner at a time.
#pragma once

#include <cstddef>

#include "mos/mos_types.h"

typedef UINT8 sha2_byte;

#define SHA256_BLOCK_LENGTH 64
#define SHA256_DIGEST_LENGTH 32
#define SHA256_DIGEST_STRING_LENGTH (SHA256_DIGEST_LENGTH * 2 + 1)
#define SHA384_BLOCK_LENGTH 128
#define SHA384_DIGEST_LENGTH 48
#define SHA384_DIGEST_STRING_LENGTH (SHA384_DIGEST_LENGTH * 2 + 1)
#define SHA512_BLOCK_LENGTH 128
#define SHA512_DIGEST_LENGTH 64
#define SHA512_DIGEST_STRING_LENGTH (SHA512_DIGEST_LENGTH * 2 + 1)

struct SHA256_CTX {
    UINT32 state[8];
    UINT64 bitcount; // message bits hashed so far
    sha2_byte buffer[SHA256_BLOCK_LENGTH];
};
static_assert(sizeof(SHA256_CTX) == 104 && offsetof(SHA256_CTX, bitcount) == 32 &&
              offsetof(SHA256_CTX, buffer) == 40);

struct SHA512_CTX {
    UINT64 state[8];
    UINT64 bitcount[2]; // 128-bit count of message bits, low word first
    sha2_byte buffer[SHA512_BLOCK_LENGTH];
};
static_assert(sizeof(SHA512_CTX) == 208 && offsetof(SHA512_CTX, bitcount) == 64 &&
              offsetof(SHA512_CTX, buffer) == 80);

typedef SHA512_CTX SHA384_CTX;

void SHA256_Init(SHA256_CTX *context);
void SHA256_Update(SHA256_CTX *context, const sha2_byte *data, size_t len);
void SHA256_Final(sha2_byte digest[SHA256_DIGEST_LENGTH], SHA256_CTX *context);
char *SHA256_End(SHA256_CTX *context, char buffer[SHA256_DIGEST_STRING_LENGTH]);
char *SHA256_Data(const sha2_byte *data, size_t len, char digest[SHA256_DIGEST_STRING_LENGTH]);

void SHA384_Init(SHA384_CTX *context);
void SHA384_Update(SHA384_CTX *context, const sha2_byte *data, size_t len); // SHA512_Update
void SHA384_Final(sha2_byte digest[SHA384_DIGEST_LENGTH], SHA384_CTX *context);
char *SHA384_End(SHA384_CTX *context, char buffer[SHA384_DIGEST_STRING_LENGTH]);
char *SHA384_Data(const sha2_byte *data, size_t len, char digest[SHA384_DIGEST_STRING_LENGTH]);

void SHA512_Init(SHA512_CTX *context);
void SHA512_Update(SHA512_CTX *context, const sha2_byte *data, size_t len);
void SHA512_Final(sha2_byte digest[SHA512_DIGEST_LENGTH], SHA512_CTX *context);
char *SHA512_End(SHA512_CTX *context, char buffer[SHA512_DIGEST_STRING_LENGTH]);
char *SHA512_Data(const sha2_byte *data, size_t len, char digest[SHA512_DIGEST_STRING_LENGTH]);
