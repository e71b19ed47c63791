// Records of the data path: what a Quillet sends to a comb's primary and what two Pellars that hold
// one comb exchange about it. The message type travels in the frame head's context word; buffer 0
// of a request is its fixed-size record (100 bytes, 300 for the tooth-list pair), and the answer's
// context word carries the Mos_RC, with the records below as its payload where a type has one.
//
// Every record is packed, little-endian and zero-padded to its fixed size; the asserts pin each
// size and offset, since peers of other builds read them byte by byte.
//
// Nothing received is read in place: a request is taken apart only through IohReqView, which
// checks the record's exact length and the buffer count and lengths of its type before a field is
// copied out. A request that does not have its type's shape is refused with MOS_RC__INVALID; an
// unknown type with MOS_RC__UNKNOWN_MSG. Neither is an internal error - the bytes came from the
// network.
#pragma once

#include <cstddef>
#include <cstring>
#include <span>

#include "mos/mos_assert.h"
#include "mos/mos_rc.h"
#include "mos/mos_t10dif.h"
#include "mos/mos_types.h"
#include "tgt/phy/phy_comb.h"
#include "tgt/phy/phy_layout.h"

// Message types (server offset 2000).
enum TgtMsgType : UINT32 {
    TGT_MSG_TYPE__IO_READ_PRI = 2101,
    TGT_MSG_TYPE__IO_READ_SEC = 2102,
    TGT_MSG_TYPE__IO_WRITE_PRI = 2103,
    TGT_MSG_TYPE__IO_WRITE_SEC = 2104,
    TGT_MSG_TYPE__IO_WRITE_SEC_COPY = 2105,
    TGT_MSG_TYPE__IO_WRITE_DUMMY = 2106,
    TGT_MSG_TYPE__IO_WRITE_PRI_ZERO = 2107,
    TGT_MSG_TYPE__IO_WRITE_SEC_ZERO = 2108,
    TGT_MSG_TYPE__IO_WRITE_TEST_A_SET = 2109,
    TGT_MSG_TYPE__TRIM_PRI = 2110,
    TGT_MSG_TYPE__TRIM_SEC = 2111,
    TGT_MSG_TYPE__CHECK_FOR_ERROR = 2112,
    TGT_MSG_TYPE__CLEAN_REMOTE_TOOTH_LIST = 2113,
    TGT_MSG_TYPE__READ_COMB_BM = 2201,
    TGT_MSG_TYPE__RESET_COMB_BM = 2202,
    TGT_MSG_TYPE__GET_NEXT_TOOTH = 2218,
    TGT_MSG_TYPE__READ_TOOTH_LIST = 2226,
    TGT_MSG_TYPE__READ_COMB_FINE_DRL = 2227,
};

#define TGT_MSG__RECORD_SIZE 100u
#define TGT_MSG__TOOTH_LIST_RECORD_SIZE 300u
#define TGT_MSG__MAX_TEETH_IN_LIST 32u
#define TGT_MSG__MAX_BUFS 5u

// Peer software versions: major bits 24-31, minor 16-23, build 0-15.
#define TGT_PEER_VER__UNKNOWN 0xFFFFFFFFu
#define TGT_PEER_VER__UNKNOWN_AS 0x1200000u
#define TGT_PEER_VER__FIRST_WITH_DIF 0x1280000u

enum TgtReq_IoReadFlags : UINT32 {
    TGT_IO_RD__NONE = 0,
    TGT_IO_RD__T10DIF_STRICT_VERIFY = 0x10,
};

// TGT_IO_WR__T10DIF_ATTACHED (0x4) comes with the device layer's flags.
enum TgtReq_IoWriteFlags : UINT32 {
    TGT_IO_WR__NONE = 0,
    TGT_IO_WR__SEC_DO_OBFUSCATE = 0x1,
    TGT_IO_WR__PRI_OBFUSCATED = 0x2,
    TGT_IO_WR__T10DIF_ATTACH_FAIL = 0x8,
    TGT_IO_WR__T10DIF_STRICT_VERIFY = 0x10,
};

