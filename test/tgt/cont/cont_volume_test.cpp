// Volume objects: serial-order generations (with the 2^63 wrap), refused updates, the
// validation order of a client I/O, the quiesced count in the volume's tree, and answers held
// while quiesced and released in arrival order.
#include <gtest/gtest.h>

#include <map>
#include <memory>
#include <vector>

#include "test/support/cont_obj_support.h"
#include "test/support/tgt_test_support.h"
#include "tgt/cont/cont.h"
#include "tgt/cont/cont_volume.h"

namespace {
::testing::Environment *const env_G = ::testing::AddGlobalTestEnvironment(new TgtRuntimeEnv);

constexpr GenNum kHalf = 1ull << 63;

struct World {
    std::map<VTreeId, ContVtree *> trees;
    std::vector<Mos_RC> sent; // rc of each answer sent, in order
    int refs = 0;
};
World *world_G = nullptr;

const ContVolHooks kHooks = {
    [](Cont *, VTreeId id) -> ContVtree * {
        auto it = world_G->trees.find(id);
        if (it == world_G->trees.end())
            return nullptr;
        world_G->refs++;
        return it->second;
    },
    [](Cont *, ContVtree *) { world_G->refs--; },
    [](Cont *, const void *, IohResp *pResp) {
        EXPECT_FALSE(pResp->bDelayResp);
        if (pResp->numOfRspBufs == 1) { // the payload points into the copy itself
            EXPECT_EQ(pResp->rspBufs[0].p, static_cast<void *>(&pResp->resIoRW));
        }
        world_G->sent.push_back(pResp->rc);
    },
};

class VolTest : public ::testing::Test {
  protected:
    void SetUp() override
    {
        world_G = &world;
        contVtreeMngr_Init(&vtreeMngr, nullptr);
        contVolMngr_Init(&mngr, &kHooks);
        for (VTreeId id : {0xA, 0xB}) {
            trees.push_back(std::make_unique<ContVtree>());
            ASSERT_EQ(contVtreeMngr_VtreeInit(&vtreeMngr, trees.back().get(), id, 0, 1, TRUE, TRUE), MOS_RC__SUCCESS);
            world.trees[id] = trees.back().get();
        }
    }
    void TearDown() override
    {
        if (vol)
            contVolMngr_VolDestroy(&mngr, vol.get());
        contVolMngr_Destroy(&mngr);
        for (auto &t : trees)
            if (t->vtreeId != 0)
                contVtreeMngr_VtreeDestroy(&vtreeMngr, t.get());
        contVtreeMngr_Destroy(&vtreeMngr);
        EXPECT_EQ(world.refs, 0);
        world_G = nullptr;
    }
    Mos_RC init(GenNum volGen, GenNum scsiGen, BOOL bQuiesced, ScsiRegKey key = 0, BOOL bTeach = TRUE)
    {
        return contVolMngr_VolInit(&mngr, nullptr, vol.get(), 0x100, volGen, scsiGen, key, bTeach, 0xA, 5, bQuiesced,
                                   TRUE);
    }
    UINT32 quiesced(VTreeId id) { return world.trees[id]->vtree.quiesceRefCount; }
    // Hands an answer with this rc to the volume; TRUE when held.
    BOOL hand(Mos_RC rc)
    {
        IohResp r{};
        r.rc = rc;
        r.numOfRspBufs = 1;
        r.rspBufs[0] = IohBuf{&r.resIoRW, sizeof(r.resIoRW)};
        contVol_DelayResponse(vol.get(), &r);
        if (!r.bDelayResp)
            return FALSE;
        return contVol_hangDelayResponse(nullptr, vol.get(), &r, nullptr);
    }
    World world;
    ContVtreeMngr vtreeMngr;
    ContVolMngr mngr;
    std::vector<std::unique_ptr<ContVtree>> trees;
    std::unique_ptr<ContVol> vol = std::make_unique<ContVol>();
};

TEST(VolGenTest, SerialOrderWrapsAround)
{
    struct Case {
        GenNum b, a;
        bool bNewer;
    };
    const Case cases[] = {
        {6, 5, true},
        {5, 5, false},
        {5, 6, false},
        {0, ~0ull, true}, // wrapped past the top
        {~0ull, 0, false},
        {kHalf - 1, 0, true}, // the farthest ahead that still counts as newer
        {kHalf, 0, false},
        {0, kHalf, true},
        {kHalf + 5, 6, true},
        {kHalf + 6, 5, false},
    };
    for (const Case &c : cases)
        EXPECT_EQ(contVol_IsGenNewer(c.b, c.a), c.bNewer) << std::hex << c.b << " vs " << c.a;
}

TEST_F(VolTest, UpdatesNeverTakeAGenerationBackNorSetAZeroId)
{
    struct Case {
        GenNum stored, next;
        bool bAccepted;
    };
    const Case cases[] = {
        {5, 5, true}, {5, 6, true}, {6, 5, false}, {~0ull, 0, true}, {0, ~0ull, false}, {0, kHalf, false},
        {kHalf, 0, true},
    };
    for (const Case &c : cases) {
        ASSERT_EQ(init(c.stored, c.stored, FALSE), MOS_RC__SUCCESS);
        const Mos_RC want = c.bAccepted ? MOS_RC__SUCCESS : MOS_RC__INVALID_ARG;
        EXPECT_EQ(contVol_UpdatePartial(vol.get(), c.next, c.stored, 0, TRUE, 0xA, 5, TRUE), want) << c.next;
        EXPECT_EQ(contVol_UpdateFull(vol.get(), vol->volGenNum, c.next, 0, TRUE, 0xA, 5, FALSE, TRUE), want) << c.next;
        EXPECT_EQ(vol->volGenNum, c.bAccepted ? c.next : c.stored);
        EXPECT_EQ(vol->scsiGenNum, c.bAccepted ? c.next : c.stored);
        contVolMngr_VolDestroy(&mngr, vol.get());
    }
    ASSERT_EQ(init(1, 1, FALSE), MOS_RC__SUCCESS);
    EXPECT_EQ(contVol_UpdatePartial(vol.get(), 2, 2, 0, TRUE, 0, 5, TRUE), MOS_RC__INVALID_ARG);
    EXPECT_EQ(contVol_UpdateFull(vol.get(), 2, 2, 0, TRUE, 0xA, 0, FALSE, TRUE), MOS_RC__INVALID_ARG);
    EXPECT_EQ(vol->volGenNum, 1u);
    EXPECT_EQ(vol->vtoId, 5u);
    contVolMngr_VolDestroy(&mngr, vol.get());
    EXPECT_EQ(contVolMngr_VolInit(&mngr, nullptr, vol.get(), 1, 1, 1, 0, TRUE, 0, 5, FALSE, TRUE), MOS_RC__INVALID_ARG);
    EXPECT_EQ(contVolMngr_VolInit(&mngr, nullptr, vol.get(), 1, 1, 1, 0, TRUE, 0xA, 0, FALSE, TRUE), MOS_RC__INVALID_ARG);
    EXPECT_EQ(contMngr_Count(&mngr.list), 0u);
    vol.reset();
}

TEST_F(VolTest, ValidationRunsItsChecksInOrder)
{
    struct Case {
        ScsiRegKey storedKey;
        BOOL bTeach;
        GenNum volGen, scsiGen;
        ScsiRegKey key;
        Mos_RC want;
    };
    // Stored: volume generation 10, SCSI generation 20.
    const Case cases[] = {
        {7, TRUE, 11, 20, 7, MOS_RC__IO_FAULT_WRONG_VOL_GEN},
        {7, TRUE, 11, kHalf, 7, MOS_RC__IO_FAULT_WRONG_VOL_GEN}, // the volume generation comes first
        {7, TRUE, 10, kHalf | 3, 99, MOS_RC__SUCCESS},             // top bit: no further checks
        {7, TRUE, 10, 20, 7, MOS_RC__SUCCESS},
        {7, TRUE, 10, 20, 8, MOS_RC__IO_FAULT_RESERVATION_CONFLICT},
        {0, TRUE, 10, 20, 8, MOS_RC__SUCCESS}, // no key: any key
        {7, TRUE, 10, 19, 7, MOS_RC__IO_FAULT_OLD_SCSI_GEN},
        {7, TRUE, 10, 21, 7, MOS_RC__IO_FAULT_NEW_SCSI_GEN},
        {7, FALSE, 10, 19, 7, MOS_RC__IO_FAULT_RESERVATION_CONFLICT},
        {7, FALSE, 10, 21, 7, MOS_RC__IO_FAULT_RESERVATION_CONFLICT},
    };
    for (const Case &c : cases) {
        ASSERT_EQ(init(10, 20, FALSE, c.storedKey, c.bTeach), MOS_RC__SUCCESS);
        GenNum cur = 0;
        EXPECT_EQ(contVol_Validate(vol.get(), c.volGen, c.scsiGen, c.key, &cur), c.want)
            << c.volGen << " " << std::hex << c.scsiGen << " " << c.key;
        EXPECT_EQ(cur, 20u);
        EXPECT_EQ(cont_IohValidateVol(reinterpret_cast<IohVol *>(vol.get()), c.volGen, c.scsiGen, c.key, nullptr),
                  c.want);
        contVolMngr_VolDestroy(&mngr, vol.get());
    }
    vol.reset();
}

TEST_F(VolTest, QuiescedCountFollowsTheVolumeAndItsTree)
{
    ASSERT_EQ(init(1, 1, TRUE), MOS_RC__SUCCESS);
    EXPECT_EQ(quiesced(0xA), 1u);
    EXPECT_TRUE(contVol_IsUpdateNeeded(vol.get(), 1, 1, 0, 5, FALSE));
    EXPECT_FALSE(contVol_IsUpdateNeeded(vol.get(), 1, 1, 0, 5, TRUE));
    contVol_UpdateQuiesced(vol.get(), TRUE); // no change
    EXPECT_EQ(quiesced(0xA), 1u);
    ASSERT_EQ(contVol_UpdateFull(vol.get(), 1, 1, 0, TRUE, 0xB, 6, TRUE, TRUE), MOS_RC__SUCCESS);
    EXPECT_EQ(quiesced(0xA), 0u) << "the count moved with the volume";
    EXPECT_EQ(quiesced(0xB), 1u);
    contVol_UpdateQuiesced(vol.get(), FALSE);
    EXPECT_EQ(quiesced(0xB), 0u);

    // A tree removed while it counted the volume takes the count with it.
    contVol_UpdateQuiesced(vol.get(), TRUE);
    world.trees.erase(0xB);
    contVtreeMngr_VtreeDestroy(&vtreeMngr, trees[1].get());
    contVol_UpdateQuiesced(vol.get(), FALSE);
    EXPECT_EQ(quiesced(0xA), 0u);
}

TEST_F(VolTest, HeldAnswersLeaveInArrivalOrderWhenTheQuiesceEnds)
{
    enum How { UNQUIESCE, FULL_UPDATE, DESTROY };
    for (How how : {UNQUIESCE, FULL_UPDATE, DESTROY}) {
        world.sent.clear();
        if (!vol)
            vol = std::make_unique<ContVol>();
        ASSERT_EQ(init(1, 1, TRUE), MOS_RC__SUCCESS);
        const Mos_RC rcs[] = {MOS_RC__SUCCESS, MOS_RC__IO_ZERO_BUF, MOS_RC__IO_FAULT_WRONG_VOL_GEN,
                              MOS_RC__IO_HARD_ERROR};
        for (Mos_RC rc : rcs)
            EXPECT_TRUE(hand(rc));
        EXPECT_TRUE(world.sent.empty()) << "held while quiesced";
        if (how == UNQUIESCE)
            contVol_UpdateQuiesced(vol.get(), FALSE);
        else if (how == FULL_UPDATE)
            ASSERT_EQ(contVol_UpdateFull(vol.get(), 2, 1, 0, TRUE, 0xA, 5, FALSE, TRUE), MOS_RC__SUCCESS);
        else {
            contVolMngr_VolDestroy(&mngr, vol.get());
            vol.reset();
        }
        EXPECT_EQ(world.sent, std::vector<Mos_RC>(std::begin(rcs), std::end(rcs))) << how;
        EXPECT_EQ(quiesced(0xA), 0u);
        if (vol) {
            EXPECT_FALSE(hand(MOS_RC__SUCCESS)) << "not quiesced: sent by the caller at once";
            EXPECT_EQ(world.sent.size(), 4u);
            contVolMngr_VolDestroy(&mngr, vol.get());
        }
    }
}

TEST_F(VolTest, PartialUpdateKeepsAnswersHeld)
{
    ASSERT_EQ(init(1, 1, TRUE), MOS_RC__SUCCESS);
    EXPECT_TRUE(hand(MOS_RC__SUCCESS));
    ASSERT_EQ(contVol_UpdatePartial(vol.get(), 2, 2, 0, TRUE, 0xA, 5, TRUE), MOS_RC__SUCCESS);
    EXPECT_TRUE(world.sent.empty());
    EXPECT_TRUE(contVol_IsQuiesced(vol.get()));
    VolQuery q{};
    contVol_Query(vol.get(), &q);
    EXPECT_EQ(q.volGenNum, 2u);
    EXPECT_TRUE(q.bQuiesced);
}

TEST_F(VolTest, NothingIsHeldWithoutASender)
{
    ContVolHooks noSend = kHooks;
    noSend.pSendResponse = nullptr;
    contVolMngr_Destroy(&mngr);
    contVolMngr_Init(&mngr, &noSend);
    ASSERT_EQ(init(1, 1, TRUE), MOS_RC__SUCCESS);
    EXPECT_FALSE(hand(MOS_RC__SUCCESS));
}

// The I/O handler's road: the volume and its tree found by id in the controller's registry.
TEST(VolRegistryTest, IoHandlerHooksFindTheVolumeByIdAndItsTreeThroughTheRegistry)
{
    World world;
    world_G = &world;
    Cont *pCont = static_cast<Cont *>(calloc(1, sizeof(Cont)));
    contObj_Init(&pCont->objs, CONT_OBJ_TYPE__VTREE, CONT_OBJ_TYPE__VOL);
    ContVtreeMngr vtreeMngr;
    contVtreeMngr_Init(&vtreeMngr, pCont);
    ContVolHooks hooks = {cont_AcquireContVtree, cont_ReleaseContVtree, kHooks.pSendResponse};
    ContVolMngr mngr;
    contVolMngr_Init(&mngr, &hooks);
    ContVtree tree;
    ContVol vol;
    ASSERT_EQ(contVtreeMngr_VtreeInit(&vtreeMngr, &tree, 0xA, 0, 1, TRUE, TRUE), MOS_RC__SUCCESS);
    contTest_Register(&pCont->objs, 0xA, CONT_OBJ_TYPE__VTREE, &tree);
    ASSERT_EQ(contVolMngr_VolInit(&mngr, pCont, &vol, 0x100, 1, 1, 0, TRUE, 0xA, 5, TRUE, TRUE), MOS_RC__SUCCESS);
    contTest_Register(&pCont->objs, 0x100, CONT_OBJ_TYPE__VOL, &vol);
    EXPECT_EQ(tree.vtree.quiesceRefCount, 1u);

    IohVol *pIohVol = cont_IohAcquireVol(pCont, 0x100);
    ASSERT_NE(pIohVol, nullptr);
    EXPECT_TRUE(cont_IohIsVolQuiesced(pIohVol));
    EXPECT_TRUE(cont_IohIsVolCached(pIohVol));
    cont_IohReleaseVol(pCont, pIohVol);
    EXPECT_EQ(cont_IohAcquireVol(pCont, 0x101), nullptr);

    IohResp r{};
    r.rc = MOS_RC__IO_ZERO_BUF;
    r.bDelayResp = TRUE;
    EXPECT_FALSE(cont_IohHangDelayResponse(pCont, 0x101, &r)) << "no such volume: sent at once";
    EXPECT_TRUE(cont_IohHangDelayResponse(pCont, 0x100, &r));

    umtTest_RunAsUmt([&] {
        EXPECT_EQ(contObj_Rem(&pCont->objs, 0x100, CONT_OBJ_TYPE__VOL), &vol);
        contVolMngr_VolDestroy(&mngr, &vol);
        EXPECT_EQ(contObj_Rem(&pCont->objs, 0xA, CONT_OBJ_TYPE__VTREE), &tree);
    });
    EXPECT_EQ(world.sent, std::vector<Mos_RC>{MOS_RC__IO_ZERO_BUF}) << "a removed volume sends what it held";
    EXPECT_EQ(tree.vtree.quiesceRefCount, 0u);
    contVtreeMngr_VtreeDestroy(&vtreeMngr, &tree);
    contVolMngr_Destroy(&mngr);
    contVtreeMngr_Destroy(&vtreeMngr);
    contObj_Destroy(&pCont->objs);
    free(pCont);
    world_G = nullptr;
}
} // namespace
