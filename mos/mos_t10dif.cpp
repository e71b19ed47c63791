#include "mos/mos_t10dif.h"
#include "mos/mos_t10dif_intrn.h"

#include <cstdlib>
#include <cstring>

#include "mos/mos_assert.h"
#include "mos/mos_trace.h"
#include "mos/mos_utils_scramble.h"

namespace {

constexpr size_t LB = MOS_LB_SIZE;

inline UINT16 lbGuard(const UINT8 *pLb)
{
    return mosT10Dif_CrcImpl(0, pLb, LB);
}

inline UINT32 firstWord(const void *pData)
{
    UINT32 w;
    memcpy(&w, pData, sizeof(w));
    return w;
}

} // namespace

constinit MosT10Dif_CrcFunc mosT10Dif_CrcImpl = mos_generic_t10dif_crc;

Mos_RC mosT10Dif_Init(void *pArg)
{
    MOS_UNUSED(pArg);
    if (crc_t10dif_pcl_IsAvailable()) {
        mosT10DifPlat_SelectMethods();
        mosT10Dif_CrcImpl = crc_t10dif_pcl;
        MOS_TRACE(MOS_COMP_T10DIF, MOS_FREQ_LOW, "(T10DIF) T10DIF layer using CPU (PCLMUL) acceleration !!!");
    } else {
        mosT10Dif_CrcImpl = mos_generic_t10dif_crc;
        MOS_TRACE(MOS_COMP_T10DIF, MOS_FREQ_LOW,
                  "(T10DIF) T10DIF layer built with CPU (PCLMUL) acceleration,  using generic impl !!!");
    }
    alignas(16) static const UINT8 zeroLb[LB] = {};
    const UINT16 checksum = lbGuard(zeroLb);
    MOS_ASSERT(checksum == t10dif_ZeroBufGuard_G);
    return MOS_RC__SUCCESS;
}

void mosT10Dif_Destroy(void) {}

void mosT10Dif__GenT10DIFDataBuffer(const void *pData, T10Dif *pDifBuf, UINT32 metaTag, UINT32 combIndex,
                                    UINT32 offsetInComb, UINT32 sizeInLbs)
{
    MOS_UNUSED(metaTag);
    MOS_UNUSED(combIndex);
    MOS_UNUSED(offsetInComb);
    MOS_ASSERT(sizeInLbs > 0);
    const UINT8 *p = static_cast<const UINT8 *>(pData);
    for (UINT32 blk = 0; blk < sizeInLbs; blk++)
        pDifBuf[blk].guard = lbGuard(p + static_cast<size_t>(blk) * LB);
}

void mosT10Dif_GenT10DIF(const void *pData, T10Dif *pDifBuf, UINT32 metaTag, UINT32 combIndex,
                         UINT32 offsetInComb, UINT32 sizeInLbs)
{
    MOS_ASSERT(sizeInLbs > 0);
    if (pData == nullptr) {
        for (UINT32 blk = 0; blk < sizeInLbs; blk++)
            pDifBuf[blk].guard = t10dif_ZeroBufGuard_G;
        return;
    }
    mosT10Dif__GenT10DIFDataBuffer(pData, pDifBuf, metaTag, combIndex, offsetInComb, sizeInLbs);
}

Mos_RC mosT10Dif_VerifyT10DIFBuffer(const void *pData, const T10Dif *pDifBuf, UINT32 metaTag, UINT32 combIndex,
                                    UINT32 offsetInComb, UINT32 sizeInLbs)
{
    MOS_UNUSED(metaTag);
    MOS_UNUSED(combIndex);
    MOS_UNUSED(offsetInComb);
    MOS_ASSERT(sizeInLbs > 0);
    const UINT8 *p = static_cast<const UINT8 *>(pData);
    for (UINT32 blk = 0; blk < sizeInLbs; blk++) {
        const UINT8 *pLb = p + static_cast<size_t>(blk) * LB;
        const UINT16 computed = lbGuard(pLb);
        if (computed != pDifBuf[blk].guard) {
            MOS_TRACE(MOS_COMP_T10DIF, MOS_FREQ_LOW,
                      "(T10DIF) DIF Verification Failed: blk=%u, pData=%p, pDif=%p, computed_guard=%04x, "
                      "DIF_guard=%04x",
                      blk, (const void *)pLb, (const void *)&pDifBuf[blk], computed, pDifBuf[blk].guard);
            return MOS_RC__LOGICAL_BLOCK_CHECK_GUARD_FAILED;
        }
    }
    return MOS_RC__SUCCESS;
}

