#include "tgt/phy/tgt_t10dif.h"

#include "mos/mos_dbg.h"
#include "mos/mos_trace.h"
#include "mos/mos_utils_text.h"
#include "mos/mos_utils_scramble.h"
#include "tgt/phy/phy_layout.h"
#include "tgt/tgt_conf.h"

namespace {
constexpr UINT32 kGuardBytes = sizeof(T10Dif);

UINT64 guardBytesFor(UINT64 dataBytes) { return (dataBytes + LB_SIZE_IN_BYTES - 1) / LB_SIZE_IN_BYTES * kGuardBytes; }

// Walks a data list and its guard list together in pieces that lie inside one element of each,
// so that element boundaries of the two lists need not agree.
template <typename Fn>
Mos_RC forEachGuardedPiece(const NetSmallIov *pDataIov, const NetSmallIov *pDifIov, Fn fn)
{
    if (pDifIov->totalSizeOfData != guardBytesFor(pDataIov->totalSizeOfData)) {
        MOS_TRACE(MOS_COMP_T10DIF, MOS_FREQ_LOW, "(T10DIF) Guard list of %u bytes for %u data bytes",
                  pDifIov->totalSizeOfData, pDataIov->totalSizeOfData);
        return MOS_RC__INVALID;
    }
    UINT32 difIndex = 0;
    UINT32 difOffset = 0; // bytes used of guard element difIndex
    for (UINT32 i = 0; i < pDataIov->numOfUsedBuffers; i++) {
        UINT32 dataLen = 0;
        UINT8 *pData = static_cast<UINT8 *>(NET_IOV__GET(pDataIov, i, &dataLen));
        if (dataLen % LB_SIZE_IN_BYTES != 0) {
            MOS_TRACE(MOS_COMP_T10DIF, MOS_FREQ_LOW, "(T10DIF) Data element %u of %u bytes is not whole blocks", i,
                      dataLen);
            return MOS_RC__INVALID;
        }
        UINT32 lbsLeft = dataLen / LB_SIZE_IN_BYTES;
        while (lbsLeft > 0) {
            UINT32 difLen = 0;
            UINT8 *pDif = static_cast<UINT8 *>(NET_IOV__GET(pDifIov, difIndex, &difLen));
            UINT32 guardsHere = (difLen - difOffset) / kGuardBytes;
            if (guardsHere == 0) { // an element exhausted, or an odd byte left over
                if (difLen - difOffset != 0) {
                    MOS_TRACE(MOS_COMP_T10DIF, MOS_FREQ_LOW, "(T10DIF) Guard element %u of odd length %u", difIndex,
                              difLen);
                    return MOS_RC__INVALID;
                }
                difIndex++;
                difOffset = 0;
                continue;
            }
            UINT32 n = MOS_MIN(lbsLeft, guardsHere);
            Mos_RC rc = fn(pData, reinterpret_cast<T10Dif *>(pDif + difOffset), n);
            if (rc != MOS_RC__SUCCESS)
                return rc;
            pData += (size_t)n * LB_SIZE_IN_BYTES;
            difOffset += n * kGuardBytes;
            lbsLeft -= n;
        }
    }
    return MOS_RC__SUCCESS;
}
} // namespace

void tgtT10Dif_Init(void) {}

void tgtT10Dif_VerifyFailure(MosDiagCounterType counter)
{
    if (tgtInitParam_G.bT10DifRestartWhenVerifyFail)
        Exp(1);
    mosDiagCounters_Count(counter);
}

Mos_RC tgtT10Dif_VerifyT10DIFIov(const NetSmallIov *pDataIov, const NetSmallIov *pDifIov)
{
    return forEachGuardedPiece(pDataIov, pDifIov, [](UINT8 *pData, T10Dif *pDif, UINT32 lbs) {
        return mosT10Dif_VerifyT10DIFBuffer(pData, pDif, 0, 0, 0, lbs);
    });
}

void tgtT10Dif_GenT10DIFIov(const NetSmallIov *pDataIov, NetSmallIov *pDifIov, UINT32 numOfElements)
{
    Exp(pDataIov->numOfUsedBuffers != numOfElements || pDifIov->numOfUsedBuffers != numOfElements);
    for (UINT32 i = 0; i < numOfElements; i++) {
        UINT32 dataLen = 0;
        UINT32 difLen = 0;
        void *pData = NET_IOV__GET(pDataIov, i, &dataLen);
        void *pDif = NET_IOV__GET(pDifIov, i, &difLen);
        Exp(difLen < guardBytesFor(dataLen));
        mosT10Dif_GenT10DIF(pData, static_cast<T10Dif *>(pDif), 0, 0, 0, dataLen / LB_SIZE_IN_BYTES);
    }
}

Mos_RC tgtT10Dif_EncryptIov(NetSmallIov *pDataIov, NetSmallIov *pDifIov, UINT64 key)
{
    if (key == 0)
        return MOS_RC__SUCCESS;
    return forEachGuardedPiece(pDataIov, pDifIov, [key](UINT8 *pData, T10Dif *pDif, UINT32 lbs) {
        return mosT10Dif_Encrypt(pData, pDif, 0, 0, 0, lbs, key);
    });
}

// Without guard checking the data is only obfuscated. With it, a write that brought no guards
// gets them here, over the data as it will be stored; one that brought guards has them verified
// and re-keyed together with the data.
Mos_RC tgtT10Dif_HandleWritePri(void *pData, T10Dif *pDif, UINT32 sizeInLbs, UINT64 key, WrIoFlags wrFlags,
                                UINT32 requestFlags)
{
    if (!wrFlags.bT10Dif) {
        if (key != 0 && pData != nullptr)
            mos_Encrypt(pData, sizeInLbs, key);
        return MOS_RC__SUCCESS;
    }
    if ((requestFlags & TGT_IO_WR__T10DIF_ATTACHED) == 0) {
        if (key != 0 && pData != nullptr)
            mos_Encrypt(pData, sizeInLbs, key);
        mosDiagCounters_Count(MOS_DIAG_COUNTER__T10DIF_GEN_WR_PRI);
        mosT10Dif_GenT10DIF(wrFlags.bZeroWrite ? nullptr : pData, pDif, 0, 0, 0, sizeInLbs);
        return MOS_RC__SUCCESS;
    }
    if (key != 0) {
        mosDiagCounters_Count(MOS_DIAG_COUNTER__T10DIF_ENCRYPT_WR_PRI);
        return mosT10Dif_Encrypt(pData, pDif, 0, 0, 0, sizeInLbs, key);
    }
    return MOS_RC__SUCCESS;
}
