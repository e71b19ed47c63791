#include <gtest/gtest.h>

#include <atomic>
#include <functional>
#include <map>
#include <memory>
#include <sstream>
#include <string>
#include <vector>

#include "mos/umt/mos_umt.h"
#include "mos/umt/mos_umt_event.h"
#include "mos/umt/mos_umt_rwlock.h"
#include "mos/umt/mos_umt_sched_thrd.h"
#include "mos/umt/mos_umt_semaphore.h"
#include "test/support/umt_test_support.h"

namespace {
::testing::Environment *const umtEnv_G = ::testing::AddGlobalTestEnvironment(new UmtRuntimeEnv);

const MosUmtClassId kNoClass{0, 0};

// A uthread on the foreign scheduler that takes something, holds it until told to let go, and
// lets it go. Foreign uthreads run nested on whichever thread wakes them, so a script of such
// actors driven from the test thread runs deterministically.
struct Actor {
    std::function<void()> acquire;
    std::function<void()> release;
    MosUmt_Sem letGo;
    bool bHolding = false;
    bool bEnded = false;
    HMosUmt_UThread h = nullptr;

    static void Main(void *p)
    {
        Actor *a = static_cast<Actor *>(p);
        a->acquire();
        a->bHolding = true;
        EXPECT_EQ(mosUmtSem_DecTimed(&a->letGo, 1, 0), MOS_RC__SUCCESS);
        a->bHolding = false;
        a->release();
        a->bEnded = true;
    }
};

// Runs a script of space-separated steps "<op><actor>=<holders>": after the step, exactly the
// actors named in <holders> hold (or have passed) what they asked for.
//   R/W  a new actor takes the read-write lock for reading/writing
//   V    a new actor waits on the event
//   -    the actor lets go (releases the lock; an event waiter just ends)
//   S/X  the event is set/reset (no actor digit)
//   r/w  the test thread tries to read/write lock: B expects MOS_RC__BUSY, S success (released
//        at once)
class Script {
  public:
    explicit Script(BOOL bAutomaticEvent)
    {
        mosUmtRWLock_Init(&rw_);
        mosUmtEvent_Init(&event_, bAutomaticEvent);
    }
    ~Script()
    {
        for (auto &[id, a] : actors_) {
            if (a->h != nullptr) {
                mosUmt_JoinSync(a->h);
                mosUmtSem_Destroy(&a->letGo);
            }
        }
        mosUmtEvent_Destroy(&event_);
        mosUmtRWLock_Destroy(&rw_);
    }

    void Run(const std::string &script)
    {
        std::istringstream in(script);
        std::string token;
        while (in >> token) {
            SCOPED_TRACE("step " + token);
            std::string::size_type eq = token.find('=');
            ASSERT_NE(eq, std::string::npos);
            Step(token.substr(0, eq));
            EXPECT_EQ(Holders(), token.substr(eq + 1));
        }
    }

    // Lets every actor end: each is told to let go, and the event is set until the last waiter
    // has passed.
    void ReleaseAll()
    {
        for (auto &[id, a] : actors_)
            mosUmtSem_IncInter(&a->letGo, 1, TRUE);
        for (size_t i = 0; i <= actors_.size(); i++) {
            bool bAll = true;
            for (auto &[id, a] : actors_)
                bAll = bAll && a->bEnded;
            if (bAll)
                return;
            mosUmtEvent_Set(&event_);
        }
        ADD_FAILURE() << "an actor did not end";
    }

  private:
    void Spawn(char id, std::function<void()> acquire, std::function<void()> release)
    {
        auto a = std::make_unique<Actor>();
        a->acquire = std::move(acquire);
        a->release = std::move(release);
        mosUmtSem_Init(&a->letGo);
        Actor *p = a.get();
        actors_[id] = std::move(a);
        p->h = mosUmt_CreateUThreadEx(Actor::Main, p, MOS_UMT_SCHED__FOREIGN, nullptr, TRUE, kNoClass);
        ASSERT_NE(p->h, nullptr);
    }

    void Step(const std::string &op)
    {
        char kind = op[0];
        char id = op.size() > 1 ? op[1] : 0;
        switch (kind) {
        case 'R':
            Spawn(id, [this] { mosUmtRWLock_AcquireReadLock(&rw_); }, [this] { mosUmtRWLock_ReleaseReadLock(&rw_); });
            break;
        case 'W':
            Spawn(id, [this] { mosUmtRWLock_AcquireWriteLock(&rw_); }, [this] { mosUmtRWLock_ReleaseWriteLock(&rw_); });
            break;
        case 'V':
            Spawn(id, [this] { mosUmtEvent_Wait(&event_); }, [] {});
            break;
        case '-':
            ASSERT_TRUE(actors_.count(id));
            mosUmtSem_IncInter(&actors_[id]->letGo, 1, TRUE);
            break;
        case 'S':
            mosUmtEvent_Set(&event_);
            break;
        case 'X':
            mosUmtEvent_Reset(&event_);
            break;
        case 'r':
        case 'w': {
            Mos_RC rc = kind == 'r' ? mosUmtRWLock_TryAcquireReadLock(&rw_) : mosUmtRWLock_TryAcquireWriteLock(&rw_);
            EXPECT_EQ(rc, id == 'B' ? MOS_RC__BUSY : MOS_RC__SUCCESS) << MOS_RC__GET_STR(rc);
            if (rc == MOS_RC__SUCCESS)
                kind == 'r' ? mosUmtRWLock_ReleaseReadLock(&rw_) : mosUmtRWLock_ReleaseWriteLock(&rw_);
            break;
        }
        default:
            FAIL() << "bad step " << op;
        }
    }

