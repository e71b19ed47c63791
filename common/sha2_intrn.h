// The SHA-256 block functions, for the digest's own file and its tests only.
#pragma once

#include <cstddef>

#include "common/sha2.h"

// Hashes `blocks` whole 64-byte blocks into the state.
typedef void (*Sha256BlocksFunc)(UINT32 state[8], const sha2_byte *data, size_t blocks);

void sha256Blocks_Portable(UINT32 state[8], const sha2_byte *data, size_t blocks);
// Only where sha256_HasShaExtensions() is true.
void sha256Blocks_ShaNi(UINT32 state[8], const sha2_byte *data, size_t blocks);
bool sha256_HasShaExtensions(void);
