// T10-DIF guard tags: one CRC-16 (polynomial 0x8BB7, initial value 0, most significant bit first,
// no final XOR) per 512-byte logical block, kept in a buffer of their own beside the data so
// that data buffers stay aligned. Volume trees may store their blocks XORed with a 64-bit
// obfuscation key; the guards always cover the bytes as stored.
#pragma once

#include <array>

#include "mos/mos_rc.h"
#include "mos/mos_types.h"

struct T10Dif {
    UINT16 guard; // host byte order
};
static_assert(sizeof(T10Dif) == 2);

typedef UINT16 (*MosT10Dif_CrcFunc)(UINT16 crc, const UINT8 *pBuf, size_t len);

// Guard of an all-zero block.
inline constexpr UINT16 t10dif_ZeroBufGuard_G = 0;

extern const std::array<UINT16, 256> mos_generic_t10dif_crc_lookup_tbl;
extern MosT10Dif_CrcFunc mosT10Dif_CrcImpl;

// The two guard methods; both continue from `crc` over `len` bytes.
UINT16 mos_generic_t10dif_crc(UINT16 crc, const UINT8 *pBuf, size_t len);
UINT16 crc_t10dif_pcl(UINT16 crc, const UINT8 *pBuf, size_t len); // needs PCLMULQDQ
BOOL crc_t10dif_pcl_IsAvailable(void);

Mos_RC mosT10Dif_Init(void *pArg);
void mosT10Dif_Destroy(void);

// `metaTag`, `combIndex` and `offsetInComb` only appear in traces.
void mosT10Dif_GenT10DIF(const void *pData, T10Dif *pDifBuf, UINT32 metaTag, UINT32 combIndex,
                         UINT32 offsetInComb, UINT32 sizeInLbs);
void mosT10Dif__GenT10DIFDataBuffer(const void *pData, T10Dif *pDifBuf, UINT32 metaTag, UINT32 combIndex,
                                    UINT32 offsetInComb, UINT32 sizeInLbs);
Mos_RC mosT10Dif_VerifyT10DIF(const void *pData, const T10Dif *pDifBuf, UINT32 metaTag, UINT32 combIndex,
                              UINT32 offsetInComb, UINT32 sizeInLbs, UINT64 obfuscationKey);
Mos_RC mosT10Dif_VerifyT10DIFBuffer(const void *pData, const T10Dif *pDifBuf, UINT32 metaTag, UINT32 combIndex,
                                    UINT32 offsetInComb, UINT32 sizeInLbs);
UINT16 mosT10Dif_GetZeroDifGuard(UINT64 obfuscationKey);
UINT16 mosT10Dif_GetEncryptedZeroGuard(UINT64 obfuscationKey);
void mosT10Dif_CreateEncryptedZeroDataAndDif(void *pData, T10Dif *pDifBuf, UINT32 metaTag, UINT32 combIndex,
                                             UINT32 offsetInComb, UINT32 sizeInLbs, UINT64 obfuscationKey);
Mos_RC mosT10Dif_VerifyZeroBuffer(const void *pData, const T10Dif *pDifBuf, UINT32 sizeInLbs);
Mos_RC mosT10Dif_CompareBuffer(const void *pData1, const T10Dif *pDifBuf1, const void *pData2,
                               const T10Dif *pDifBuf2, UINT32 sizeInLbs);
// XORs the data with the key and re-keys the guards; every guard is verified first, so on a
// mismatch neither data nor guards change. Its own inverse.
Mos_RC mosT10Dif_Encrypt(void *pData, T10Dif *pDifBuf, UINT32 metaTag, UINT32 combIndex, UINT32 offsetInComb,
                         UINT32 sizeInLbs, UINT64 obfuscationKey);
UINT16 mosT10Dif__DigestBlocks(const void *pData, UINT32 sizeInLbs);
// Self-test of the two guard methods: FALSE when the processor lacks PCLMULQDQ.
BOOL mosT10Dif__VerifyCrcImplIdentity(void);

inline bool operator==(const T10Dif &a, const T10Dif &b)
{
    return a.guard == b.guard;
}
