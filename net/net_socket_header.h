// The frame head: every frame between two processes of the system begins with the same 128 bytes.
//
// Layout. Seven 32-bit little-endian words (Socket_Header, 28 bytes) and a 100-byte extension
// area (metaData) in which a short payload travels inside the head. Words 4, 5 and 6 are unions:
// one slot with several names, read by the name that the frame type selects. There is no checksum
// and no length of the head itself; a stream is a plain sequence of frames, so one bad head ends
// the stream (there is nothing to resynchronise on).
//
// Placement of a payload of `total` bytes whose first buffer holds `first` bytes:
//   - total != 0 and first <= 100: the 28-byte header goes out followed directly by the payload,
//     so min(total, 100) payload bytes land in the head's extension area (dataLenInExt); a payload
//     shorter than 100 bytes is padded from the sender's own extension area;
//   - otherwise (empty payload, or a first buffer longer than 100): the whole 128-byte head goes
//     out as it stands, then the payload, and dataLenInExt is 0.
// Either way the wire list points at the caller's buffers: no payload byte is copied.
//
// Validity (netPath_IsHeaderValid) is the only gate between the network and every later
// interpretation of a head. Beyond the fixed rules it bounds dataLen by a configured maximum:
// a receiver sizes its buffers from dataLen, and a length a peer announced is never allocated
// without that bound.
#pragma once

#include <cstddef>

#include "mos/env/mos_net_iov.h"
#include "mos/mos_rc.h"
#include "mos/mos_types.h"

typedef UINT32 Context;

#define SOCKET_HEADER__CONT_SIZE_BYTES 28u
#define SOCKET_HEADER__TOTAL_SIZE_BYTES 128u
#define SOCKET_HEADER__DATA_SIZE_BYTES 100u

enum SocketHeaderOffset : UINT32 {
    SOCKET_HEADER_OFFSET__PROP = 0,
    SOCKET_HEADER_OFFSET__LEN = 1,
    SOCKET_HEADER_OFFSET__CON_ID = 1,
    SOCKET_HEADER_OFFSET__CONTEXT = 2,
    SOCKET_HEADER_OFFSET__GRP_ID = 3,
    SOCKET_HEADER_OFFSET__MSG_ID = 4,
    SOCKET_HEADER_OFFSET__CHAN_NUM = 5,
    SOCKET_HEADER_OFFSET__EXT_LEN = 6,
    SOCKET_HEADER_OFFSET__COUNT = 7,
};

// The properties word: prefix (31-16), owner type (15-12), frame type (11-8), version (7-0).
#define SOCKET_HEADER_PREFIX_MASK 0xFFFF0000u
#define SOCKET_HEADER_PREFIX 0x42890000u
#define SOCKET_OWNER_TYPE__MASK 0x0000F000u
#define SOCKET_HEADER_TYPE__MASK 0x00000F00u
#define SOCKET_HEADER_VERSION__MASK 0x000000FFu
#define SOCKET_HEADER_VERSION 0x41u
#define SOCKET_HEADER_VERSION__IGNORE 0xFFu
#define SOCKET_HEADER_STATIC (SOCKET_HEADER_PREFIX | SOCKET_HEADER_VERSION)
#define SOCKET_HEADER_STATIC_IGNORE (SOCKET_HEADER_PREFIX | SOCKET_HEADER_VERSION__IGNORE)

// Frame types, already shifted into bits 11-8.
enum SocketHeaderType : UINT32 {
    SOCKET_HEADER_TYPE__NONE = 0x000,
    SOCKET_HEADER_TYPE__NOTIF = 0x100,
    SOCKET_HEADER_TYPE__SND_RCV = 0x200,
    SOCKET_HEADER_TYPE__SND_RCV_CB = 0x300,
    SOCKET_HEADER_TYPE__NEW_CON = 0x400,
    SOCKET_HEADER_TYPE__LOOPBACK = 0x500, // defined, never sent
    SOCKET_HEADER_TYPE__KEEPALIVE = 0x600,
    SOCKET_HEADER_TYPE__NEW_SSL_CON = 0x700,
    SOCKET_HEADER_TYPE__RESPONSE = 0x800,
};

