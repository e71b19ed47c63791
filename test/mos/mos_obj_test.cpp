#include <gtest/gtest.h>

#include <cstring>
#include <string>
#include <thread>
#include <vector>

#include "mos/mos_obj.h"
#include "test/support/mos_container_support.h"

namespace {

constexpr UINT32 kTypeId = SDBG_EXPORTS_OBJ_TYPE__TGT_HEAD; // 8-byte records

struct Widget {
    MosObj obj{};
    UINT64 value = 0;
};

void WidgetQuery(MosObj *pObj, const CHAR_A *pName, void *pData)
{
    auto *pWidget = MOS_CONTAINER_OF(pObj, Widget, obj);
    UINT64 record = pWidget->value + (pName != nullptr ? strlen(pName) : 0);
    memcpy(pData, &record, sizeof(record));
}

struct Registry : ::testing::Test {
    void SetUp() override
    {
        ASSERT_EQ(mosObjLayer_Create(nullptr), MOS_RC__SUCCESS);
        mosObjType_RegObjType(&type, WidgetQuery, nullptr, kTypeId, sizeof(UINT64));
    }
    void TearDown() override
    {
        for (Widget &w : widgets)
            mosObjType_UnregObj(&type, &w.obj);
        mosObjType_UnregObjType(&type);
        mosObjLayer_Destroy();
    }
    void RegisterAll()
    {
        for (size_t i = 0; i < widgets.size(); i++) {
            widgets[i].value = i * 100;
            mosObjType_RegObj(&type, &widgets[i].obj, names[i]);
        }
    }
    MosObj_Type type;
    std::vector<Widget> widgets = std::vector<Widget>(4);
    const char *names[4] = {"w0", "w1", "w2", "w3"};
};

// The type lock is free when another thread can register an object of the type.
bool TypeLockIsFree(MosObj_Type *pType)
{
    bool bFree = false;
    std::thread([&] {
        Widget other;
        mosObjType_RegObj(pType, &other.obj, "other");
        mosObjType_UnregObj(pType, &other.obj);
        bFree = true;
    }).join();
    return bFree;
}

} // namespace

TEST_F(Registry, TypesAreFoundByIdentifierAndObjectsEnumeratedInOrder)
{
    EXPECT_EQ(mosObjType_GetPtrByID(kTypeId), &type);
    EXPECT_EQ(mosObjType_GetPtrByID(kTypeId + 64), nullptr); // same bucket, no type
    EXPECT_EQ(mosObjType_SizeAssociated(&type), 8u);
    RegisterAll();
    EXPECT_EQ(mosObjType_GetObjNum(&type), 4u);

    mosObjType_EnumStart(&type);
    std::vector<std::string> seen;
    std::vector<UINT64> records;
    while (MosObj *pObj = mosObjType_EnumGetNextObj(&type)) {
        seen.emplace_back(pObj->pName);
        UINT64 record;
        mosObj_Query(pObj, &type, &record);
        records.push_back(record);
    }
    EXPECT_EQ(mosObjType_EnumGetNextObj(&type), nullptr);
    mosObjType_EnumStop(&type);
    EXPECT_EQ(seen, (std::vector<std::string>{"w0", "w1", "w2", "w3"}));
    EXPECT_EQ(records, (std::vector<UINT64>{2, 102, 202, 302}));
    EXPECT_TRUE(TypeLockIsFree(&type));

    // Unregistering twice leaves an unregistered object alone.
    mosObjType_UnregObj(&type, &widgets[1].obj);
    mosObjType_UnregObj(&type, &widgets[1].obj);
    EXPECT_EQ(mosObjType_GetObjNum(&type), 3u);
}

TEST_F(Registry, NthObjectHoldsTheLockAndFollowsUnregistration)
{
    RegisterAll();
    MosObj *pObj = mosObjType_GetNthObj(&type, 2);
    EXPECT_EQ(pObj, &widgets[2].obj);
    EXPECT_TRUE(mosFastlockBase_IsLockedByCurrentThread(&type.lock));
    mosObjType_ReleaseNthObj(&type);

    // Same index again comes from the cache; after unregistering that object the position
    // belongs to the next one.
    EXPECT_EQ(mosObjType_GetNthObj(&type, 2), &widgets[2].obj);
    mosObjType_ReleaseNthObj(&type);
    mosObjType_UnregObj(&type, &widgets[2].obj);
    EXPECT_EQ(mosObjType_GetNthObj(&type, 2), &widgets[3].obj);
    mosObjType_ReleaseNthObj(&type);

    // Past the end: NULL, and the lock is free again.
    EXPECT_EQ(mosObjType_GetNthObj(&type, mosObjType_GetObjNum(&type)), nullptr);
    EXPECT_TRUE(TypeLockIsFree(&type));
}

TEST_F(Registry, BackdoorIsCalledOnlyWhenTheTypeHasOne)
{
    RegisterAll();
    mosObj_Backdoor(&widgets[0].obj, &type, 1, 0, nullptr); // no backdoor: nothing happens

    static UINT32 lastOp;
    static std::string lastArg;
    MosObj_Type withBackdoor;
    mosObjType_RegObjType(
        &withBackdoor, WidgetQuery,
        [](MosObj *, UINT32 op, UINT32 argCount, PSdbgConfStr argVec) {
            lastOp = op;
            lastArg = argCount > 0 ? argVec[0].str : "";
        },
        kTypeId + 1, sizeof(UINT64));
    Widget w;
    mosObjType_RegObj(&withBackdoor, &w.obj, "bd");
    SdbgConfStr args[1];
    strcpy(args[0].str, "dump");
    mosObj_Backdoor(&w.obj, &withBackdoor, 2, 1, args);
    EXPECT_EQ(lastOp, 2u);
    EXPECT_EQ(lastArg, "dump");
    mosObjType_UnregObj(&withBackdoor, &w.obj);
    mosObjType_UnregObjType(&withBackdoor);
}

TEST_F(Registry, MisuseIsAPanic)
{
    EXPECT_PANIC(
        {
            MosObj_Type again;
            mosObjType_RegObjType(&again, WidgetQuery, nullptr, kTypeId, 8);
        },
        "registered twice");
    EXPECT_PANIC(
        {
            Widget w;
            mosObjType_RegObj(&type, &w.obj, "w");
            mosObjType_UnregObjType(&type);
        },
        "counter\\) == 0");
    EXPECT_PANIC(
        {
            MosObj_Type never;
            memset(&never, 0, sizeof(never));
            never.typeID = kTypeId + 2;
            mosObjType_UnregObjType(&never);
        },
        "a type that is not registered");
    EXPECT_PANIC(
        {
            Widget w;
            mosObjType_RegObj(&type, &w.obj, "w");
            mosObjType_RegObj(&type, &w.obj, "w");
        },
        "pPrev == \\(\\(void \\*\\)0\\)");
    EXPECT_PANIC(
        {
            MosObj_Type noQuery;
            mosObjType_RegObjType(&noQuery, nullptr, nullptr, kTypeId + 3, 0);
            Widget w;
            mosObj_Query(&w.obj, &noQuery, nullptr);
        },
        "pType->queryDataSize != 0");
    EXPECT_PANIC(mosObjLayer_Destroy(), "stops with types registered");
}
