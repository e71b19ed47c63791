// Internals of the CRC-32C layer: the pieces of the 64-bit instruction method, each usable on its
// own so that tests can hold every path against the portable method.
#pragma once

#include "mos/mos_crc.h"

// One chain of `crc32` instructions, 8 bytes per step.
UINT32 mosCrc_CalcCrc32Serial64(UINT32 crc, const void *pData, size_t length);
// Carry-less-multiply folding in four 128-bit lanes; needs PCLMULQDQ and SSE4.2.
UINT32 mosCrc_CalcCrc32Fold128(UINT32 crc, const void *pData, size_t length);
// The same in four 512-bit registers; needs mosCpu_IsAvailVpclmul512().
UINT32 mosCrc_CalcCrc32Fold512(UINT32 crc, const void *pData, size_t length);
// Chooses the bulk path of the 64-bit method from the CPU layer's feature bits.
void mosCrcPlat_SelectMethods(void);