// The kind of a message in the upper layers: the same numbers, so it is or-ed into prop as is.
enum NetMsgType : UINT32 {
    NET_MSG_TYPE__NONE = 0,
    NET_MSG_TYPE__NOTIFICATION = 256,
    NET_MSG_TYPE__SNDRCV = 512,
    NET_MSG_TYPE__SNDRCV_CB = 768,
    NET_MSG_TYPE__CNTRL_NEW_CON = 1024,
    NET_MSG_TYPE__CNTRL_KEEPALIVE = 1536,
};

// Owner types, already shifted into bits 15-12; sent only in NEW_CON.
enum NetOwnerType : UINT32 {
    NET_OWNER_TYPE__NONE = 0,
    NET_OWNER_TYPE__TGT = 0x1000,
    NET_OWNER_TYPE__INI = 0x2000,
    NET_OWNER_TYPE__OSTREL = 0x3000,
    NET_OWNER_TYPE__SIM = 0x4000,
    NET_OWNER_TYPE__CLI = 0x5000,
    NET_OWNER_TYPE__CLS = 0x6000,
    NET_OWNER_TYPE__YARRIN = 0x7000,
    NET_OWNER_TYPE__OSTREL_S = 0x8000,
    NET_OWNER_TYPE__SMS = 0x9000,
};

enum SocketHeaderProp : UINT32 {
    SOCKET_HEADER_PROP__NONE = SOCKET_HEADER_STATIC | SOCKET_HEADER_TYPE__NONE,
    SOCKET_HEADER_PROP__NOTIF = SOCKET_HEADER_STATIC | SOCKET_HEADER_TYPE__NOTIF,
    SOCKET_HEADER_PROP__SND_RCV = SOCKET_HEADER_STATIC | SOCKET_HEADER_TYPE__SND_RCV,
    SOCKET_HEADER_PROP__SND_RCV_CB = SOCKET_HEADER_STATIC | SOCKET_HEADER_TYPE__SND_RCV_CB,
    SOCKET_HEADER_PROP__NEW_CON = SOCKET_HEADER_STATIC | SOCKET_HEADER_TYPE__NEW_CON,
    SOCKET_HEADER_PROP__LOOPBACK = SOCKET_HEADER_STATIC | SOCKET_HEADER_TYPE__LOOPBACK,
    SOCKET_HEADER_PROP__KEEPALIVE = SOCKET_HEADER_STATIC | SOCKET_HEADER_TYPE__KEEPALIVE,
    SOCKET_HEADER_PROP__NEW_SSL_CON = SOCKET_HEADER_STATIC | SOCKET_HEADER_TYPE__NEW_SSL_CON,
    SOCKET_HEADER_PROP__RESPONSE = SOCKET_HEADER_STATIC | SOCKET_HEADER_TYPE__RESPONSE,
    SOCKET_HEADER_PROP__KEEPALIVE_IGNORE_VERSION = SOCKET_HEADER_STATIC_IGNORE | SOCKET_HEADER_TYPE__KEEPALIVE,
};
static_assert(SOCKET_HEADER_PROP__NEW_SSL_CON == 0x42890741u && SOCKET_HEADER_PROP__KEEPALIVE_IGNORE_VERSION == 0x428906FFu);

