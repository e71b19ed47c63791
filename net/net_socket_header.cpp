#include "net/net_socket_header.h"

#include <cstring>

#include "mos/mos_dbg.h"
#include "common/net_msg_types.h"
#include "mos/mos_trace.h"

// Word 6 of these frames carries the sender's identity or nothing, never a payload length.
BOOL socketHeader_IsControlType(UINT32 type)
{
    return type == SOCKET_HEADER_TYPE__NEW_CON || type == SOCKET_HEADER_TYPE__KEEPALIVE ||
           type == SOCKET_HEADER_TYPE__NEW_SSL_CON || type == SOCKET_HEADER_TYPE__RESPONSE;
}

namespace {
BOOL socketHeader_IsControl(UINT32 prop)
{
    return socketHeader_IsControlType(SOCKET_HEADER__GET_HEADER_TYPE(prop));
}
} // namespace

SocketHeader_Placement socketHeader_Place(UINT32 total, UINT32 firstBufLen)
{
    if (total != 0 && firstBufLen <= SOCKET_HEADER__DATA_SIZE_BYTES) {
        const UINT32 inExt = MOS_MIN(total, SOCKET_HEADER__DATA_SIZE_BYTES);
        return {SOCKET_HEADER__CONT_SIZE_BYTES, SOCKET_HEADER__DATA_SIZE_BYTES - inExt, inExt};
    }
    return {SOCKET_HEADER__TOTAL_SIZE_BYTES, 0, 0};
}

UINT32 socketHeader_WireSize(UINT32 total, UINT32 firstBufLen)
{
    const SocketHeader_Placement p = socketHeader_Place(total, firstBufLen);
    return p.headBytes + total + p.padBytes;
}

BOOL netPath_IsHeaderValid(const Socket_Header *pHeader, UINT32 maxDataLen)
{
    const UINT32 prop = pHeader->prop;
    const UINT32 version = SOCKET_HEADER__GET_NET_VERSION(prop);
    if (version != SOCKET_HEADER_VERSION && version != SOCKET_HEADER_VERSION__IGNORE) {
        MOS_TRACE(MOS_COMP_NET, MOS_FREQ_LOW, "Illegal header version(%x)", version);
        return FALSE;
    }
    if (SOCKET_HEADER__GET_HEADER_PREFIX(prop) != SOCKET_HEADER_PREFIX) {
        MOS_TRACE(MOS_COMP_NET, MOS_FREQ_LOW, "Illegal header prefix(%x)", SOCKET_HEADER__GET_HEADER_PREFIX(prop));
        return FALSE;
    }
    if (socketHeader_IsControl(prop))
        return TRUE;
    if (pHeader->dataLen < pHeader->dataLenInExt || pHeader->dataLenInExt > SOCKET_HEADER__DATA_SIZE_BYTES) {
        MOS_TRACE(MOS_COMP_NET, MOS_FREQ_LOW, "Unexpected data length - dataLen(%u) dataLenInExt(%u)",
                  pHeader->dataLen, pHeader->dataLenInExt);
        return FALSE;
    }
    if (pHeader->dataLen > maxDataLen) {
        MOS_TRACE(MOS_COMP_NET, MOS_FREQ_LOW, "Data length above the maximum - dataLen(%u) maximum(%u)",
                  pHeader->dataLen, maxDataLen);
        return FALSE;
    }
    return TRUE;
}

void socketHeader_FillData(Socket_ExtendedHeader *pHead, NetMsgType msgType, Context context, UINT32 grpId,
                           UINT32 msgId, UINT32 chanNum)
{
    Socket_Header *pHdr = &pHead->header;
    // Owner bits stay 0 in data frames whoever sends them.
    pHdr->prop = SOCKET_HEADER_STATIC | ((UINT32)msgType & SOCKET_HEADER_TYPE__MASK);
    pHdr->context = context;
    pHdr->grpID = grpId;
    pHdr->msgID = msgId;
    pHdr->chanNum = chanNum;
}