    std::string Holders() const
    {
        std::string s;
        for (const auto &[id, a] : actors_)
            if (a->bHolding)
                s += id;
        return s;
    }

    MosUmt_RWLock rw_;
    MosUmt_Event event_;
    std::map<char, std::unique_ptr<Actor>> actors_;
};

struct ScriptCase {
    const char *name;
    BOOL bAutomaticEvent;
    const char *script;
};

const ScriptCase kScripts[] = {
    // Two readers hold, a writer waits, a third reader queues behind it; the writer goes in when
    // both first readers are out, the third reader after the writer.
    {"ReaderWriterReader", FALSE, "R0=0 R1=01 W2=01 R3=01 -0=1 -1=2 -2=3 -3="},
    // Waiters (oldest first) reader, reader, writer, reader: the first two go in together.
    {"ReaderBatchStopsAtWriter", FALSE, "W0=0 R1=0 R2=0 W3=0 R4=0 -0=12 -1=2 -2=3 -3=4 -4="},
    // Writers are served in arrival order.
    {"WritersInArrivalOrder", FALSE, "R0=0 W1=0 W2=0 W3=0 -0=1 -1=2 -2=3 -3="},
    // A waiting writer blocks a try for reading, though only readers hold the lock.
    {"TryReadBusyBehindWaitingWriter", FALSE, "R0=0 rS=0 W1=0 rB=0 wB=0 -0=1 rB=1 -1= rS= wS="},
    // Automatic: a set with nobody waiting lets exactly one later wait through.
    {"AutomaticEventPassesOne", TRUE, "S= V0=0 V1=0 V2=0 S=01 -0=1 S=12"},
    // Automatic: a set wakes only the oldest waiter.
    {"AutomaticEventWakesOldest", TRUE, "V0= V1= V2= S=0 S=01 S=012"},
    // Manual: every waiter wakes, and later waits pass until the reset.
    {"ManualEventStaysSet", FALSE, "V0= V1= S=01 V2=012 X=012 V3=012 S=0123"},
};

void PrintTo(const ScriptCase &c, std::ostream *os)
{
    *os << c.name;
}

class UmtRWScript : public ::testing::TestWithParam<ScriptCase> {};
} // namespace

TEST_P(UmtRWScript, HoldersAfterEachStep)
{
    Script script(GetParam().bAutomaticEvent);
    script.Run(GetParam().script);
    script.ReleaseAll();
}

INSTANTIATE_TEST_SUITE_P(Scripts, UmtRWScript, ::testing::ValuesIn(kScripts),
                         [](const ::testing::TestParamInfo<ScriptCase> &info) { return info.param.name; });

TEST(UmtRWLockArr, RangesTakenInAscendingOrderPerLock)
{
    MosUmt_RWLockArr arr;
    ASSERT_EQ(mosUmtRWLockArr_Init(&arr, 4), MOS_RC__SUCCESS);
    struct Ranger {
        MosUmt_RWLockArr *pArr;
        UINT32 start, num;
        bool bWrite;
        MosUmt_Sem letGo;
        bool bHolding = false;
        static void Main(void *p)
        {
            Ranger *r = static_cast<Ranger *>(p);
            r->bWrite ? mosUmtRWLockArr_AcquireWriteLock(r->pArr, r->start, r->num)
                      : mosUmtRWLockArr_AcquireReadLock(r->pArr, r->start, r->num);
            r->bHolding = true;
            EXPECT_EQ(mosUmtSem_DecTimed(&r->letGo, 1, 0), MOS_RC__SUCCESS);
            r->bHolding = false;
            r->bWrite ? mosUmtRWLockArr_ReleaseWriteLock(r->pArr, r->start, r->num)
                      : mosUmtRWLockArr_ReleaseReadLock(r->pArr, r->start, r->num);
        }
    };
    // a writes [0,2); b wants to write [1,3) and waits at lock 1 without holding lock 2, so c can
    // read [2,4); d reading [0,1) queues behind a.
    Ranger a{&arr, 0, 2, true, {}}, b{&arr, 1, 2, true, {}}, c{&arr, 2, 2, false, {}}, d{&arr, 0, 1, false, {}};
    std::vector<Ranger *> all{&a, &b, &c, &d};
    std::vector<HMosUmt_UThread> handles;
    for (Ranger *r : all) {
        mosUmtSem_Init(&r->letGo);
        handles.push_back(mosUmt_CreateUThreadEx(Ranger::Main, r, MOS_UMT_SCHED__FOREIGN, nullptr, TRUE, kNoClass));
    }
    EXPECT_TRUE(a.bHolding);
    EXPECT_FALSE(b.bHolding);
    EXPECT_TRUE(c.bHolding);
    EXPECT_FALSE(d.bHolding);
    // a lets go: b gets lock 1 and then waits for lock 2, which c reads; d reads lock 0.
    mosUmtSem_IncInter(&a.letGo, 1, TRUE);
    EXPECT_FALSE(b.bHolding);
    EXPECT_TRUE(d.bHolding);
    mosUmtSem_IncInter(&c.letGo, 1, TRUE);
    EXPECT_TRUE(b.bHolding);
    mosUmtSem_IncInter(&b.letGo, 1, TRUE);
    mosUmtSem_IncInter(&d.letGo, 1, TRUE);
    for (size_t i = 0; i < all.size(); i++) {
        mosUmt_JoinSync(handles[i]);
        mosUmtSem_Destroy(&all[i]->letGo);
    }
    mosUmtRWLockArr_Destroy(&arr);
}