#pragma pack(push, 1)
struct TgtReq_IoRead {
    UINT64 combId;
    UINT32 sizeInLbs;
    UINT32 offsetInComb;
    UINT64 combGenNum;
    UINT64 volId;
    UINT64 volGenNum;
    UINT64 scsiGenNum;
    UINT64 regKey;
    UINT32 flags; // TgtReq_IoReadFlags
    UINT8 zeroPad[40];
};
struct TgtReq_IoWrite {
    UINT64 combId;
    UINT32 sizeInLbs;
    UINT32 offsetInComb;
    UINT64 combGenNum;
    UINT64 volId;
    UINT64 volGenNum;
    UINT64 scsiGenNum;
    UINT64 regKey;
    UINT32 flags; // TgtReq_IoWriteFlags
    UINT8 zeroPad[40];
};
struct TgtReq_IoReadSec {
    UINT64 combId;
    UINT32 sizeInLbs;
    UINT32 offsetInComb;
    UINT64 combGenNum;
    VtoOnDev devVto;
    UINT32 copyReason; // CombCopyReason
    UINT8 zeroPad[64];
};
struct TgtReq_IoWriteSec {
    UINT64 combId;
    UINT32 sizeInLbs;
    UINT32 offsetInComb;
    UINT64 combGenNum;
    UINT32 copyReason;
    VtoOnDev devVto;
    UINT32 flags;
    UINT64 volId;
    UINT32 bScanIncLocalFixesCounter;
    UINT32 randId;
    UINT8 zeroPad[44];
};
struct TgtReq_Trim {
    UINT64 combId;
    UINT32 reserved;
    UINT32 offsetInComb;
    UINT64 combGenNum;
    UINT64 volId;
    UINT64 volGenNum;
    UINT64 scsiGenNum;
    UINT64 regKey;
    UINT8 zeroPad[44];
};
struct TgtReq_TrimSec {
    UINT64 combId;
    UINT64 combGenNum;
    VtoOnDev devVto;
    UINT32 offsetInComb;
    UINT32 randId;
    UINT8 zeroPad[68];
};
struct TgtReq_CheckForError {
    UINT64 combId;
    UINT32 sizeInLbs;
    UINT32 offsetInComb;
    UINT64 combGenNum;
    VtoOnDev devVto;
    UINT32 bReturnChecksum;
    UINT8 zeroPad[64];
};
struct TgtReq_CleanToothList {
    UINT64 combId;
    UINT32 offsetInComb;
    UINT32 numOfTeeth;
    VtoOnDev vtoBuf[TGT_MSG__MAX_TEETH_IN_LIST];
    UINT64 combGenNum;
    UINT32 randId;
    UINT8 zeroPad[16];
};
struct TgtReq_GetToothList {
    UINT64 combId;
    UINT64 combGenNum;
    UINT32 offsetInComb;
    UINT8 zeroPad[80];
};
struct TgtRsp_GetToothList {
    UINT32 numOfTeeth;
    VtoOnDev vtoBuf[TGT_MSG__MAX_TEETH_IN_LIST];
    UINT8 zeroPad[40];
};
struct TgtReq_GetNextTooth {
    UINT64 combId;
    UINT64 combGenNum;
    UINT32 toothInComb;
    UINT32 toothIndex;
    UINT8 zeroPad[76];
};
struct TgtRsp_GetNextTooth {
    UINT32 toothInComb;
    UINT32 toothIndex;
    UINT32 lbsPerRebuildJobLimit;
    UINT8 zeroPad[88];
};
struct TgtReq_ResetCombDrl {
    UINT64 combId;
    UINT64 combGenNum;
    UINT8 zeroPad[84];
};
struct TgtReq_ReadCombDrl {
    UINT64 combId;
    UINT64 combGenNum;
    UINT32 bAllTeeth;
    UINT8 zeroPad[80];
};
struct TgtRes_IoRW {
    UINT64 scsiGenNum;
    UINT8 zeroPad[92];
};
struct TgtRes_WriteSecCopy {
    UINT32 lbsPerRebuildJobLimit;
    UINT32 lbsPerRebalanceJobLimit;
    UINT8 zeroPad[92];
};
#pragma pack(pop)