Mos_RC socketHeader_PrepareWire(Socket_ExtendedHeader *pHead, const NetSmallIov *pPayload, NetSmallIov *pWire,
                                UINT32 maxDataLen)
{
    NET_IOV__VALIDATE_INIT(pPayload, "socketHeader_PrepareWire");
    NET_IOV__VALIDATE_INIT(pWire, "socketHeader_PrepareWire");
    MOS_ASSERT(pWire->numOfUsedBuffers == 0 && pWire->numOfNetBufs == 0);
    Socket_Header *pHdr = &pHead->header;
    const UINT32 total = pPayload->totalSizeOfData;
    const UINT32 first = pPayload->numOfUsedBuffers == 0 ? 0 : (UINT32)pPayload->buf[0].iov_len;
    const SocketHeader_Placement place = socketHeader_Place(total, first);
    pHdr->dataLen = total;
    if (!socketHeader_IsControl(pHdr->prop))
        pHdr->dataLenInExt = place.dataLenInExt;
    else
        MOS_ASSERT_WITH_DESC(total == 0, "a control frame carries no payload");
    if (!netPath_IsHeaderValid(pHdr, maxDataLen)) {
        MOS_TRACE(MOS_COMP_NET, MOS_FREQ_LOW, "ASSERT condition (%s) failed.", "netPath_IsHeaderValid(pHeader)");
        return MOS_RC__INVALID;
    }
    netIov_AddNetBuf(pWire, pHead, place.headBytes);
    netIov_AddIov(pWire, pPayload);
    if (place.padBytes != 0)
        netIov_AddBuffer(pWire, pHead->metaData + place.dataLenInExt, place.padBytes,
                         NET_IOV_BUF_TYPE__NET_STATIC_PADDING);
    return MOS_RC__SUCCESS;
}

void socketHeader_PrepareControlWire(Socket_ExtendedHeader *pHead, NetSmallIov *pWire)
{
    NET_IOV__VALIDATE_INIT(pWire, "socketHeader_PrepareControlWire");
    MOS_ASSERT(pWire->numOfUsedBuffers == 0 && pWire->numOfNetBufs == 0);
    netIov_AddNetBuf(pWire, pHead, SOCKET_HEADER__TOTAL_SIZE_BYTES);
}

UINT32 socketHeader_ScatterInHeadData(const Socket_ExtendedHeader *pHead, NetSmallIov *pDst)
{
    NET_IOV__VALIDATE_INIT(pDst, "socketHeader_ScatterInHeadData");
    const UINT32 inExt = pHead->header.dataLenInExt;
    // The head passed validation, so inExt <= 100 and <= dataLen; the buffers hold dataLen.
    MOS_ASSERT(inExt <= SOCKET_HEADER__DATA_SIZE_BYTES && inExt <= pDst->totalSizeOfData);
    UINT32 copied = 0;
    for (UINT32 i = 0; i < pDst->numOfUsedBuffers && copied < inExt; i++) {
        const UINT32 piece = MOS_MIN((UINT32)pDst->buf[i].iov_len, inExt - copied);
        memcpy(pDst->buf[i].iov_base, pHead->metaData + copied, piece);
        copied += piece;
    }
    return copied;
}

void socketHeader_FillNewCon(Socket_ExtendedHeader *pHead, NetOwnerType ownerType, UINT64 conId, UINT32 version,
                             const NetIdentifier *pId)
{
    Socket_Header *pHdr = &pHead->header;
    pHdr->prop = SOCKET_HEADER__SET_OWNER_TYPE(SOCKET_HEADER_PROP__NEW_CON, ownerType);
    pHdr->dataLen = (UINT32)conId;
    pHdr->context = (UINT32)(conId >> 32);
    pHdr->ka_MosVersion = version;
    pHdr->ka_NetIdTimeStamp = pId->timeStamp;
    pHdr->ka_NetIdMagicNumber = pId->magicNumber;
}

void socketHeader_FillKeepAlive(Socket_ExtendedHeader *pHead, UINT32 version, const NetIdentifier *pId)
{
    memset(pHead, 0, sizeof(*pHead));
    Socket_Header *pHdr = &pHead->header;
    pHdr->prop = SOCKET_HEADER_PROP__KEEPALIVE;
    pHdr->context = NET_MSG_TYPE__NET_KA;
    pHdr->grpID = NET__RECV_GROUP__KA;
    pHdr->ka_MosVersion = version;
    pHdr->ka_NetIdTimeStamp = pId->timeStamp;
    pHdr->ka_NetIdMagicNumber = pId->magicNumber;
}

void socketHeader_FillNewSslCon(Socket_ExtendedHeader *pHead)
{
    memset(pHead, 0, sizeof(*pHead));
    pHead->header.prop = SOCKET_HEADER_PROP__NEW_SSL_CON;
}

void socketHeader_FillResponse(Socket_ExtendedHeader *pHead, Mos_RC rc)
{
    memset(pHead, 0, sizeof(*pHead));
    pHead->header.prop = SOCKET_HEADER_PROP__RESPONSE;
    pHead->header.msgID = SOCKET_HEADER_TYPE__NEW_SSL_CON;
    pHead->header.responseRC = (UINT32)rc;
}
