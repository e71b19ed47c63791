// The XOR scrambling of device data with a 64-bit key; a key of 0 means none.
#pragma once

#include "mos/mos_types.h"

void mos_Encrypt(void *pData, UINT64 sizeInLbs, UINT64 encryption);
void mos_InitEncryptedZero(void *pData, UINT64 sizeInLbs, UINT64 encryption);
BOOL mos_IsZeroEncrypt(const void *pData, UINT64 sizeInLbs, UINT64 encryption);
BOOL mos_IsZeroBufLbs(const void *pData, UINT64 sizeInLbs);
