#include "mos/sdbg/sdbg_server.h"

#include <netinet/in.h>
#include <sys/socket.h>

#include <algorithm>
#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <vector>

#include "common/sdbg_exports_size.h"
#include "mos/mos_fastlock.h"
#include "mos/mos_obj.h"
#include "mos/mos_trace.h"
#include "mos/usr/mos_net.h"

namespace {

constexpr MosContentionId kServerLockId = 73;
constexpr UINT32 kFillChunk = 4096;
constexpr UINT32 kWord = sizeof(UINT32);

Sdbg_Server sdbgServer_G;

// Between Destroy and the server thread: Destroy must be able to wake the thread wherever it
// blocks (accept, or a client's read), and must never shut down a descriptor number that the
// thread has closed and the process reused.
struct ServerSync {
    MosFastlock_Base lock;
    BOOL bThreadStarted;
    BOOL bStop;
};
ServerSync sync_G;

// Outcome of one request: keep serving the client, or close its connection.
enum class Served { NEXT, CLOSE };

SdbgConn_ClientConn &client()
{
    return sdbgServer_G.clientConn;
}

// Sends part of the answer; never more than the client asked for in total.
bool sendPart(const void *pData, UINT32 size)
{
    SdbgConn_ClientConn &c = client();
    if ((UINT64)c.positionInResponse + size > c.sizeOfExpectedResponseMsg)
        return false;
    if (osNet_SendFull(c.hConncetion, pData, size) != MOS_RC__SUCCESS)
        return false;
    c.positionInResponse += size;
    return true;
}

bool sendWord(UINT32 word)
{
    return sendPart(&word, sizeof(word));
}

bool sendObjHdr(UINT32 objType, UINT32 objIndex, UINT32 rawDataSize)
{
    const SdbgExports_ObjHdr hdr{objType, objIndex, rawDataSize};
    return sendPart(&hdr, sizeof(hdr));
}

// Fills the rest of the answer with 0xFF.
bool fillRest()
{
    static const std::vector<UINT8> fill(kFillChunk, SDBG_EXPORTS__FILL_BYTE);
    SdbgConn_ClientConn &c = client();
    while (c.positionInResponse < c.sizeOfExpectedResponseMsg) {
        const UINT32 chunk = std::min(kFillChunk, c.sizeOfExpectedResponseMsg - c.positionInResponse);
        if (!sendPart(fill.data(), chunk))
            return false;
    }
    return true;
}

// An answer that is the code word alone. A client that reads fewer than 4 bytes cannot receive
// even that: its connection is closed.
Served answerCode(UINT32 code)
{
    return sendWord(code) && fillRest() ? Served::NEXT : Served::CLOSE;
}

// The record size the server sends for a type: its query size when it has a query function.
UINT32 recordSize(const MosObj_Type *pType)
{
    return pType->pFunc != nullptr ? pType->queryDataSize : 0;
}

UINT32 bodyWord(UINT32 index)
{
    UINT32 word;
    memcpy(&word, client().pClientReq + (size_t)index * kWord, kWord);
    return word;
}

bool fits(UINT64 needed)
{
    return needed <= client().sizeOfExpectedResponseMsg;
}

Served serveCount()
{
    MosObj_Type *pType = mosObjType_GetPtrByID(bodyWord(1));
    if (!fits(sdbgExports_CalcSizeOfResponse(SDBG_EXPORTS_REQUEST_TYPE__QUERY_NUM_OF_OBJECT_IN_CLASS, nullptr, 0)))
        return answerCode(SDBG_EXPORTS_RC__INSUFFICIENT_RESPONSE_BUFFER);
    if (pType == nullptr)
        return answerCode(SDBG_EXPORTS_RC__ILLEGAL_OBJECT_TYPE);
    return sendWord(SDBG_EXPORTS_RC__SUCCESS) && sendWord(mosObjType_GetObjNum(pType)) && fillRest() ? Served::NEXT
                                                                                                      : Served::CLOSE;
}

// Copies every object's header and record under the type's lock; the answer is sent after it is
// released, so a slow client never holds up the objects' owners.
Served serveDumpAll()
{
    const UINT32 objType = bodyWord(1);
    MosObj_Type *pType = mosObjType_GetPtrByID(objType);
    if (pType == nullptr)
        return answerCode(SDBG_EXPORTS_RC__ILLEGAL_OBJECT_TYPE);
    const UINT32 size = recordSize(pType);
    std::vector<UINT8> dump;
    UINT32 dumped = 0;
    mosObjType_EnumStart(pType);
    const UINT32 count = mosObjType_GetObjNum(pType);
    const UINT64 needed = (UINT64)count * (size + sizeof(SdbgExports_ObjHdr)) + 2 * kWord + sizeof(SdbgExports_ObjHdr);
    const bool bFits = fits(needed);
    if (bFits) {
        dump.reserve((size_t)needed);
        for (MosObj *pObj = mosObjType_EnumGetNextObj(pType); pObj != nullptr && dumped < count;
             pObj = mosObjType_EnumGetNextObj(pType), dumped++) {
            const SdbgExports_ObjHdr hdr{objType, dumped, size};
            const UINT8 *pHdr = reinterpret_cast<const UINT8 *>(&hdr);
            dump.insert(dump.end(), pHdr, pHdr + sizeof(hdr));
            dump.resize(dump.size() + size, 0);
            if (size != 0)
                mosObj_Query(pObj, pType, dump.data() + dump.size() - size);
        }
    }
    mosObjType_EnumStop(pType);
    if (!bFits)
        return answerCode(SDBG_EXPORTS_RC__INSUFFICIENT_RESPONSE_BUFFER);
    return sendWord(SDBG_EXPORTS_RC__SUCCESS) && sendWord(count) && sendPart(dump.data(), (UINT32)dump.size()) &&
                   sendObjHdr(SDBG_EXPORTS_OBJ_TYPE__RESPONSE_END, dumped, 0) && fillRest()
               ? Served::NEXT
               : Served::CLOSE;
}

Served serveModule()
{
    if (!fits(sdbgExports_CalcSizeOfResponse(SDBG_EXPORTS_REQUEST_TYPE__QUERY_MODULE_ID, nullptr, 0)))
        return answerCode(SDBG_EXPORTS_RC__INSUFFICIENT_RESPONSE_BUFFER);
    return sendWord(SDBG_EXPORTS_RC__SUCCESS) && sendWord(sdbgServer_G.initParams.module) && fillRest()
               ? Served::NEXT
               : Served::CLOSE;
}

// One chosen object's record, copied under its type's lock. False when the type or the object
// does not exist.
bool copyChosen(const SdbgExports_ObjRef &ref, std::vector<UINT8> *pRecord)
{
    MosObj_Type *pType = mosObjType_GetPtrByID(ref.objType);
    if (pType == nullptr)
        return false;
    MosObj *pObj = mosObjType_GetNthObj(pType, ref.objIndex);
    if (pObj == nullptr)
        return false;
    pRecord->assign(recordSize(pType), 0);
    if (!pRecord->empty())
        mosObj_Query(pObj, pType, pRecord->data());
    mosObjType_ReleaseNthObj(pType);
    return true;
}

Served serveDumpChosen()
{
    const UINT32 count = bodyWord(1);
    if (count == 0 || count > SDBG_EXPORTS__MAX_QUERY_OBJECTS)
        return answerCode(SDBG_EXPORTS_RC__ILLEGAL_OBJECT_NUMBER);
    if (client().sizeOfIncomingMsg < sdbgExports_CalcSizeOfCmd(SDBG_EXPORTS_REQUEST_TYPE__QUERY_OBJECTS, nullptr, count))
        return answerCode(SDBG_EXPORTS_RC__UNKNOWN_CMD);
    SdbgExports_ObjRef refs[SDBG_EXPORTS__MAX_QUERY_OBJECTS];
    memcpy(refs, client().pClientReq + 2 * kWord, count * sizeof(SdbgExports_ObjRef));
    // What is sent: the registered record size of a known type, the catalogue's for another.
    UINT64 needed = kWord + sizeof(SdbgExports_ObjHdr);
    for (UINT32 i = 0; i < count; i++) {
        const MosObj_Type *pType = mosObjType_GetPtrByID(refs[i].objType);
        needed += sizeof(SdbgExports_ObjHdr) +
                  (pType != nullptr ? recordSize(pType) : sdbgExports_CalcRawSizeOfObject(refs[i].objType));
    }
    if (!fits(needed))
        return answerCode(SDBG_EXPORTS_RC__INSUFFICIENT_RESPONSE_BUFFER);
    if (!sendWord(SDBG_EXPORTS_RC__SUCCESS))
        return Served::CLOSE;
    std::vector<UINT8> record;
    for (UINT32 i = 0; i < count; i++) {
        if (!copyChosen(refs[i], &record)) {
            MOS_TRACE(MOS_COMP_MOS, MOS_FREQ_LOW, "WARNING: sdbg: no object %u of type %u", refs[i].objIndex,
                      refs[i].objType);
            return Served::CLOSE;
        }
        if (!sendObjHdr(refs[i].objType, refs[i].objIndex, (UINT32)record.size()) ||
            !sendPart(record.data(), (UINT32)record.size()))
            return Served::CLOSE;
    }
    return sendObjHdr(SDBG_EXPORTS_OBJ_TYPE__RESPONSE_END, count, 0) && fillRest() ? Served::NEXT : Served::CLOSE;
}

Served serveSpecialCom()
{
    if (client().sizeOfIncomingMsg < sizeof(SdbgExports_SpecialComReq))
        return answerCode(SDBG_EXPORTS_RC__UNKNOWN_CMD);
    SdbgExports_SpecialComReq req;
    memcpy(&req, client().pClientReq, sizeof(req));
    if (req.argCount > SDBG_CONF_STR_MAX_ARGS)
        return answerCode(SDBG_EXPORTS_RC__UNKNOWN_CMD);
    MosObj_Type *pType = mosObjType_GetPtrByID(req.objType);
    MosObj *pObj = pType != nullptr ? mosObjType_GetNthObj(pType, req.objIndex) : nullptr;
    if (pObj == nullptr)
        return answerCode(SDBG_EXPORTS_RC__ILLEGAL_OBJECT_TYPE);
    SdbgConfStr args[SDBG_CONF_STR_MAX_ARGS] = {};
    for (UINT32 i = 0; i < req.argCount; i++)
        memcpy(args[i].str, req.args[i], SDBG_CONF_STR_LEN - 1); // the last byte stays NUL
    mosObj_Backdoor(pObj, pType, req.specialCom, req.argCount, args);
    mosObjType_ReleaseNthObj(pType);
    return answerCode(SDBG_EXPORTS_RC__SUCCESS);
}

Served dispatch()
{
    SdbgConn_ClientConn &c = client();
    const UINT32 type = c.sizeOfIncomingMsg >= kWord ? bodyWord(0) : SDBG_EXPORTS_REQUEST_TYPE__INVALID_REQUEST;
    const UINT32 cmdSize = sdbgExports_CalcSizeOfCmd(type, nullptr, 0);
    // A body shorter than its type needs is not a valid request of that type.
    if (type != SDBG_EXPORTS_REQUEST_TYPE__CRASH_MODULE && (cmdSize == 0 || c.sizeOfIncomingMsg < cmdSize))
        return answerCode(SDBG_EXPORTS_RC__UNKNOWN_CMD);
    switch (type) {
    case SDBG_EXPORTS_REQUEST_TYPE__QUERY_NUM_OF_OBJECT_IN_CLASS: return serveCount();
    case SDBG_EXPORTS_REQUEST_TYPE__QUERY_ALL_OBJECTS_IN_CLASS: return serveDumpAll();
    case SDBG_EXPORTS_REQUEST_TYPE__QUERY_MODULE_ID: return serveModule();
    case SDBG_EXPORTS_REQUEST_TYPE__QUERY_OBJECTS: return serveDumpChosen();
    case SDBG_EXPORTS_REQUEST_TYPE__SPECIAL_COM: return serveSpecialCom();
    default: return answerCode(SDBG_EXPORTS_RC__ILLEGAL_OBJECT_TYPE); // crashing is never served
    }
}

Served serveRequest()
{
    SdbgConn_ClientConn &c = client();
    SdbgExports_RequestHdr hdr;
    if (osNet_RcvFull(c.hConncetion, &hdr, sizeof(hdr)) != MOS_RC__SUCCESS)
        return Served::CLOSE;
    if (hdr.magic != SDBG_EXPORTS__MAGIC) {
        MOS_TRACE(MOS_COMP_MOS, MOS_FREQ_LOW, "WARNING: sdbg: bad magic 0x%x (%s)", hdr.magic,
                  mosRc_GetStr(MOS_RC__INTERFACE_ERROR));
        return Served::CLOSE;
    }
    c.sizeOfIncomingMsg = hdr.requestSize;
    c.sizeOfExpectedResponseMsg = hdr.expectedResponseSize;
    c.sizeOfDataInResponse = 0;
    c.positionInResponse = 0;
    if (hdr.requestSize > SDBG_SERVER__MAX_REQUEST_SIZE || hdr.expectedResponseSize > SDBG_SERVER__MAX_RESPONSE_SIZE) {
        MOS_TRACE(MOS_COMP_MOS, MOS_FREQ_LOW, "WARNING: sdbg: request of %u bytes expecting %u bytes refused",
                  hdr.requestSize, hdr.expectedResponseSize);
        c.sizeOfExpectedResponseMsg = std::min<UINT32>(hdr.expectedResponseSize, kWord);
        sendWord(SDBG_EXPORTS_RC__NO_RESOURCES);
        return Served::CLOSE;
    }
    c.pClientReq = static_cast<UINT8 *>(calloc(1, std::max<UINT32>(hdr.requestSize, 1)));
    if (c.pClientReq == nullptr) {
        MOS_TRACE(MOS_COMP_MOS, MOS_FREQ_LOW, "WARNING: sdbg: %s", mosRc_GetStr(MOS_RC__NO_RESOURCES));
        return Served::CLOSE;
    }
    Served result = Served::CLOSE;
    if (osNet_RcvFull(c.hConncetion, c.pClientReq, hdr.requestSize) == MOS_RC__SUCCESS)
        result = dispatch();
    free(c.pClientReq);
    c.pClientReq = nullptr;
    return result;
}

// An IPv6 socket that takes IPv4 clients too, or an IPv4 one where IPv6 is missing.
SOCKET openListener(UINT16 port)
{
    SOCKET fd = MOS_NET__INVALID_SOCKET;
    NetSocketType type = NET_SOCKET_TYPE__IPV6;
    if (osNet_Socket(&fd, type) != MOS_RC__SUCCESS) {
        type = NET_SOCKET_TYPE__IPV4;
        if (osNet_Socket(&fd, type) != MOS_RC__SUCCESS)
            return MOS_NET__INVALID_SOCKET;
    }
    osNet_SetSockOpt_ReuseAddr(fd);
    if (type == NET_SOCKET_TYPE__IPV6)
        osNet_SetSockOpt_NoIpv6Only(fd);
    if (!osNet_Bind(fd, port, type) || !osNet_Listen(fd)) {
        osNet_Close(fd);
        return MOS_NET__INVALID_SOCKET;
    }
    return fd;
}

// Publishes a descriptor that Destroy may have to shut down; false when a stop came first.
bool publish(SOCKET *pSlot, SOCKET fd)
{
    mosFastlockBase_Acquire(&sync_G.lock);
    const bool bStop = sync_G.bStop;
    if (!bStop) {
        *pSlot = fd;
        sdbgServer_G.env.bInitialized = TRUE; // listening from the first publication on
    }
    mosFastlockBase_Release(&sync_G.lock);
    return !bStop;
}

void closeClient()
{
    mosFastlockBase_Acquire(&sync_G.lock);
    const SOCKET fd = client().hConncetion;
    client().hConncetion = MOS_NET__INVALID_SOCKET;
    mosFastlockBase_Release(&sync_G.lock);
    osNet_Close(fd);
}

void serverThread(void *pArg)
{
    MOS_UNUSED(pArg);
    Sdbg_Server &s = sdbgServer_G;
    const SOCKET listener = openListener(s.initParams.sdbgPort);
    if (listener == MOS_NET__INVALID_SOCKET) {
        MOS_TRACE(MOS_COMP_MOS, MOS_FREQ_LOW, "WARNING: sdbg server failed to start on port %u",
                  (unsigned)s.initParams.sdbgPort);
        return;
    }
    NetAddress addr;
    if (s.initParams.sdbgPort == 0 && mosNet_GetMyAddress(listener, &addr))
        s.initParams.sdbgPort = addr.port;
    if (!publish(&s.env.listenerConn, listener)) {
        osNet_Close(listener);
        return;
    }
    for (;;) {
        const SOCKET fd = osNet_Accept(listener);
        if (fd < 0) {
            if (errno == EINTR || errno == ECONNABORTED)
                continue;
            break; // the listener was shut down, or cannot accept any more
        }
        if (!publish(&s.clientConn.hConncetion, fd)) {
            osNet_Close(fd);
            break;
        }
        while (serveRequest() == Served::NEXT) {
        }
        closeClient();
    }
}

} // namespace