Mos_RC mosT10Dif_VerifyT10DIF(const void *pData, const T10Dif *pDifBuf, UINT32 metaTag, UINT32 combIndex,
                              UINT32 offsetInComb, UINT32 sizeInLbs, UINT64 obfuscationKey)
{
    MOS_ASSERT(sizeInLbs > 0);
    if (pData != nullptr)
        return mosT10Dif_VerifyT10DIFBuffer(pData, pDifBuf, metaTag, combIndex, offsetInComb, sizeInLbs);

    const UINT16 zeroGuard = mosT10Dif_GetZeroDifGuard(obfuscationKey);
    for (UINT32 blk = 0; blk < sizeInLbs; blk++) {
        if (pDifBuf[blk].guard != zeroGuard) {
            MOS_TRACE(MOS_COMP_T10DIF, MOS_FREQ_LOW,
                      "(T10DIF) DIF Zero Verification Failed: blk=%u, pDif=%p, computed_guard=%04x, DIF_guard=%04x",
                      blk, (const void *)&pDifBuf[blk], zeroGuard, pDifBuf[blk].guard);
            return MOS_RC__LOGICAL_BLOCK_CHECK_GUARD_FAILED;
        }
    }
    return MOS_RC__SUCCESS;
}

UINT16 mosT10Dif_GetEncryptedZeroGuard(UINT64 obfuscationKey)
{
    alignas(16) UINT8 lb[LB];
    mos_InitEncryptedZero(lb, 1, obfuscationKey);
    return lbGuard(lb);
}

UINT16 mosT10Dif_GetZeroDifGuard(UINT64 obfuscationKey)
{
    return obfuscationKey == 0 ? t10dif_ZeroBufGuard_G : mosT10Dif_GetEncryptedZeroGuard(obfuscationKey);
}

void mosT10Dif_CreateEncryptedZeroDataAndDif(void *pData, T10Dif *pDifBuf, UINT32 metaTag, UINT32 combIndex,
                                             UINT32 offsetInComb, UINT32 sizeInLbs, UINT64 obfuscationKey)
{
    MOS_UNUSED(metaTag);
    MOS_UNUSED(combIndex);
    MOS_UNUSED(offsetInComb);
    MOS_ASSERT(obfuscationKey != 0);
    MOS_ASSERT(sizeInLbs > 0);
    mos_InitEncryptedZero(pData, sizeInLbs, obfuscationKey);
    const UINT16 guard = mosT10Dif_GetEncryptedZeroGuard(obfuscationKey);
    for (UINT32 blk = 0; blk < sizeInLbs; blk++)
        pDifBuf[blk].guard = guard;
}

Mos_RC mosT10Dif_VerifyZeroBuffer(const void *pData, const T10Dif *pDifBuf, UINT32 sizeInLbs)
{
    MOS_ASSERT(sizeInLbs > 0);
    for (UINT32 blk = 0; blk < sizeInLbs; blk++) {
        if (pDifBuf[blk].guard != t10dif_ZeroBufGuard_G) {
            MOS_TRACE(MOS_COMP_T10DIF, MOS_FREQ_LOW,
                      "(T10DIF) DIF Zero Verification Failed: blk=%u, pDif=%p, computed_guard=%04x, DIF_guard=%04x",
                      blk, (const void *)&pDifBuf[blk], t10dif_ZeroBufGuard_G, pDifBuf[blk].guard);
            return MOS_RC__LOGICAL_BLOCK_CHECK_GUARD_FAILED;
        }
    }
    const UINT8 *p = static_cast<const UINT8 *>(pData);
    const size_t bytes = static_cast<size_t>(sizeInLbs) * LB;
    // Compare the buffer with itself shifted by one byte: all equal and the first byte 0.
    if (p[0] != 0 || memcmp(p, p + 1, bytes - 1) != 0)
        return MOS_RC__FALSE;
    return MOS_RC__TRUE;
}

