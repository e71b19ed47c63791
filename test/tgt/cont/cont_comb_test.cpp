// Comb objects: the passes over the comb list (abort by a writer, rotation, first access once and
// in order), cleaning against the deletion generation, and the multi-head size statistics with
// their reply. The mirroring part's per-comb work is replaced by a recorder, so that the passes
// run without devices.
#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <cstring>
#include <functional>
#include <map>
#include <memory>
#include <string>
#include <vector>

#include "mos/mos_trace.h"
#include "mos/mos_utils_mem.h"
#include "test/support/tgt_test_support.h"
#include "test/support/trace_capture.h"
#include "tgt/cont/cont.h"
#include "tgt/cont/cont_comb.h"

namespace {
::testing::Environment *const env_G = ::testing::AddGlobalTestEnvironment(new TgtRuntimeEnv);

// What the mirroring part was asked to do, comb by comb, and what it answers.
struct Recorder {
    std::vector<CombId> visited; // in call order, by every recorded operation of the pass
    std::map<CombId, BOOL> cleanResult;
    std::map<CombId, std::pair<UINT32, UINT32>> sizes; // size, base size
    std::function<void(CombId)> onComb;                // runs inside the pass at each comb
};
Recorder *rec_G = nullptr;

CombId idOf(RaidComb *pRaid)
{
    return MOS_CONTAINER_OF(pRaid, ContComb, raidComb)->combId;
}
void visit(RaidComb *pRaid)
{
    const CombId id = idOf(pRaid);
    rec_G->visited.push_back(id);
    if (rec_G->onComb)
        rec_G->onComb(id);
}

const ContCombRaidOps kRecordingOps = {
    [](RaidComb *p) -> BOOL {
        visit(p);
        return TRUE;
    },
    [](RaidComb *p) { visit(p); },
    [](RaidComb *p) { visit(p); },
    [](RaidComb *, BOOL) -> BOOL { return TRUE; },
    [](RaidComb *p, VtreeMap *, BOOL) -> BOOL {
        visit(p);
        auto it = rec_G->cleanResult.find(idOf(p));
        return it == rec_G->cleanResult.end() ? TRUE : it->second;
    },
    [](Cont *, RaidComb *p) { visit(p); },
    [](RaidComb *p, UINT32 *pSize, UINT32 *pBase) {
        visit(p);
        const auto s = rec_G->sizes[idOf(p)];
        *pSize = s.first;
        *pBase = s.second;
    },
    [](RaidComb *, FILE *) {},
};

// A comb id of multi head mh, row r.
constexpr CombId combOf(UINT32 mh, UINT32 row = 0)
{
    return ((CombId)mh << CONT_COMB__MH_ID_SHIFT) | row;
}

class CombMngrTest : public ::testing::Test {
  public:
    void SetUp() override
    {
        traceTest_Capture();
        pCont = static_cast<Cont *>(calloc(1, sizeof(Cont)));
        contObj_Init(&pCont->objs, CONT_OBJ_TYPE__DEV, CONT_OBJ_TYPE__HEAD);
        mngr = &pCont->combMngr;
        contCombMngr_Init(mngr, pCont);
        contCombMngr_SetRaidOps(mngr, &kRecordingOps);
        rec_G = &rec;
    }
    void TearDown() override
    {
        rec.onComb = nullptr;
        while (!combs.empty())
            remove(combs.front().get());
        contCombMngr_Destroy(mngr);
        contObj_Destroy(&pCont->objs);
        free(pCont);
        rec_G = nullptr;
    }

    // The add command's steps for one comb (on a uthread).
    ContComb *addOnUmt(CombId id)
    {
        combs.push_back(std::make_unique<ContComb>());
        ContComb *c = combs.back().get();
        contCombMngr_CombInit(c, pCont, 0xD0, id, 0x7002, 0, 1, FALSE);
        Mos_RC rc;
        EXPECT_EQ(contObj_AddStart(&pCont->objs, id, CONT_OBJ_TYPE__COMB, &rc), nullptr);
        contObj_AddSyncDone(&pCont->objs, &c->lists.accessLock, id, CONT_OBJ_TYPE__COMB, c, &c->lists.hashRecord);
        contCombMngr_CombAdd(mngr, c, TRUE);
        contObj_AddDone(&pCont->objs, &c->lists.accessLock, id, CONT_OBJ_TYPE__COMB);
        return c;
    }
    ContComb *add(CombId id)
    {
        ContComb *c = nullptr;
        umtTest_RunAsUmt([&] { c = addOnUmt(id); });
        return c;
    }
    void remove(ContComb *c)
    {
        const CombId id = c->combId;
        umtTest_RunAsUmt([&] {
            EXPECT_EQ(contObj_Rem(&pCont->objs, id, CONT_OBJ_TYPE__COMB), c);
            contCombMngr_CombPrepareDestroy(c);
            contCombMngr_CombRem(mngr, c, TRUE);
            contCombMngr_CombDestroy(mngr, c);
        });
        std::erase_if(combs, [c](auto &p) { return p.get() == c; });
    }
    std::vector<CombId> listOrder()
    {
        std::vector<CombId> out;
        for (MosDList_Node *n = mosDList_First(&mngr->combAnchor); n != nullptr; n = mosDList_Next(n))
            out.push_back(MOS_CONTAINER_OF(n, ContComb, lists.listNode)->combId);
        return out;
    }
    std::vector<CombId> runPass(const std::function<void()> &pass)
    {
        rec.visited.clear();
        umtTest_RunAsUmt(pass);
        return rec.visited;
    }