Mos_RC sdbgServer_Init(const SdbgServer_InitParam *pSdbgInitParam)
{
    memset(&sdbgServer_G, 0, sizeof(sdbgServer_G));
    memset(&sync_G, 0, sizeof(sync_G));
    Sdbg_Server &s = sdbgServer_G;
    s.initParams = pSdbgInitParam != nullptr ? *pSdbgInitParam
                                             : SdbgServer_InitParam{SDBG_EXPORTS_MODULE_TYPE__UNKNOWN,
                                                                    SDBG_SERVER__DEFAULT_PORT};
    s.clientConn.hConncetion = MOS_NET__INVALID_SOCKET;
    s.env.listenerConn = MOS_NET__INVALID_SOCKET;
    if (s.initParams.module == SDBG_EXPORTS_MODULE_TYPE__UNKNOWN)
        return MOS_RC__SUCCESS;
    mosFastlockBase_Create(&sync_G.lock, kServerLockId, __FILE__, __LINE__);
    if (mosOsThrd_CreateNamed(&s.env.listenThrd, serverThread, nullptr, "sdbg server") != MOS_RC__SUCCESS) {
        MOS_ERROR(MOS_COMP_MOS, "Failed to create sdbg server thread.");
        mosFastlockBase_Destroy(&sync_G.lock);
        return MOS_RC__SUCCESS;
    }
    sync_G.bThreadStarted = TRUE;
    return MOS_RC__SUCCESS;
}

