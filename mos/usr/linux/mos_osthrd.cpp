#include "mos/mos_osthrd.h"
#include "mos/mos_tls.h"

#include <cerrno>
#include <fcntl.h>
#include <numa.h>
#include <pthread.h>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <sys/syscall.h>
#include <unistd.h>

#include "mos/mos_contention.h"
#include "mos/mos_assert.h"
#include "mos/mos_obj.h"
#include "mos/mos_trace.h"
#include "mos/mos_utils.h"
#include "mos/mos_utils_text.h"

namespace {

constexpr MosContentionId kOsThrdListLockId = 2;

struct MosOsThrdLayer {
    MosObj_Type thrdObjType;
    MosObj_Type layerObjType;
    MosObj layerObj;
    BOOL bInRegistry; // the registry ran when the layer was created
    MosOsThrd_CpuSet defaultMask;
    MosFastlock_Base lock;
    MosDList_Anchor activeList;
    BOOL bCreated;
};

MosOsThrdLayer mosOsThrdLayer_G;

// Threads that the runtime did not create count on this record; nothing reads it.
MosOsThrd thrdDummy_G;

thread_local MosOsThrd *tlsThrd_G = &thrdDummy_G;
thread_local UINT32 tlsIntrNesting_G = 0;
thread_local void *tlsAltStack_G = nullptr;

MOS_TLS_ACCESSOR(MosOsThrd *, mosOsThrd_TlsSlot, tlsThrd_G)

MOS_TLS_ACCESSOR(UINT32, mosOsThrd_IntrSlot, tlsIntrNesting_G)

MOS_TLS_ACCESSOR(void *, mosOsThrd_AltStackSlot, tlsAltStack_G)

MosOsThrd *mosOsThrd_FromNode(MosDList_Node *pNode)
{
    return MOS_CONTAINER_OF(pNode, MosOsThrd, activeListNode);
}

// Undoes the thread's registration however the start function ends (return or
// mosOsThrd_ExitCurThrd, which unwinds the stack).
struct MosOsThrd_RunGuard {
    MosOsThrd *pThrd;
    ~MosOsThrd_RunGuard()
    {
        mosUmt_DestroyAltStack();
        {
            MosFastlockGuard guard(&mosOsThrdLayer_G.lock);
            mosDList_Remove(&mosOsThrdLayer_G.activeList, &pThrd->activeListNode);
        }
        if (mosOsThrdLayer_G.bInRegistry)
            mosObjType_UnregObj(&mosOsThrdLayer_G.thrdObjType, &pThrd->obj);
        MosContention_OsThrdDestroy();
        *mosOsThrd_TlsSlot() = &thrdDummy_G;
    }
};

void *mosOsThrd_StartFunc(void *pArg)
{
    MosOsThrd *pThrd = static_cast<MosOsThrd *>(pArg);
    MosOsThrd *&pTlsThrd_G = *mosOsThrd_TlsSlot();
    MOS_ASSERT(pTlsThrd_G == &thrdDummy_G);
    pTlsThrd_G = pThrd;
    pThrd->tid = mosOsThrd_GetCurThrdID();
    const char *pName = pThrd->obj.pName;
    if (pName != nullptr) {
        // The kernel keeps 15 characters of a thread's name.
        char shortName[16];
        snprintf(shortName, sizeof(shortName), "%s", pName);
        pthread_setname_np(pthread_self(), shortName);
    }
    if (mosOsThrdLayer_G.bInRegistry)
        mosObjType_RegObj(&mosOsThrdLayer_G.thrdObjType, &pThrd->obj, pName != nullptr ? pName : "OS thread");
    if (MosContention_OsThrdCreate() != MOS_RC__SUCCESS) {
        MOS_ERROR(MOS_COMP_CONTENTION, "Failed creating os-thread-contention context");
        if (mosOsThrdLayer_G.bInRegistry)
            mosObjType_UnregObj(&mosOsThrdLayer_G.thrdObjType, &pThrd->obj);
        *mosOsThrd_TlsSlot() = &thrdDummy_G;
        return nullptr;
    }
    {
        MosFastlockGuard guard(&mosOsThrdLayer_G.lock);
        mosDList_InsertTail(&mosOsThrdLayer_G.activeList, &pThrd->activeListNode);
    }
    mosUmt_InitAltStack();
    MosOsThrd_RunGuard runGuard{pThrd};
    pThrd->pStartFunc(pThrd->pCKArg);
    return nullptr;
}

void mosOsThrd_AllOnlineCpus(MosOsThrd_CpuSet *pSet)
{
    CPU_ZERO(pSet);
    long numCpus = sysconf(_SC_NPROCESSORS_ONLN);
    if (numCpus <= 0) {
        MOS_TRACE(MOS_COMP_MOS, MOS_FREQ_LOW, "Failed to get CPU mask. errno %d ", errno);
        CPU_SET(0, pSet);
        return;
    }
    if (numCpus > (long)MOS_OS_THRD__MAX_CPUS)
        numCpus = MOS_OS_THRD__MAX_CPUS;
    for (long cpu = 0; cpu < numCpus; cpu++)
        CPU_SET(cpu, pSet);
}

} // namespace

