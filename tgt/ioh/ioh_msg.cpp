#include "tgt/ioh/ioh_msg.h"

#include "mos/mos_assert.h"
#include "mos/mos_trace.h"

namespace {

// How the buffers after the record are sized, in bytes per LB of the request.
struct IohShape {
    UINT32 msgType;
    UINT32 recordSize;
    UINT32 numOfBufs;
    UINT32 bytesPerLb[TGT_MSG__MAX_BUFS - 1]; // buffers 1.. ; 0: no such buffer
};

constexpr UINT32 kLb = 512, kDif = sizeof(T10Dif);

constexpr IohShape kShapes[] = {
    {TGT_MSG_TYPE__IO_READ_PRI, TGT_MSG__RECORD_SIZE, 1, {}},
    {TGT_MSG_TYPE__IO_READ_SEC, TGT_MSG__RECORD_SIZE, 1, {}},
    {TGT_MSG_TYPE__IO_WRITE_PRI, TGT_MSG__RECORD_SIZE, 3, {kLb, kDif}},
    {TGT_MSG_TYPE__IO_WRITE_SEC, TGT_MSG__RECORD_SIZE, 3, {kLb, kDif}},
    {TGT_MSG_TYPE__IO_WRITE_SEC_COPY, TGT_MSG__RECORD_SIZE, 3, {kLb, kDif}},
    {TGT_MSG_TYPE__IO_WRITE_DUMMY, 0, 0, {}}, // nothing of it is read
    {TGT_MSG_TYPE__IO_WRITE_PRI_ZERO, TGT_MSG__RECORD_SIZE, 3, {kLb, kDif}},
    {TGT_MSG_TYPE__IO_WRITE_SEC_ZERO, TGT_MSG__RECORD_SIZE, 3, {kLb, kDif}},
    {TGT_MSG_TYPE__IO_WRITE_TEST_A_SET, TGT_MSG__RECORD_SIZE, 5, {2 * kLb, 2 * kDif, kLb, kDif}},
    {TGT_MSG_TYPE__TRIM_PRI, TGT_MSG__RECORD_SIZE, 1, {}},
    {TGT_MSG_TYPE__TRIM_SEC, TGT_MSG__RECORD_SIZE, 1, {}},
    {TGT_MSG_TYPE__CHECK_FOR_ERROR, TGT_MSG__RECORD_SIZE, 1, {}},
    {TGT_MSG_TYPE__CLEAN_REMOTE_TOOTH_LIST, TGT_MSG__TOOTH_LIST_RECORD_SIZE, 1, {}},
    {TGT_MSG_TYPE__READ_COMB_BM, TGT_MSG__RECORD_SIZE, 1, {}},
    {TGT_MSG_TYPE__RESET_COMB_BM, TGT_MSG__RECORD_SIZE, 1, {}},
    {TGT_MSG_TYPE__GET_NEXT_TOOTH, TGT_MSG__RECORD_SIZE, 1, {}},
    {TGT_MSG_TYPE__READ_TOOTH_LIST, TGT_MSG__RECORD_SIZE, 1, {}},
    {TGT_MSG_TYPE__READ_COMB_FINE_DRL, TGT_MSG__RECORD_SIZE, 1, {}},
};

const IohShape *ioh_FindShape(UINT32 msgType)
{
    for (const IohShape &s : kShapes)
        if (s.msgType == msgType)
            return &s;
    return nullptr;
}

} // namespace

BOOL ioh_IsDataPathMsgType(UINT32 msgType) { return ioh_FindShape(msgType) != nullptr; }

BOOL ioh_MsgTypeIsRead(UINT32 msgType)
{
    switch (msgType) {
    case TGT_MSG_TYPE__IO_READ_PRI:
    case TGT_MSG_TYPE__IO_READ_SEC:
    case TGT_MSG_TYPE__CHECK_FOR_ERROR:
    case TGT_MSG_TYPE__READ_COMB_BM:
    case TGT_MSG_TYPE__GET_NEXT_TOOTH:
    case TGT_MSG_TYPE__READ_COMB_FINE_DRL:
        return TRUE;
    default:
        return FALSE;
    }
}

UINT32 ioh_MsgRecordSize(UINT32 msgType)
{
    const IohShape *pShape = ioh_FindShape(msgType);
    return pShape == nullptr ? 0 : pShape->recordSize;
}