void sdbgServer_Destroy(void)
{
    if (!sync_G.bThreadStarted)
        return;
    Sdbg_Server &s = sdbgServer_G;
    mosFastlockBase_Acquire(&sync_G.lock);
    sync_G.bStop = TRUE;
    s.env.bInitialized = FALSE;
    // Shutting down wakes the thread from accept or from a client's read; it closes them itself.
    if (s.env.listenerConn != MOS_NET__INVALID_SOCKET)
        shutdown(s.env.listenerConn, SHUT_RDWR);
    if (s.clientConn.hConncetion != MOS_NET__INVALID_SOCKET)
        shutdown(s.clientConn.hConncetion, SHUT_RDWR);
    mosFastlockBase_Release(&sync_G.lock);
    mosOsThrd_Destroy(&s.env.listenThrd);
    if (s.env.listenerConn != MOS_NET__INVALID_SOCKET)
        osNet_Close(s.env.listenerConn);
    mosFastlockBase_Destroy(&sync_G.lock);
    free(s.clientConn.pClientReq);
    memset(&s.clientConn, 0, sizeof(s.clientConn));
    s.clientConn.hConncetion = MOS_NET__INVALID_SOCKET;
    s.env.listenerConn = MOS_NET__INVALID_SOCKET;
    sync_G.bThreadStarted = FALSE;
}

Sdbg_Server *sdbgServer_Get(void)
{
    return &sdbgServer_G;
}

UINT32 sdbgServer_GetModuleType(void)
{
    return sdbgServer_G.initParams.module;
}
