// A whole messaging root object for tests: net_Init and net_Start on a worker scheduler of the
// test's own, with the timer queues driven by the poll loop as the server runs them, and
// net_Destroy at the end. Needs the runtime and the uthread manager up.
#pragma once

#include <memory>

#include "net/net.h"
#include "test/support/umt_test_support.h"
#include "net/net_path.h"
#include "test/support/net_engine_support.h"
#include "test/support/net_root.h"

// The runtime with poll-driven timers and the messaging layer's debug types, once per test program.
class NetTestRuntimeEnv : public UmtRuntimeEnv {
  public:
    // classInit: the server's thread classes, for layers that start user-mode threads by class.
    explicit NetTestRuntimeEnv(void (*classInit)(void) = nullptr) : UmtRuntimeEnv(classInit) {}
    void SetUp() override
    {
        UmtRuntimeEnv::SetUp();
        netEngineTest_PollDrivenTimers();
        net_GlobalInit();
    }
    void TearDown() override
    {
        net_GlobalDestroy();
        UmtRuntimeEnv::TearDown();
    }
};


#include <atomic>
#include <mutex>
#include <vector>

// The upper layer of a test: counts connection events and hands its callbacks to new server
// connections.
struct NetTestUpper {
    std::atomic<int> connects{0};
    std::atomic<int> disconnects{0};
    std::atomic<int> oscEvents{0};
    std::atomic<int> verifications{0};
    NetConCallback conCB{};
};

inline void netTestUpper_OnCon(void *pObj, HNetCon, ConId, NetOwnerType, NetConChannelData *)
{
    static_cast<NetTestUpper *>(pObj)->connects++;
}
inline void netTestUpper_OnDiscon(void *pObj, HNetCon, ConId, NetOwnerType, NetConChannelData *)
{
    static_cast<NetTestUpper *>(pObj)->disconnects++;
}
inline void netTestUpper_OnOsc(void *pObj, HNetCon, ConId, NetOscType, const NetAddress *)
{
    static_cast<NetTestUpper *>(pObj)->oscEvents++;
}
inline void netTestUpper_OnVerify(void *pObj, HNetCon, ConId, BOOL)
{
    static_cast<NetTestUpper *>(pObj)->verifications++;
}
inline void netTestUpper_NewConnection(void *pObjNet, ConId, NetOwnerType, NetConCallback **ppConCB, BOOL *)
{
    *ppConCB = &static_cast<NetTestUpper *>(pObjNet)->conCB;
}

inline void netTestUpper_Init(NetTestUpper *pUpper)
{
    pUpper->conCB.pConFunc = netTestUpper_OnCon;
    pUpper->conCB.pDisconFunc = netTestUpper_OnDiscon;
    pUpper->conCB.pOscCK = netTestUpper_OnOsc;
    pUpper->conCB.pPeerVerificationCK = netTestUpper_OnVerify;
    pUpper->conCB.pObjCon = pUpper;
}

inline NetCallback netTestUpper_NetCallback(NetTestUpper *pUpper)
{
    NetCallback cb;
    net_InitEmptyNetCallback(&cb);
    cb.pNewConnectionFunc = netTestUpper_NewConnection;
    cb.pObjNet = pUpper;
    return cb;
}

// A receive group that gives heap buffers (the first one short, so in-head bytes are scattered)
// and keeps every message's payload; with bOutOfBuffers it gives none.
struct NetTestGroup {
    Net *pNet = nullptr;
    std::mutex mu;
    std::vector<std::vector<UINT8>> payloads;
    std::atomic<bool> bOutOfBuffers{false};
    std::atomic<int> allocFailures{0};
};

inline void netTestGroup_Alloc(void *pGroup, UINT32, NetSmallIov *pIov, UINT32 len, Context, SocketHeaderType,
                               const UINT8 *)
{
    auto *g = static_cast<NetTestGroup *>(pGroup);
    if (g->bOutOfBuffers) {
        g->allocFailures++;
        return;
    }
    const UINT32 first = MOS_MIN(len, 7u);
    netIov_AddBuffer(pIov, malloc(first), first, NET_IOV_BUF_TYPE__USER_FIRST);
    if (len > first)
        netIov_AddBuffer(pIov, malloc(len - first), len - first, NET_IOV_BUF_TYPE__USER_FIRST);
}