Mos_RC mosOsThrdLayer_Create(const MosOsThrd_InitParams *pParams)
{
    MOS_ASSERT_WITH_DESC(!mosOsThrdLayer_G.bCreated, "OS thread layer created twice");
    memset(&mosOsThrdLayer_G, 0, sizeof(mosOsThrdLayer_G));
    if (pParams != nullptr) {
        if (pParams->numaAffinity != ~(UINT64)0)
            mos_SetProcessNumaAffinity((UINT32)pParams->numaAffinity, pParams->numaMemoryAffinity);
        if (pParams->bConfigOomKiller)
            mos_ConfigProcessOomKiller();
    }
    // Start-up creates the registry first; unit tests of single modules may run without it.
    mosOsThrdLayer_G.bInRegistry = mosObjLayer_IsRunning();
    if (mosOsThrdLayer_G.bInRegistry) {
        mosObjType_RegObjType(&mosOsThrdLayer_G.thrdObjType, mosOsThrd_Query, nullptr,
                              SDBG_EXPORTS_OBJ_TYPE__MOS_OS_THRD, sizeof(MosOsThrd_Query));
        mosObjType_RegObjType(&mosOsThrdLayer_G.layerObjType, mosOsThrdLayer_Query, nullptr,
                              SDBG_EXPORTS_OBJ_TYPE__MOS_OS_THRD_LAYER, sizeof(MosOsThrdLayer_Query));
        mosObjType_RegObj(&mosOsThrdLayer_G.layerObjType, &mosOsThrdLayer_G.layerObj, "Mos OS threads");
    }
    if (mos_GetCurThreadAffinity(&mosOsThrdLayer_G.defaultMask) != MOS_RC__SUCCESS) {
        MOS_TRACE(MOS_COMP_MOS, MOS_FREQ_LOW, "Failed to get current affinity. errno %d.Setting default mask to all CPUs",
                  errno);
        mosOsThrd_AllOnlineCpus(&mosOsThrdLayer_G.defaultMask);
    }
    MOS_FASTLOCK_CREATE(&mosOsThrdLayer_G.lock, kOsThrdListLockId);
    mosDList_InitAnchor(&mosOsThrdLayer_G.activeList);
    mosOsThrdLayer_G.bCreated = TRUE;
    return MOS_RC__SUCCESS;
}

void mosOsThrdLayer_Destroy(void)
{
    if (!mosOsThrdLayer_G.bCreated)
        return;
    MOS_ASSERT_WITH_DESC(mosOsThrdLayer_G.activeList.counter == 0, "OS threads still running");
    if (mosOsThrdLayer_G.bInRegistry) {
        mosObjType_UnregObj(&mosOsThrdLayer_G.layerObjType, &mosOsThrdLayer_G.layerObj);
        mosObjType_UnregObjType(&mosOsThrdLayer_G.layerObjType);
        mosObjType_UnregObjType(&mosOsThrdLayer_G.thrdObjType);
    }
    mosFastlockBase_Destroy(&mosOsThrdLayer_G.lock);
    mosOsThrdLayer_G.bCreated = FALSE;
}

const MosOsThrd_CpuSet *mosOsThrdLayer_GetDefaultMask(void)
{
    MOS_ASSERT(mosOsThrdLayer_G.bCreated);
    return &mosOsThrdLayer_G.defaultMask;
}