static_assert(sizeof(TgtReq_IoRead) == 100);
static_assert(offsetof(TgtReq_IoRead, sizeInLbs) == 8 && offsetof(TgtReq_IoRead, offsetInComb) == 12);
static_assert(offsetof(TgtReq_IoRead, combGenNum) == 16 && offsetof(TgtReq_IoRead, volId) == 24);
static_assert(offsetof(TgtReq_IoRead, volGenNum) == 32 && offsetof(TgtReq_IoRead, scsiGenNum) == 40);
static_assert(offsetof(TgtReq_IoRead, regKey) == 48 && offsetof(TgtReq_IoRead, flags) == 56);
static_assert(offsetof(TgtReq_IoRead, zeroPad) == 60);
static_assert(sizeof(TgtReq_IoWrite) == 100);
static_assert(offsetof(TgtReq_IoWrite, sizeInLbs) == 8 && offsetof(TgtReq_IoWrite, offsetInComb) == 12);
static_assert(offsetof(TgtReq_IoWrite, combGenNum) == 16 && offsetof(TgtReq_IoWrite, volId) == 24);
static_assert(offsetof(TgtReq_IoWrite, volGenNum) == 32 && offsetof(TgtReq_IoWrite, scsiGenNum) == 40);
static_assert(offsetof(TgtReq_IoWrite, regKey) == 48 && offsetof(TgtReq_IoWrite, flags) == 56);
static_assert(offsetof(TgtReq_IoWrite, zeroPad) == 60);
static_assert(sizeof(TgtReq_IoReadSec) == 100);
static_assert(offsetof(TgtReq_IoReadSec, sizeInLbs) == 8 && offsetof(TgtReq_IoReadSec, offsetInComb) == 12);
static_assert(offsetof(TgtReq_IoReadSec, combGenNum) == 16 && offsetof(TgtReq_IoReadSec, devVto) == 24);
static_assert(offsetof(TgtReq_IoReadSec, copyReason) == 32 && offsetof(TgtReq_IoReadSec, zeroPad) == 36);
static_assert(sizeof(TgtReq_IoWriteSec) == 100);
static_assert(offsetof(TgtReq_IoWriteSec, sizeInLbs) == 8 && offsetof(TgtReq_IoWriteSec, offsetInComb) == 12);
static_assert(offsetof(TgtReq_IoWriteSec, combGenNum) == 16 && offsetof(TgtReq_IoWriteSec, copyReason) == 24);
static_assert(offsetof(TgtReq_IoWriteSec, devVto) == 28 && offsetof(TgtReq_IoWriteSec, flags) == 36);
static_assert(offsetof(TgtReq_IoWriteSec, volId) == 40);
static_assert(offsetof(TgtReq_IoWriteSec, bScanIncLocalFixesCounter) == 48);
static_assert(offsetof(TgtReq_IoWriteSec, randId) == 52 && offsetof(TgtReq_IoWriteSec, zeroPad) == 56);
static_assert(sizeof(TgtReq_Trim) == 100);
static_assert(offsetof(TgtReq_Trim, reserved) == 8 && offsetof(TgtReq_Trim, offsetInComb) == 12);
static_assert(offsetof(TgtReq_Trim, combGenNum) == 16 && offsetof(TgtReq_Trim, volId) == 24);
static_assert(offsetof(TgtReq_Trim, volGenNum) == 32 && offsetof(TgtReq_Trim, scsiGenNum) == 40);
static_assert(offsetof(TgtReq_Trim, regKey) == 48 && offsetof(TgtReq_Trim, zeroPad) == 56);
static_assert(sizeof(TgtReq_TrimSec) == 100);
static_assert(offsetof(TgtReq_TrimSec, combGenNum) == 8 && offsetof(TgtReq_TrimSec, devVto) == 16);
static_assert(offsetof(TgtReq_TrimSec, offsetInComb) == 24 && offsetof(TgtReq_TrimSec, randId) == 28);
static_assert(offsetof(TgtReq_TrimSec, zeroPad) == 32);
static_assert(sizeof(TgtReq_CheckForError) == 100);
static_assert(offsetof(TgtReq_CheckForError, sizeInLbs) == 8 && offsetof(TgtReq_CheckForError, offsetInComb) == 12);
static_assert(offsetof(TgtReq_CheckForError, combGenNum) == 16 && offsetof(TgtReq_CheckForError, devVto) == 24);
static_assert(offsetof(TgtReq_CheckForError, bReturnChecksum) == 32);
static_assert(offsetof(TgtReq_CheckForError, zeroPad) == 36);
static_assert(sizeof(TgtReq_CleanToothList) == 300);
static_assert(offsetof(TgtReq_CleanToothList, offsetInComb) == 8);
static_assert(offsetof(TgtReq_CleanToothList, numOfTeeth) == 12 && offsetof(TgtReq_CleanToothList, vtoBuf) == 16);
static_assert(offsetof(TgtReq_CleanToothList, combGenNum) == 272 && offsetof(TgtReq_CleanToothList, randId) == 280);
static_assert(offsetof(TgtReq_CleanToothList, zeroPad) == 284);
static_assert(sizeof(TgtReq_GetToothList) == 100);
static_assert(offsetof(TgtReq_GetToothList, combGenNum) == 8 && offsetof(TgtReq_GetToothList, offsetInComb) == 16);
static_assert(offsetof(TgtReq_GetToothList, zeroPad) == 20);
static_assert(sizeof(TgtRsp_GetToothList) == 300);
static_assert(offsetof(TgtRsp_GetToothList, vtoBuf) == 4 && offsetof(TgtRsp_GetToothList, zeroPad) == 260);
static_assert(sizeof(TgtReq_GetNextTooth) == 100);
static_assert(offsetof(TgtReq_GetNextTooth, combGenNum) == 8 && offsetof(TgtReq_GetNextTooth, toothInComb) == 16);
static_assert(offsetof(TgtReq_GetNextTooth, toothIndex) == 20 && offsetof(TgtReq_GetNextTooth, zeroPad) == 24);
static_assert(sizeof(TgtRsp_GetNextTooth) == 100);
static_assert(offsetof(TgtRsp_GetNextTooth, toothIndex) == 4);
static_assert(offsetof(TgtRsp_GetNextTooth, lbsPerRebuildJobLimit) == 8);
static_assert(offsetof(TgtRsp_GetNextTooth, zeroPad) == 12);
static_assert(sizeof(TgtReq_ResetCombDrl) == 100);
static_assert(offsetof(TgtReq_ResetCombDrl, combGenNum) == 8 && offsetof(TgtReq_ResetCombDrl, zeroPad) == 16);
static_assert(sizeof(TgtReq_ReadCombDrl) == 100);
static_assert(offsetof(TgtReq_ReadCombDrl, combGenNum) == 8 && offsetof(TgtReq_ReadCombDrl, bAllTeeth) == 16);
static_assert(offsetof(TgtReq_ReadCombDrl, zeroPad) == 20);
static_assert(sizeof(TgtRes_IoRW) == 100 && offsetof(TgtRes_IoRW, zeroPad) == 8);
static_assert(sizeof(TgtRes_WriteSecCopy) == 100);
static_assert(offsetof(TgtRes_WriteSecCopy, lbsPerRebalanceJobLimit) == 4);
static_assert(offsetof(TgtRes_WriteSecCopy, zeroPad) == 8);