    Cont *pCont = nullptr;
    ContCombMngr *mngr = nullptr;
    Recorder rec;
    std::vector<std::unique_ptr<ContComb>> combs;
};

// A writer that comes while a pass holds the list: the pass stops at its next comb, the writer
// then gets the list, and the next run of the pass walks every comb again.
TEST_F(CombMngrTest, AWriterStopsEachPassAtItsNextComb)
{
    // Each pass leaves what it answers in result: the cleaning's code, the number of multi heads.
    UINT64 result = 0;
    struct Case {
        const char *name;
        std::function<void(CombMngrTest &, UINT64 &)> pass;
        const char *abortText;
        UINT64 abortedResult;
    };
    const Case cases[] = {
        {"update", [](CombMngrTest &t, UINT64 &) { contCombMngr_UpdateCombs(t.mngr); }, "Abort update combs", 0},
        {"clean", [](CombMngrTest &t, UINT64 &r) { r = contCombMngr_CleanCombs(t.mngr, t.pCont, 9, TRUE); },
         "Abort clean teeth", MOS_RC__ABORTED},
        {"remote DRL", [](CombMngrTest &t, UINT64 &) { contCombMngr_ResetRemoteDrls(t.mngr, t.pCont); },
         "Abort reset remote DRL", 0},
        {"statistics",
         [](CombMngrTest &t, UINT64 &r) {
             NetRpcData res{};
             NET_IOV__INIT(&res.iov);
             EXPECT_EQ(contCombMngr_GetCombStats(t.mngr, &res), MOS_RC__SUCCESS);
             ASSERT_EQ(res.iov.numOfUsedBuffers, 1u);
             r = *static_cast<UINT16 *>(res.iov.buf[0].iov_base);
             mos_MemFree(res.iov.buf[0].iov_base);
             netIov_Destroy(&res.iov);
         },
         "Comb stats loop aborted", 2}, // the table so far: the two combs reached
    };
    for (UINT32 mh = 1; mh <= 4; mh++)
        add(combOf(mh));
    CombId nextId = combOf(100);
    for (const Case &c : cases) {
        SCOPED_TRACE(c.name);
        HMosUmt_UThread hWriter = nullptr;
        struct WriterArg {
            CombMngrTest *t;
            CombId id;
        } arg{this, nextId++};
        rec.onComb = [&](CombId id) {
            if (id != combOf(2))
                return;
            hWriter = mosUmt_CreateUThreadEx(
                [](void *p) {
                    auto *a = static_cast<WriterArg *>(p);
                    a->t->addOnUmt(a->id);
                },
                &arg, nullptr, nullptr, TRUE, MosUmtClassId{0, 0});
            while (mngr->abortItr.load() == 0) // the writer waits for the list
                mosUmt_Yield();
        };
        const size_t before = combs.size();
        result = 0;
        EXPECT_EQ(runPass([&] { c.pass(*this, result); }), (std::vector<CombId>{combOf(1), combOf(2)}));
        EXPECT_EQ(result, c.abortedResult);
        ASSERT_NE(hWriter, nullptr);
        mosUmt_JoinSync(hWriter);
        rec.onComb = nullptr;
        EXPECT_TRUE(traced(c.abortText));
        EXPECT_EQ(combs.size(), before + 1);
        EXPECT_EQ(runPass([&] { c.pass(*this, result); }).size(), combs.size()) << "the next run walks all combs";
        if (c.abortedResult == MOS_RC__ABORTED) {
            EXPECT_EQ(result, MOS_RC__SUCCESS);
        }
    }
}

// The Ostrel-state pass rotates the list: a full run leaves it as it was, an aborted run leaves
// it so that the next run starts with the combs it did not reach.
TEST_F(CombMngrTest, OstrelStatePassResumesWhereAnAbortStoppedIt)
{
    for (UINT32 mh = 1; mh <= 5; mh++)
        add(combOf(mh));
    const std::vector<CombId> original = listOrder();
    auto pass = [&] { contCombMngr_UpdateOstrelOnAllCombs(mngr, pCont); };

    EXPECT_EQ(runPass(pass), original);
    EXPECT_EQ(listOrder(), original);

    // A writer announces itself while comb 3 is being reported.
    rec.onComb = [&](CombId id) {
        if (id == combOf(3))
            mngr->abortItr.fetch_add(1);
    };
    EXPECT_EQ(runPass(pass), (std::vector<CombId>{combOf(1), combOf(2), combOf(3)}));
    mngr->abortItr.fetch_sub(1);
    rec.onComb = nullptr;
    EXPECT_TRUE(traced("Abort update combs state"));

    const std::vector<CombId> resumed{combOf(4), combOf(5), combOf(1), combOf(2), combOf(3)};
    EXPECT_EQ(listOrder(), resumed);
    EXPECT_EQ(runPass(pass), resumed);
    EXPECT_EQ(listOrder(), resumed);

    // A comb removed from the registry while the list still names it is skipped, not reported.
    ContComb *gone = combs[3].get();
    umtTest_RunAsUmt([&] { EXPECT_EQ(contObj_Rem(&pCont->objs, gone->combId, CONT_OBJ_TYPE__COMB), gone); });
    EXPECT_EQ(runPass(pass).size(), 4u);
    umtTest_RunAsUmt([&] {
        contCombMngr_CombRem(mngr, gone, TRUE);
        contCombMngr_CombDestroy(mngr, gone);
    });
    std::erase_if(combs, [gone](auto &p) { return p.get() == gone; });
}

// Every comb is first-accessed once, in the order of the adds; a comb removed before its turn
// never is; an abort leaves the rest for the next run.
TEST_F(CombMngrTest, FirstAccessOnceInAddOrderAndNeverAfterRemoval)
{
    auto pass = [&] { contCombMngr_UpdateAllCombFirstAccess(mngr); };
    add(combOf(1));
    ContComb *two = add(combOf(2));
    add(combOf(3));
    remove(two);
    EXPECT_EQ(runPass(pass), (std::vector<CombId>{combOf(1), combOf(3)}));
    EXPECT_TRUE(runPass(pass).empty()) << "already first-accessed";

    for (UINT32 mh = 4; mh <= 6; mh++)
        add(combOf(mh));
    rec.onComb = [&](CombId id) {
        if (id == combOf(4))
            mngr->abortItr.fetch_add(1);
    };
    EXPECT_EQ(runPass(pass), (std::vector<CombId>{combOf(4)}));
    mngr->abortItr.fetch_sub(1);
    rec.onComb = nullptr;
    EXPECT_TRUE(traced("Abort first access combs"));
    EXPECT_EQ(runPass(pass), (std::vector<CombId>{combOf(5), combOf(6)}));

    // The I/O handler's handle is the comb's own, and is gone with it.
    umtTest_RunAsUmt([&] {
        IohComb *h = cont_AcquireIohComb(pCont, combOf(5));
        ASSERT_NE(h, nullptr);
        EXPECT_EQ(h->pRaid, &MOS_CONTAINER_OF(h, ContComb, iohComb)->raidComb);
        cont_ReleaseIohComb(pCont, combOf(5));
        EXPECT_EQ(cont_AcquireIohComb(pCont, combOf(2)), nullptr);
    });
}

// Cleaning runs on a comb whose generation is below the round's, or on every comb when full; a
// comb whose cleaning did not run keeps the round incomplete; an equal generation is skipped with
// a line at the lowest trace level.
TEST_F(CombMngrTest, CleaningFollowsTheCombsGeneration)
{
    ContComb *a = add(combOf(1));
    ContComb *b = add(combOf(2));
    const MosTraceFrequency saved = g_componentFreqLevelsArr[MOS_COMP_TGT_CONT];
    g_componentFreqLevelsArr[MOS_COMP_TGT_CONT] = MOS_FREQ_LOW;
    struct Step {
        UINT64 maxPend;
        BOOL bFull;
        BOOL cleanB; // what b's cleaning answers
        std::vector<CombId> cleaned;
        UINT64 genA, genB;
        Mos_RC rc;
    };
    const Step steps[] = {
        {7, FALSE, TRUE, {combOf(1), combOf(2)}, 7, 7, MOS_RC__SUCCESS},
        {7, FALSE, TRUE, {}, 7, 7, MOS_RC__SUCCESS}, // equal: skipped
        {9, FALSE, FALSE, {combOf(1), combOf(2)}, 9, 7, MOS_RC__ABORTED},
        {9, FALSE, TRUE, {combOf(2)}, 9, 9, MOS_RC__SUCCESS},
        {9, TRUE, TRUE, {combOf(1), combOf(2)}, 9, 9, MOS_RC__SUCCESS}, // full: all, generation kept
        {3, FALSE, TRUE, {}, 9, 9, MOS_RC__SUCCESS},
    };
    for (const Step &s : steps) {
        SCOPED_TRACE(s.maxPend);
        rec.cleanResult[combOf(2)] = s.cleanB;
        Mos_RC rc = MOS_RC__ERROR;
        EXPECT_EQ(runPass([&] { rc = contCombMngr_CleanCombs(mngr, pCont, s.maxPend, s.bFull); }), s.cleaned);
        EXPECT_EQ(rc, s.rc);
        EXPECT_EQ(a->doneCleanGen, s.genA);
        EXPECT_EQ(b->doneCleanGen, s.genB);
    }
    g_componentFreqLevelsArr[MOS_COMP_TGT_CONT] = saved;
    EXPECT_TRUE(traced("Comb's 8000 clean generation (7) is higher than the max Pending from Vtrees (7)"));
}

// A query while another runs is refused at once, and the running one still answers.
TEST_F(CombMngrTest, SecondStatisticsQueryWhileOneRunsIsAborted)
{
    add(combOf(1));
    add(combOf(2));
    rec.sizes[combOf(1)] = {4, 2};
    rec.sizes[combOf(2)] = {6, 1};
    Mos_RC inner = MOS_RC__SUCCESS;
    UINT32 innerBuffers = 99;
    rec.onComb = [&](CombId id) {
        if (id != combOf(1))
            return;
        NetRpcData res{};
        NET_IOV__INIT(&res.iov);
        inner = contCombMngr_GetCombStats(mngr, &res);
        innerBuffers = res.iov.numOfUsedBuffers;
        netIov_Destroy(&res.iov);
    };
    NetRpcData res{};
    NET_IOV__INIT(&res.iov);
    Mos_RC outer = MOS_RC__ERROR;
    runPass([&] { outer = contCombMngr_GetCombStats(mngr, &res); });
    EXPECT_EQ(inner, MOS_RC__ABORTED);
    EXPECT_EQ(innerBuffers, 0u);
    EXPECT_TRUE(traced("Older request in progress. Aborting"));
    EXPECT_EQ(outer, MOS_RC__SUCCESS);
    ASSERT_EQ(res.iov.numOfUsedBuffers, 1u);
    EXPECT_EQ(res.iov.buf[0].iov_len, 26u + 2 * 44u);
    mos_MemFree(res.iov.buf[0].iov_base);
    netIov_Destroy(&res.iov);
    rec.onComb = nullptr;
    EXPECT_EQ(runPass([&] {
                  NetRpcData r{};
                  NET_IOV__INIT(&r.iov);
                  EXPECT_EQ(contCombMngr_GetCombStats(mngr, &r), MOS_RC__SUCCESS) << "the flag was cleared";
                  mos_MemFree(r.iov.buf[0].iov_base);
                  netIov_Destroy(&r.iov);
              }).size(),
              2u);
}

// The reply byte by byte: multi heads keyed by their whole id (ids whose low bits agree, or that
// meet in the table, stay apart; ids of any size are counted), in ascending id order, with the
// minimum and maximum comb of each; a comb whose base size is above its size is left out.
TEST_F(CombMngrTest, StatisticsReplyBytes)
{
    struct C {
        CombId id;
        UINT32 size, base;
    };
    const C in[] = {
        {combOf(5, 1), 10, 4},           {combOf(5, 2), 30, 20}, {combOf(5, 3), 20, 20},
        {combOf(3), 7, 7},               {combOf(0x10005), 12, 1}, // low 16 bits as mh 5
        {combOf(2048 + 5), 9, 0},                                   // same table slot as mh 5
        {combOf(0xFFFFFFFFu, 1023), 1, 1},                          // the largest id
        {combOf(3, 9), 5, 6},                                       // base above size: left out
    };
    for (const C &c : in) {
        add(c.id);
        rec.sizes[c.id] = {c.size, c.base};
    }
    NetRpcData res{};
    NET_IOV__INIT(&res.iov);
    Mos_RC rc = MOS_RC__ERROR;
    runPass([&] { rc = contCombMngr_GetCombStats(mngr, &res); });
    ASSERT_EQ(rc, MOS_RC__SUCCESS);
    ASSERT_EQ(res.iov.numOfUsedBuffers, 1u);
    const auto *p = static_cast<const UINT8 *>(res.iov.buf[0].iov_base);
    std::vector<UINT8> b(p, p + res.iov.buf[0].iov_len);
    mos_MemFree(res.iov.buf[0].iov_base);
    netIov_Destroy(&res.iov);

    struct Rec {
        UINT32 mh, maxSize, maxBase, minSize, minBase;
    };
    const Rec want[] = {
        {3, 7, 7, 7, 7},
        {5, 30, 20, 10, 4},
        {2048 + 5, 9, 0, 9, 0},
        {0x10005, 12, 1, 12, 1},
        {0xFFFFFFFFu, 1, 1, 1, 1},
    };
    const size_t n = std::size(want);
    ASSERT_EQ(b.size(), 26 + 44 * n);
    auto u32 = [&](size_t off) {
        UINT32 v;
        memcpy(&v, &b[off], 4);
        return v;
    };
    EXPECT_EQ(b[0] | (b[1] << 8), (int)n);
    EXPECT_TRUE(std::all_of(b.begin() + 2, b.begin() + 26, [](UINT8 x) { return x == 0; }));
    for (size_t i = 0; i < n; i++) {
        SCOPED_TRACE(i);
        const size_t o = 26 + 44 * i;
        EXPECT_EQ(u32(o), want[i].mh);
        EXPECT_EQ(u32(o + 4), want[i].maxSize);
        EXPECT_EQ(u32(o + 8), want[i].maxBase);
        EXPECT_EQ(u32(o + 12), want[i].minSize);
        EXPECT_EQ(u32(o + 16), want[i].minBase);
        EXPECT_TRUE(std::all_of(b.begin() + o + 20, b.begin() + o + 44, [](UINT8 x) { return x == 0; }));
    }
}

// The reconfiguration sweep: marks, the walk over the combs still marked, and removal of those
// without taking the lock again.
TEST_F(CombMngrTest, SweepRemovesTheCombsLeftMarked)
{
    for (UINT32 mh = 1; mh <= 4; mh++)
        add(combOf(mh));
    std::vector<ContComb *> swept;
    umtTest_RunAsUmt([&] {
        contCombMngr_MarkAllCombs(mngr);
        combs[1]->bMark = FALSE; // listed again by the Ostrel
        combs[2]->bMark = FALSE;
        for (ContComb *c = contCombMngr_GetNextMarkedNode(mngr, nullptr); c != nullptr;) {
            ContComb *next = contCombMngr_GetNextMarkedNode(mngr, c);
            contCombMngr_CombRem(mngr, c, FALSE);
            swept.push_back(c);
            c = next;
        }
        contCombMngr_FinishCombLoop(mngr);
    });
    ASSERT_EQ(swept.size(), 2u);
    EXPECT_EQ(swept[0]->combId, combOf(1));
    EXPECT_EQ(swept[1]->combId, combOf(4));
    EXPECT_EQ(listOrder(), (std::vector<CombId>{combOf(2), combOf(3)}));
    for (ContComb *c : swept) {
        umtTest_RunAsUmt([&] {
            EXPECT_EQ(contObj_Rem(&pCont->objs, c->combId, CONT_OBJ_TYPE__COMB), c);
            contCombMngr_CombDestroy(mngr, c);
        });
        std::erase_if(combs, [c](auto &p) { return p.get() == c; });
    }
    EXPECT_EQ(runPass([&] { contCombMngr_UpdateAllCombFirstAccess(mngr); }),
              (std::vector<CombId>{combOf(2), combOf(3)}));
}
// The commands' add and remove of one comb answer for what is not there, and leave nothing.
TEST_F(CombMngrTest, AddOnAnUnknownDeviceAndRemoveOfAnUnknownCombChangeNothing)
{
    ContCombAddArgs a{};
    a.combId = combOf(7);
    a.devId = 0xDEAD;
    a.raidTgtId = 0x7002;
    a.bLock = TRUE;
    umtTest_RunAsUmt([&] {
        EXPECT_EQ(contComb_AddOne(pCont, &a), MOS_RC__INVALID_DEV_ID);
        EXPECT_EQ(contObj_Acquire(&pCont->objs, a.combId, CONT_OBJ_TYPE__COMB), nullptr);
        EXPECT_EQ(contComb_RemById(pCont, a.combId, FALSE, TRUE), MOS_RC__NOT_FOUND);
    });
    EXPECT_EQ(mngr->combAnchor.counter, 0u);
}
} // namespace