Mos_RC mosOsThrd_CreateIntrn(MosOsThrd *pThrd, const MosOsThrd_CpuSet *pCpuAffinity)
{
    MOS_ASSERT_WITH_DESC(mosOsThrdLayer_G.bCreated, "OS thread layer not created");
    mosDList_InitNode(&pThrd->activeListNode);
    pthread_attr_t attr;
    int ret = pthread_attr_init(&attr);
    MOS_ASSERT(ret == 0);
    ret = pthread_attr_setstacksize(&attr, MOS_OS_THRD__STACK_SIZE);
    MOS_ASSERT(ret == 0);
    ret = pthread_attr_setaffinity_np(&attr, sizeof(*pCpuAffinity), pCpuAffinity);
    MOS_ASSERT(ret == 0);
    ret = pthread_create(&pThrd->nativeThrd, &attr, mosOsThrd_StartFunc, pThrd);
    pthread_attr_destroy(&attr);
    if (ret != 0) {
        MOS_TRACE(MOS_COMP_MOS, MOS_FREQ_LOW, "WARNING: Failed to create OS thread. errno %d", ret);
        return MOS_RC__NO_RESOURCES;
    }
    return MOS_RC__SUCCESS;
}

Mos_RC mosOsThrd_Create(MosOsThrd *pThrd, PMosOsThrd_StartFunc pThrdFunc, void *pThrdArg)
{
    return mosOsThrd_CreateNamed(pThrd, pThrdFunc, pThrdArg, nullptr);
}

Mos_RC mosOsThrd_CreateNamed(MosOsThrd *pThrd, PMosOsThrd_StartFunc pThrdFunc, void *pThrdArg,
                             const char *pName)
{
    MOS_ASSERT(pThrd != ((void *)0));
    MOS_ASSERT(pThrdFunc != ((void *)0));
    memset(pThrd, 0, sizeof(*pThrd));
    pThrd->obj.pName = pName;
    pThrd->pStartFunc = pThrdFunc;
    pThrd->pCKArg = pThrdArg;
    return mosOsThrd_CreateIntrn(pThrd, mosOsThrdLayer_GetDefaultMask());
}

void mosOsThrd_Destroy(MosOsThrd *pThrd)
{
    // pthread_join has no spurious returns: it comes back only once the thread has ended.
    int ret = pthread_join(pThrd->nativeThrd, nullptr);
    MOS_ASSERT(ret == 0);
}

BOOL mosOsThrd_EqualCurr(const MosOsThrd *pThrd)
{
    return pthread_equal(pThrd->nativeThrd, pthread_self()) ? TRUE : FALSE;
}

UINT32 mosOsThrd_GetCurThrdID(void)
{
    return (UINT32)syscall(SYS_gettid);
}

void mosOsThrd_ExitCurThrd(void)
{
    pthread_exit(nullptr);
}

MosOsThrd *mosOsThrd_GetCurrent(void)
{
    return *mosOsThrd_TlsSlot();
}

BOOL mosOsThrd_IsRuntimeThread(void)
{
    return *mosOsThrd_TlsSlot() != &thrdDummy_G ? TRUE : FALSE;
}

Mos_RC mosOsThrd_SetHighPrio(MosOsThrd *pThrd)
{
    sched_param param{};
    param.sched_priority = sched_get_priority_max(SCHED_RR);
    int ret = pthread_setschedparam(pThrd->nativeThrd, SCHED_RR, &param);
    if (ret != 0) {
        MOS_TRACE(MOS_COMP_MOS, MOS_FREQ_LOW, "WARNING: Failed to set high priority. errno %d", ret);
        return MOS_RC__ERROR;
    }
    return MOS_RC__SUCCESS;
}

Mos_RC mosOsThrd_BindToCpu(MosOsThrd *pThrd, UINT32 cpuNum)
{
    MosOsThrd_CpuSet set;
    CPU_ZERO(&set);
    if (cpuNum < MOS_OS_THRD__MAX_CPUS)
        CPU_SET(cpuNum, &set);
    int ret = pthread_setaffinity_np(pThrd->nativeThrd, sizeof(set), &set);
    if (ret != 0) {
        MOS_TRACE(MOS_COMP_MOS, MOS_FREQ_LOW, "WARNING: Failed to bind thread to CPU %u. errno %d", cpuNum, ret);
        return MOS_RC__ERROR;
    }
    return MOS_RC__SUCCESS;
}

void mosOsThrd_PrepareSetCpuMask(MosOsThrd_CpuSet *pSet)
{
    mosOsThrd_AllOnlineCpus(pSet);
}

void mosOsThrd_BlockAllSignals(void)
{
    sigset_t set;
    sigfillset(&set);
    sigdelset(&set, SIGUSR1);
    int ret = pthread_sigmask(SIG_BLOCK, &set, nullptr);
    MOS_ASSERT(ret == 0);
}