// Fields of prop, masked and unshifted.
#define SOCKET_HEADER__GET_HEADER_TYPE(prop) ((prop) & SOCKET_HEADER_TYPE__MASK)
#define SOCKET_HEADER__GET_OWNER_TYPE(prop) ((prop) & SOCKET_OWNER_TYPE__MASK)
#define SOCKET_HEADER__GET_NET_VERSION(prop) ((prop) & SOCKET_HEADER_VERSION__MASK)
#define SOCKET_HEADER__GET_HEADER_PREFIX(prop) ((prop) & SOCKET_HEADER_PREFIX_MASK)
#define SOCKET_HEADER__RESET_OWNER_TYPE(prop) ((prop) & ~SOCKET_OWNER_TYPE__MASK)
#define SOCKET_HEADER__SET_OWNER_TYPE(prop, owner)                                                  \
    (SOCKET_HEADER__RESET_OWNER_TYPE(prop) | ((UINT32)(owner) & SOCKET_OWNER_TYPE__MASK))
// NEW_CON and KEEPALIVE carry the sender's identity; only KEEPALIVE is read for its version.
#define SOCKET_HEADER_PROP_HAS__PEER_ID(prop) (((prop) & 0xD00u) == 0x400u)
#define SOCKET_HEADER_PROP_HAS__PEER_VERSION(prop) (SOCKET_HEADER__GET_HEADER_TYPE(prop) == SOCKET_HEADER_TYPE__KEEPALIVE)

// Receive groups that this layer itself knows (the others belong to the upper layers).
#define NET__RECV_GROUP__NONE 0u
#define NET__RECV_GROUP__KA 1u
#define NET__RECV_GROUP__DEF 2u

// The identity of one incarnation of a process.
struct NetIdentifier {
    UINT32 timeStamp;
    UINT32 magicNumber;
};
static_assert(sizeof(NetIdentifier) == 8);
#define NET_ID_TIME_STAMP_UNKNOWN 0u
#define NET_ID_MAGIC_NUMBER_UNKNOWN 0u
#define NET_ID__IS_KNOWN(pId)                                                                       \
    ((pId)->timeStamp != NET_ID_TIME_STAMP_UNKNOWN && (pId)->magicNumber != NET_ID_MAGIC_NUMBER_UNKNOWN)
#define NET_ID__IS_MATCH(pA, pB) ((pA)->timeStamp == (pB)->timeStamp && (pA)->magicNumber == (pB)->magicNumber)
#define NET_ID__RESET(pId)                                                                          \
    do {                                                                                            \
        (pId)->timeStamp = NET_ID_TIME_STAMP_UNKNOWN;                                               \
        (pId)->magicNumber = NET_ID_MAGIC_NUMBER_UNKNOWN;                                           \
    } while (0)

struct __attribute__((packed)) Socket_Header {
    UINT32 prop;
    UINT32 dataLen; // NEW_CON: low word of the connection id
    Context context; // NEW_CON: high word of the connection id
    UINT32 grpID;
    union {
        UINT32 msgID;
        UINT32 ka_MosVersion;
    };
    union {
        UINT32 chanNum;
        UINT32 ka_NetIdTimeStamp;
        UINT32 responseRC;
    };
    union {
        UINT32 dataLenInExt;
        UINT32 ka_NetIdMagicNumber;
    };
};
static_assert(sizeof(Socket_Header) == SOCKET_HEADER__CONT_SIZE_BYTES);
static_assert(SOCKET_HEADER_OFFSET__COUNT * sizeof(UINT32) == SOCKET_HEADER__CONT_SIZE_BYTES);
static_assert(offsetof(Socket_Header, prop) == 4 * SOCKET_HEADER_OFFSET__PROP);
static_assert(offsetof(Socket_Header, dataLen) == 4 * SOCKET_HEADER_OFFSET__LEN);
static_assert(offsetof(Socket_Header, context) == 4 * SOCKET_HEADER_OFFSET__CONTEXT);
static_assert(offsetof(Socket_Header, grpID) == 4 * SOCKET_HEADER_OFFSET__GRP_ID);
static_assert(offsetof(Socket_Header, msgID) == 4 * SOCKET_HEADER_OFFSET__MSG_ID);
static_assert(offsetof(Socket_Header, chanNum) == 4 * SOCKET_HEADER_OFFSET__CHAN_NUM);
static_assert(offsetof(Socket_Header, dataLenInExt) == 4 * SOCKET_HEADER_OFFSET__EXT_LEN);