inline void netTestGroup_Free(void *, UINT32, NetSmallIov *pIov)
{
    for (UINT32 i = 0; i < pIov->numOfUsedBuffers; i++) {
        UINT32 len = 0;
        free(NET_IOV__GET(pIov, i, &len));
    }
}

inline void netTestGroup_Recv(void *pGroup, NetMsgRcv *pMsg)
{
    auto *g = static_cast<NetTestGroup *>(pGroup);
    std::vector<UINT8> bytes;
    for (UINT32 i = 0; i < pMsg->req.iov.numOfUsedBuffers; i++) {
        UINT32 len = 0;
        auto *p = static_cast<UINT8 *>(NET_IOV__GET(&pMsg->req.iov, i, &len));
        bytes.insert(bytes.end(), p, p + len);
    }
    netTestGroup_Free(pGroup, 0, &pMsg->req.iov);
    {
        std::lock_guard<std::mutex> lock(g->mu);
        g->payloads.push_back(std::move(bytes));
    }
    net_FreeRecvMsg(g->pNet, pMsg);
}

inline const NetRecvGroupOps *netTestGroup_Ops(void)
{
    static const NetRecvGroupOps ops = {netTestGroup_Alloc, netTestGroup_Free, netTestGroup_Recv};
    return &ops;
}


// Connected and validated paths of a connection, read under its lock.
inline void netTest_CountPaths(Net *pNet, HNetCon hCon, UINT32 *pPaths, UINT32 *pConnected, UINT32 *pValidated,
                               UINT32 *pPortals = nullptr)
{
    *pPaths = *pConnected = *pValidated = 0;
    NetCon *pCon = netConManager_AcquireCon(&pNet->conManager, hCon);
    if (pCon == nullptr)
        return;
    mosFastlockBase_Acquire(&pCon->conFastlock);
    *pPaths = netCon_GetNumPathsUnlocked(pCon);
    *pConnected = netCon_GetNumConnectedPathsUnlocked(pCon);
    *pValidated = netCon_GetNumValidatedPahtsUnlocked(pCon);
    if (pPortals != nullptr) {
        *pPortals = 0;
        while (*pPortals < NET_CON__MAX_NUM_OF_IP_PER_HOST && pCon->pPortalsArr[*pPortals] != nullptr)
            (*pPortals)++;
    }
    mosFastlockBase_Release(&pCon->conFastlock);
    netConManager_ReleaseCon(&pNet->conManager, pCon);
}

// Two messaging roots over loopback: a server listening on a free port from SetUp, and a client
// whose connection to it ConnectClient makes. Side is the test's own: Start(ConId, Port), Stop(),
// net() and an upper layer `upper`.
template <typename Side, ConId kServerId, ConId kClientId> class NetTwoSidesTest : public ::testing::Test {
  protected:
    void SetUp() override
    {
        port_ = netEngineTest_FreePort();
        server_.Start(kServerId, port_);
    }
    void TearDown() override
    {
        if (hClient_ != 0)
            net_Disconnect(client_.net(), hClient_);
        client_.Stop();
        server_.Stop();
    }

    void ConnectClient(UINT32 portals = 3, UINT32 paths = 2)
    {
        client_.Start(kClientId, 0);
        NetCon_RemoteHosts hosts = netTest_LoopbackHosts(portals, port_, paths);
        hClient_ = net_AllocClientConList(client_.net(), kServerId, NET_OWNER_TYPE__TGT, &client_.upper.conCB, &hosts);
        ASSERT_NE(hClient_, 0u);
        ASSERT_TRUE(net_Connect(client_.net(), hClient_, FALSE));
    }

    HNetCon ServerCon() { return net_GetCon(server_.net(), kClientId); }

    Port port_ = 0;
    Side server_;
    Side client_;
    HNetCon hClient_ = 0;
};