TEST(UmtRWLockArrDeathTest, RangePastTheEndPanics)
{
    EXPECT_PANIC(
        {
            MosUmt_RWLockArr arr;
            mosUmtRWLockArr_Init(&arr, 4);
            umtTest_RunAsUmt([&] { mosUmtRWLockArr_AcquireWriteLock(&arr, 2, 3); }, MOS_UMT_SCHED__FOREIGN);
        },
        "numOfLocks <= pRWLockArr->size - startLock");
    MosUmt_RWLockArr arr;
    EXPECT_EQ(mosUmtRWLockArr_Init(&arr, 0), MOS_RC__INVALID_ARG);
}

TEST(UmtEventDeathTest, ResetOfAnAutomaticEventAndPulsePanic)
{
    EXPECT_PANIC(
        {
            MosUmt_Event ev;
            mosUmtEvent_Init(&ev, TRUE);
            mosUmtEvent_Reset(&ev);
        },
        "!pEvent->bAutomatic");
    EXPECT_PANIC(
        {
            MosUmt_Event ev;
            mosUmtEvent_Init(&ev, FALSE);
            mosUmtEvent_Pulse(&ev);
        },
        "not implemented");
}

// Readers and writers on scheduler threads: a writer is always alone, and every acquire is
// granted.
TEST(UmtRWLockStress, WriterAloneUnderContention)
{
    MosUmt_SchedThrd sched;
    ASSERT_EQ(mosUmtSchedThrd_Create(&sched, "rwlock stress", 4, 4, 4), MOS_RC__SUCCESS);
    MosUmt_RWLock rw;
    mosUmtRWLock_Init(&rw);
    constexpr int kUthreads = 16;
    constexpr int kRounds = 2000;
    struct Shared {
        MosUmt_RWLock *pRw;
        std::atomic<int> readers{0};
        std::atomic<int> writers{0};
        std::atomic<int> violations{0};
        std::atomic<int> grants{0};
    } shared;
    shared.pRw = &rw;
    std::vector<HMosUmt_UThread> handles;
    for (int t = 0; t < kUthreads; t++) {
        handles.push_back(mosUmt_CreateUThreadEx(
            [](void *p) {
                Shared *s = static_cast<Shared *>(p);
                unsigned seed = (unsigned)(uintptr_t)mosUmt_GetUThreadHdl();
                for (int i = 0; i < kRounds; i++) {
                    seed = seed * 1103515245u + 12345u;
                    if ((seed >> 16) % 4 == 0) {
                        mosUmtRWLock_AcquireWriteLock(s->pRw);
                        if (s->writers.fetch_add(1) != 0 || s->readers.load() != 0)
                            s->violations++;
                        if ((seed >> 20) % 8 == 0)
                            mosUmt_Yield();
                        s->writers.fetch_sub(1);
                        mosUmtRWLock_ReleaseWriteLock(s->pRw);
                    } else {
                        mosUmtRWLock_AcquireReadLock(s->pRw);
                        s->readers.fetch_add(1);
                        if (s->writers.load() != 0)
                            s->violations++;
                        if ((seed >> 20) % 8 == 0)
                            mosUmt_Yield();
                        s->readers.fetch_sub(1);
                        mosUmtRWLock_ReleaseReadLock(s->pRw);
                    }
                    s->grants++;
                }
            },
            &shared, &sched.base, nullptr, TRUE, kNoClass));
        ASSERT_NE(handles.back(), nullptr);
    }
    for (HMosUmt_UThread h : handles)
        mosUmt_JoinSync(h);
    EXPECT_EQ(shared.violations.load(), 0);
    EXPECT_EQ(shared.grants.load(), kUthreads * kRounds);
    mosUmtRWLock_Destroy(&rw);
    mosUmtSchedThrd_Destroy(&sched);
}