Mos_RC ioh_ReqCheckShape(const IohReq *pReq, IohReqView *pView)
{
    pView->pReq = pReq;
    pView->sizeInLbs = 0;
    const IohShape *pShape = ioh_FindShape(pReq->msgType);
    if (pShape == nullptr)
        return MOS_RC__UNKNOWN_MSG;
    if (pShape->recordSize == 0)
        return MOS_RC__SUCCESS;
    if (pReq->numOfBufs != pShape->numOfBufs || pReq->bufs[0].p == nullptr ||
        pReq->bufs[0].len != pShape->recordSize) {
        MOS_ERROR(MOS_COMP_TGT_IOH, "Msg %u refused: %u buffers, record of %u bytes (want %u buffers, %u bytes)",
                  pReq->msgType, pReq->numOfBufs, pReq->numOfBufs > 0 ? pReq->bufs[0].len : 0, pShape->numOfBufs,
                  pShape->recordSize);
        return MOS_RC__INVALID;
    }
    if (pShape->numOfBufs == 1)
        return MOS_RC__SUCCESS;
    // Writes: both record forms keep sizeInLbs at byte 8.
    UINT32 sizeInLbs;
    memcpy(&sizeInLbs, static_cast<const UINT8 *>(pReq->bufs[0].p) + offsetof(TgtReq_IoWrite, sizeInLbs),
           sizeof(sizeInLbs));
    for (UINT32 i = 1; i < pShape->numOfBufs; i++) {
        UINT64 want = (UINT64)sizeInLbs * pShape->bytesPerLb[i - 1];
        if (pReq->bufs[i].len != want || (want != 0 && pReq->bufs[i].p == nullptr)) {
            MOS_ERROR(MOS_COMP_TGT_IOH, "Msg %u of size %u refused: buffer %u has %u bytes, want %lu", pReq->msgType,
                      sizeInLbs, i, pReq->bufs[i].len, (unsigned long)want);
            return MOS_RC__INVALID;
        }
    }
    pView->sizeInLbs = sizeInLbs;
    return MOS_RC__SUCCESS;
}

UINT32 ioh_PeerVersion(UINT32 peerVer) { return peerVer == TGT_PEER_VER__UNKNOWN ? TGT_PEER_VER__UNKNOWN_AS : peerVer; }

BOOL ioh_PeerHasDif(UINT32 peerVer) { return ioh_PeerVersion(peerVer) >= TGT_PEER_VER__FIRST_WITH_DIF; }

UINT32 ioh_DrlRspSize(UINT32 numOfBits, BOOL bIsFine)
{
    if (numOfBits == TGT_MSG__READ_COMB_DRL__OVERFLOW)
        return TGT_MSG__DRL_RSP_HEAD_SIZE;
    MOS_ASSERT(numOfBits <= TGT_MSG__READ_COMB_DRL__NUM_OF_BITS);
    return TGT_MSG__DRL_RSP_HEAD_SIZE + numOfBits * (bIsFine ? TGT_MSG__FINE_DRL_ENTRY_SIZE : TGT_MSG__DRL_ENTRY_SIZE);
}

UINT32 ioh_ConvertFineDrlToOld(const TgtRsp_ReadCombFineDrl *pFine, TgtRsp_ReadCombDrl *pOld)
{
    pOld->numOfBits = pFine->numOfBits;
    pOld->readCombDrlDataSize = TGT_MSG__DRL_ENTRY_SIZE;
    if (pFine->numOfBits != TGT_MSG__READ_COMB_DRL__OVERFLOW) {
        MOS_ASSERT(pFine->numOfBits <= TGT_MSG__READ_COMB_DRL__NUM_OF_BITS);
        for (UINT32 i = 0; i < pFine->numOfBits; i++)
            pOld->drlBuf[i] = pFine->drlBuf[i].data;
    }
    return ioh_DrlRspSize(pFine->numOfBits, FALSE);
}

Mos_RC ioh_ConvertOldDrlToFine(const void *pOld, UINT32 oldSizeInBytes, TgtRsp_ReadCombFineDrl *pFine)
{
    memset(pFine, 0, sizeof(*pFine));
    if (oldSizeInBytes < TGT_MSG__DRL_RSP_HEAD_SIZE)
        return MOS_RC__INVALID;
    const UINT8 *pBytes = static_cast<const UINT8 *>(pOld);
    UINT32 numOfBits, entrySize;
    memcpy(&numOfBits, pBytes, 4);
    memcpy(&entrySize, pBytes + 4, 4);
    BOOL bOverflow = numOfBits == TGT_MSG__READ_COMB_DRL__OVERFLOW;
    if (entrySize != TGT_MSG__DRL_ENTRY_SIZE ||
        (!bOverflow && (numOfBits > TGT_MSG__READ_COMB_DRL__NUM_OF_BITS ||
                        oldSizeInBytes < ioh_DrlRspSize(numOfBits, FALSE)))) {
        MOS_ERROR(MOS_COMP_TGT_IOH, "Old dirty list refused: %u entries of %u bytes in %u bytes", numOfBits,
                  entrySize, oldSizeInBytes);
        return MOS_RC__INVALID;
    }
    pFine->numOfBits = numOfBits;
    pFine->readCombDrlDataSize = TGT_MSG__FINE_DRL_ENTRY_SIZE;
    if (!bOverflow)
        for (UINT32 i = 0; i < numOfBits; i++)
            memcpy(&pFine->drlBuf[i].data, pBytes + TGT_MSG__DRL_RSP_HEAD_SIZE + i * TGT_MSG__DRL_ENTRY_SIZE,
                   TGT_MSG__DRL_ENTRY_SIZE);
    return MOS_RC__SUCCESS;
}