void mosUmt_InitAltStack(void)
{
    void **ppStack = mosOsThrd_AltStackSlot();
    MOS_ASSERT(*ppStack == nullptr);
    void *pMem = nullptr;
    int ret = posix_memalign(&pMem, (size_t)sysconf(_SC_PAGESIZE), MOS_OS_THRD__ALT_STACK_SIZE);
    MOS_ASSERT(ret == 0);
    stack_t st{};
    st.ss_sp = pMem;
    st.ss_size = MOS_OS_THRD__ALT_STACK_SIZE;
    st.ss_flags = 0;
    ret = sigaltstack(&st, nullptr);
    MOS_ASSERT(ret == 0);
    *ppStack = pMem;
}

void mosUmt_DestroyAltStack(void)
{
    void **ppStack = mosOsThrd_AltStackSlot();
    if (*ppStack == nullptr)
        return;
    stack_t st{};
    st.ss_flags = SS_DISABLE;
    int ret = sigaltstack(&st, nullptr);
    MOS_ASSERT(ret == 0);
    free(*ppStack);
    *ppStack = nullptr;
}

void mosOsThrd_UpdateLockStats(UINT64 numAcquires, UINT64 numContentions)
{
    MosOsThrd *pThrd = mosOsThrd_GetCurrent();
    if (pThrd == &thrdDummy_G)
        return;
    pThrd->numLocksAcquires += numAcquires;
    pThrd->numLocksContentions += numContentions;
}

void mosOsThrd_UpdateUmtWaits(MosOsThrd_UmtWaitType umtWaitType, BOOL bWait)
{
    MOS_ASSERT(umtWaitType < MOS_OS_THRD__UMT_WAIT_TYPE__LAST);
    MosOsThrd *pThrd = mosOsThrd_GetCurrent();
    if (pThrd == &thrdDummy_G)
        return;
    if (bWait)
        pThrd->umtWaits[umtWaitType]++;
    else
        pThrd->umtWaits[umtWaitType]--;
}

void mosOsThrd_UpdateMallocCount(void)
{
    MosOsThrd *pThrd = mosOsThrd_GetCurrent();
    if (pThrd != &thrdDummy_G)
        pThrd->numMallocs++;
}

void mosOsThrd_UpdateFreeCount(void)
{
    MosOsThrd *pThrd = mosOsThrd_GetCurrent();
    if (pThrd != &thrdDummy_G)
        pThrd->numMallocs--;
}

MosContentionOsThrdCtx *mosOsThrd_GetContentionCtx(void)
{
    return mosOsThrd_GetCurrent()->pContCtx;
}

void mosOsThrd_SetIsInIntrContext(BOOL bIsInIntrContext)
{
    UINT32 *pNesting = mosOsThrd_IntrSlot();
    if (bIsInIntrContext) {
        (*pNesting)++;
    } else {
        MOS_ASSERT(*pNesting > 0);
        (*pNesting)--;
    }
}

BOOL mosOsThrd_GetIsInIntrContext(void)
{
    return *mosOsThrd_IntrSlot() != 0 ? TRUE : FALSE;
}

BOOL mosOsThrd_NoIntrViolation(void)
{
    return (mosUtilsLayer_GetCrashOnIntrViolation() && mosOsThrd_GetIsInIntrContext()) ? FALSE : TRUE;
}

Mos_RC mosOsThrdLayer_GetActiveThrdIDs(UINT32 **ppIds, UINT32 *pNumOfThreads)
{
    MOS_ASSERT(ppIds != ((void *)0));
    MOS_ASSERT(pNumOfThreads != ((void *)0));
    MosFastlockGuard guard(&mosOsThrdLayer_G.lock);
    UINT32 num = mosOsThrdLayer_G.activeList.counter;
    // One extra slot so that an empty list still yields an array the caller can free.
    UINT32 *pIds = static_cast<UINT32 *>(malloc(sizeof(UINT32) * (num + 1)));
    if (pIds == nullptr)
        return MOS_RC__NO_RESOURCES;
    UINT32 i = 0;
    for (MosDList_Node *pNode = mosDList_First(&mosOsThrdLayer_G.activeList); pNode != nullptr;
         pNode = mosDList_Next(pNode))
        pIds[i++] = mosOsThrd_FromNode(pNode)->tid;
    MOS_ASSERT(i == num);
    *ppIds = pIds;
    *pNumOfThreads = num;
    return MOS_RC__SUCCESS;
}

UINT32 mosOsThrdLayer_GetNumActive(void)
{
    MosFastlockGuard guard(&mosOsThrdLayer_G.lock);
    return mosOsThrdLayer_G.activeList.counter;
}