struct __attribute__((packed)) Socket_ExtendedHeader {
    Socket_Header header;
    UINT8 metaData[SOCKET_HEADER__DATA_SIZE_BYTES];
};
static_assert(sizeof(Socket_ExtendedHeader) == SOCKET_HEADER__TOTAL_SIZE_BYTES);
static_assert(offsetof(Socket_ExtendedHeader, metaData) == SOCKET_HEADER__CONT_SIZE_BYTES);

// Largest payload a frame may announce unless configured otherwise (NetConfParam.maxDataLen).
#define SOCKET_HEADER__DEF_MAX_DATA_LEN (16u * 1024u * 1024u)

// Where a payload goes: bytes of the head that precede the payload on the wire (28 or 128),
// padding after it (so that the head still takes 128 bytes), and payload bytes held in the head.
struct SocketHeader_Placement {
    UINT32 headBytes;
    UINT32 padBytes;
    UINT32 dataLenInExt;
};
SocketHeader_Placement socketHeader_Place(UINT32 total, UINT32 firstBufLen);
// Bytes of the whole frame on the wire.
UINT32 socketHeader_WireSize(UINT32 total, UINT32 firstBufLen);

// NEW_CON, KEEPALIVE, NEW_SSL_CON and RESPONSE frames carry no payload length.
BOOL socketHeader_IsControlType(UINT32 type);

// The receiver's test of a head, in its fixed order; the first failing rule decides and traces
// its warning. A data frame announcing more than maxDataLen payload bytes is invalid too.
BOOL netPath_IsHeaderValid(const Socket_Header *pHeader, UINT32 maxDataLen);

// Data frames (NOTIF, SND_RCV, SND_RCV_CB): words 0 and 2 to 5; the lengths are set when the
// wire list is built.
void socketHeader_FillData(Socket_ExtendedHeader *pHead, NetMsgType msgType, Context context, UINT32 grpId,
                           UINT32 msgId, UINT32 chanNum);
// Builds pWire (initialised, empty) as the frame of pHead and pPayload: lengths set, the sender's
// own validity check run. A frame that fails it is not built: MOS_RC__INVALID with the trace
// "ASSERT condition (%s) failed.", and pWire stays empty. pWire points into pHead and pPayload's
// buffers, which must outlive it.
Mos_RC socketHeader_PrepareWire(Socket_ExtendedHeader *pHead, const NetSmallIov *pPayload, NetSmallIov *pWire,
                                UINT32 maxDataLen);
// A control frame goes out alone as its 128 bytes.
void socketHeader_PrepareControlWire(Socket_ExtendedHeader *pHead, NetSmallIov *pWire);

// Receiving: copies the dataLenInExt payload bytes held in the head to the start of pDst, across
// its buffers as needed, and returns how many were copied. pDst must hold the whole payload
// (at least dataLen bytes); the rest is then read into pDst from that offset.
UINT32 socketHeader_ScatterInHeadData(const Socket_ExtendedHeader *pHead, NetSmallIov *pDst);

// Control frames, word by word. NEW_CON keeps bytes it does not set (the receiver ignores them).
void socketHeader_FillNewCon(Socket_ExtendedHeader *pHead, NetOwnerType ownerType, UINT64 conId, UINT32 version,
                             const NetIdentifier *pId);
void socketHeader_FillKeepAlive(Socket_ExtendedHeader *pHead, UINT32 version, const NetIdentifier *pId);
void socketHeader_FillNewSslCon(Socket_ExtendedHeader *pHead);
void socketHeader_FillResponse(Socket_ExtendedHeader *pHead, Mos_RC rc);
static inline UINT64 socketHeader_GetConId(const Socket_Header *pHeader)
{
    return ((UINT64)pHeader->context << 32) | pHeader->dataLen;
}