// Response payload sizes of the dirty-region-log reads.
#define TGT_MSG__DRL_RSP_HEAD_SIZE 8u
#define TGT_MSG__DRL_ENTRY_SIZE 12u
#define TGT_MSG__FINE_DRL_ENTRY_SIZE 45u

// One received buffer, as the receive path hands it over.
struct IohBuf {
    void *p;
    UINT32 len;
};

// A received request: its type, the sender's software version and its buffers (buffer 0 is the
// record).
struct IohReq {
    UINT32 msgType;
    UINT32 peerVer;
    UINT32 numOfBufs;
    IohBuf bufs[TGT_MSG__MAX_BUFS];
};

// The checked view of a request. ioh_ReqCheckShape fills it; the typed accessors copy the record
// out (never a pointer into the received bytes).
struct IohReqView {
    const IohReq *pReq;
    UINT32 sizeInLbs; // of the data buffers (0 for types without data)
};

// TRUE for the data-path types this server serves.
BOOL ioh_IsDataPathMsgType(UINT32 msgType);
// TRUE for the read-type messages (2101, 2102, 2112, 2201, 2218, 2227).
BOOL ioh_MsgTypeIsRead(UINT32 msgType);
// The record size of a data-path type (100 or 300); 0 for other types.
UINT32 ioh_MsgRecordSize(UINT32 msgType);
// MOS_RC__SUCCESS when the request has exactly its type's record length, buffer count and data and
// guard lengths; MOS_RC__UNKNOWN_MSG for a type that is not served here; MOS_RC__INVALID otherwise
// (with a trace line naming what is wrong).
Mos_RC ioh_ReqCheckShape(const IohReq *pReq, IohReqView *pView);

// Copies the record out of a checked view; the type must be one whose record is T.
template <typename T> T iohReqView_Record(const IohReqView *pView)
{
    static_assert(sizeof(T) == TGT_MSG__RECORD_SIZE || sizeof(T) == TGT_MSG__TOOTH_LIST_RECORD_SIZE);
    T rec;
    MOS_ASSERT(pView->pReq->numOfBufs >= 1 && pView->pReq->bufs[0].len == sizeof(T));
    memcpy(&rec, pView->pReq->bufs[0].p, sizeof(T));
    return rec;
}

// The peer's version with an unknown one (0xFFFFFFFF) read as 0x1200000.
UINT32 ioh_PeerVersion(UINT32 peerVer);
// Whether a peer of this version generates and accepts guards.
BOOL ioh_PeerHasDif(UINT32 peerVer);

// Dirty-region-log responses. The payload length of a response with numOfBits entries (the
// overflow marker: the head alone).
UINT32 ioh_DrlRspSize(UINT32 numOfBits, BOOL bIsFine);
// Fine to old form in place of another buffer: pOld receives numOfBits, entry size 12 and each
// entry's first 12 bytes. Returns the old payload's size.
UINT32 ioh_ConvertFineDrlToOld(const TgtRsp_ReadCombFineDrl *pFine, TgtRsp_ReadCombDrl *pOld);
// Old to fine: pFine is zeroed whole, then numOfBits, entry size 45 and each entry's label and
// tooth. oldSizeInBytes is what was received; a head whose count does not fit it is refused
// (MOS_RC__INVALID, pFine zeroed).
Mos_RC ioh_ConvertOldDrlToFine(const void *pOld, UINT32 oldSizeInBytes, TgtRsp_ReadCombFineDrl *pFine);