Mos_RC mosT10Dif_CompareBuffer(const void *pData1, const T10Dif *pDifBuf1, const void *pData2,
                               const T10Dif *pDifBuf2, UINT32 sizeInLbs)
{
    Mos_RC rc = mosT10Dif_VerifyT10DIFBuffer(pData1, pDifBuf1, 0, 0, 0, sizeInLbs);
    if (rc != MOS_RC__SUCCESS)
        return rc;
    rc = mosT10Dif_VerifyT10DIFBuffer(pData2, pDifBuf2, 0, 0, 0, sizeInLbs);
    if (rc != MOS_RC__SUCCESS)
        return rc;
    return memcmp(pData1, pData2, static_cast<size_t>(sizeInLbs) * LB) == 0 ? MOS_RC__TRUE : MOS_RC__FALSE;
}

Mos_RC mosT10Dif_Encrypt(void *pData, T10Dif *pDifBuf, UINT32 metaTag, UINT32 combIndex, UINT32 offsetInComb,
                         UINT32 sizeInLbs, UINT64 obfuscationKey)
{
    MOS_UNUSED(metaTag);
    MOS_UNUSED(combIndex);
    MOS_UNUSED(offsetInComb);
    if (obfuscationKey == 0)
        return MOS_RC__SUCCESS;
    MOS_ASSERT(sizeInLbs > 0);
    UINT8 *p = static_cast<UINT8 *>(pData);

    MOS_TRACE(MOS_COMP_T10DIF, MOS_FREQ_HIGH,
              "(T10DIF) Encrypt & fix DIF checksum (before): pData=%p, *pData=%x, pDif=%p, DIX[0]=%04x, sizeInLbs=%x",
              pData, firstWord(pData), (void *)pDifBuf, pDifBuf[0].guard, sizeInLbs);

    // Every block is checked before any is converted: a corrupt block must never leave here
    // with a fresh guard that matches it, nor a half-converted buffer.
    for (UINT32 blk = 0; blk < sizeInLbs; blk++) {
        const UINT16 computed = lbGuard(p + static_cast<size_t>(blk) * LB);
        if (computed != pDifBuf[blk].guard) {
            MOS_TRACE(MOS_COMP_T10DIF, MOS_FREQ_LOW,
                      "(T10DIF) Encrypt with DIF failed verification: pData=%p, *pData=%x, pDif=%p, DIX[0]=%04x, "
                      "sizeInLbs=%x, blk=%u, DIX[%u]={expected=%x, computed=%u}",
                      pData, firstWord(pData), (void *)pDifBuf, pDifBuf[0].guard, sizeInLbs, blk, blk,
                      pDifBuf[blk].guard, computed);
            return MOS_RC__LOGICAL_BLOCK_CHECK_GUARD_FAILED;
        }
    }

    mos_Encrypt(pData, sizeInLbs, obfuscationKey);
    for (UINT32 blk = 0; blk < sizeInLbs; blk++)
        pDifBuf[blk].guard = lbGuard(p + static_cast<size_t>(blk) * LB);

    MOS_TRACE(MOS_COMP_T10DIF, MOS_FREQ_HIGH,
              "(T10DIF) Encrypt & fix DIF checksum (after): pData=%p, *pData=%x, pDif=%p, DIX[0]=%04x, sizeInLbs=%x",
              pData, firstWord(pData), (void *)pDifBuf, pDifBuf[0].guard, sizeInLbs);
    return MOS_RC__SUCCESS;
}

UINT16 mosT10Dif__DigestBlocks(const void *pData, UINT32 sizeInLbs)
{
    return mosT10Dif_CrcImpl(0, static_cast<const UINT8 *>(pData), static_cast<size_t>(sizeInLbs) * LB);
}

BOOL mosT10Dif__VerifyCrcImplIdentity(void)
{
    if (!crc_t10dif_pcl_IsAvailable())
        return FALSE;
    UINT8 buf[2 * LB];
    for (UINT8 &b : buf)
        b = static_cast<UINT8>(lrand48() & 0xFF);
    UINT16 difGeneric[2], difPCLMUL[2];
    for (int blk = 0; blk < 2; blk++) {
        difGeneric[blk] = mos_generic_t10dif_crc(0, buf + blk * LB, LB);
        difPCLMUL[blk] = crc_t10dif_pcl(0, buf + blk * LB, LB);
    }
    MOS_ASSERT(memcmp(difGeneric,difPCLMUL,sizeof(difPCLMUL)) == 0);
    return TRUE;
}