void mosOsThrd_Query(MosObj *pObj, const CHAR_A *pName, void *pQueryData)
{
    MOS_UNUSED(pName);
    const MosOsThrd *pThrd = MOS_CONTAINER_OF(pObj, MosOsThrd, obj);
    MosOsThrd_Query *pData = static_cast<MosOsThrd_Query *>(pQueryData);
    pData->numLocksAcquires = pThrd->numLocksAcquires;
    pData->numLocksContentions = pThrd->numLocksContentions;
    pData->numMallocs = pThrd->numMallocs;
    pData->umtWaitsCond = pThrd->umtWaits[MOS_OS_THRD__UMT_WAIT_TYPE__COND];
}

void mosOsThrdLayer_Query(MosObj *pObj, const CHAR_A *pName, void *pQueryData)
{
    MOS_UNUSED(pObj);
    MOS_UNUSED(pName);
    MosOsThrdLayer_Query *pData = static_cast<MosOsThrdLayer_Query *>(pQueryData);
    memset(pData, 0, sizeof(*pData));
    MosFastlockGuard guard(&mosOsThrdLayer_G.lock);
    for (MosDList_Node *pNode = mosDList_First(&mosOsThrdLayer_G.activeList); pNode != nullptr;
         pNode = mosDList_Next(pNode)) {
        const MosOsThrd *pThrd = mosOsThrd_FromNode(pNode);
        pData->numLocksAcquires += pThrd->numLocksAcquires;
        pData->numLocksContentions += pThrd->numLocksContentions;
        pData->numMallocs += pThrd->numMallocs;
        pData->umtWaitsCond += pThrd->umtWaits[MOS_OS_THRD__UMT_WAIT_TYPE__COND];
        pData->umtWaitsReader += pThrd->umtWaits[MOS_OS_THRD__UMT_WAIT_TYPE__READER];
        pData->umtWaitsWriter += pThrd->umtWaits[MOS_OS_THRD__UMT_WAIT_TYPE__WRITER];
        pData->numThreads++;
    }
}

// ---------------------------------------------------------------------------------------------
// Process placement

Mos_RC mos_SetProcessNumaAffinity(UINT32 numaNode, BOOL numaMemoryAffinity)
{
    if (numa_available() < 0) {
        MOS_TRACE(MOS_COMP_MOS, MOS_FREQ_LOW, "Numa interface not available");
        return MOS_RC__ERROR;
    }
    if ((int)numaNode < 0 || (int)numaNode > numa_max_node()) {
        MOS_TRACE(MOS_COMP_MOS, MOS_FREQ_LOW, "Numa node out of range %d", (int)numaNode);
        return MOS_RC__INVALID;
    }
    bitmask *pMask = numa_allocate_nodemask();
    MOS_ASSERT(pMask != ((void *)0));
    numa_bitmask_setbit(pMask, numaNode);
    Mos_RC rc = MOS_RC__SUCCESS;
    if (numa_run_on_node_mask(pMask) != 0) {
        MOS_TRACE(MOS_COMP_MOS, MOS_FREQ_LOW, "Error binding cpus to %d", (int)numaNode);
        rc = MOS_RC__ERROR;
    } else if (numaMemoryAffinity) {
        numa_set_membind(pMask);
    }
    numa_bitmask_free(pMask);
    return rc;
}

Mos_RC mos_GetCurThreadAffinity(MosOsThrd_CpuSet *pMask)
{
    CPU_ZERO(pMask);
    if (pthread_getaffinity_np(pthread_self(), sizeof(*pMask), pMask) != 0)
        return MOS_RC__ERROR;
    return MOS_RC__SUCCESS;
}

void mos_PrepareSetCpuMask(MosOsThrd_CpuSet *pSet)
{
    mosOsThrd_PrepareSetCpuMask(pSet);
}

static BOOL mos_WriteProcFile(const char *pFormat, const char *pValue)
{
    char path[64];
    snprintf(path, sizeof(path), pFormat, (int)getpid());
    int fd = open(path, O_WRONLY);
    if (fd < 0)
        return FALSE;
    size_t len = strlen(pValue);
    ssize_t written = write(fd, pValue, len);
    close(fd);
    return written == (ssize_t)len ? TRUE : FALSE;
}

Mos_RC mos_ConfigProcessOomKiller(void)
{
    BOOL bAdj = mos_WriteProcFile("/proc/%d/oom_adj", "-16");
    BOOL bScoreAdj = mos_WriteProcFile("/proc/%d/oom_score_adj", "-999");
    return (bAdj && bScoreAdj) ? MOS_RC__SUCCESS : MOS_RC__ERROR;
}
