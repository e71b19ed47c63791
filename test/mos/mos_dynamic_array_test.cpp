#include <gtest/gtest.h>

#include <cstring>

#include "mos/mos_dynamic_array.h"
#include "test/support/mos_container_support.h"

namespace {

struct DynamicArray : ::testing::Test {
    ContainerLayers layers;
};

struct Element {
    UINT64 a;
    UINT32 b;
    UINT32 mark;
};

UINT8 *ElementPtr(MosDynamicArray *pArray, UINT32 i)
{
    return (UINT8 *)pArray->pBlocks[MOS_DYNAMIC_ARRAY_GET_BLOCK(pArray, i)] +
           MOS_DYNAMIC_ARRAY_GET_OFFSET_IN_BLOCK(pArray, i);
}

} // namespace

TEST_F(DynamicArray, ChunksAreAllocatedZeroedOnFirstUse)
{
    static int initCalls;
    initCalls = 0;
    MosDynamicArray array;
    ASSERT_EQ(mosDynamicArray_Create(&array, "ToothIndexArr",
                                     [](PVOID pElement, UINT32 size) {
                                         EXPECT_EQ(size, sizeof(Element));
                                         EXPECT_EQ(((Element *)pElement)->a, 0u); // zeroed before init
                                         ((Element *)pElement)->mark = 7;
                                         initCalls++;
                                     },
                                     sizeof(Element), 4, 3),
              MOS_RC__SUCCESS);
    EXPECT_FALSE(mosDynamicArray_IsAllocated(&array, 5));
    ASSERT_EQ(mosDynamicArray_Alloc(&array, 5), MOS_RC__SUCCESS);
    EXPECT_EQ(initCalls, 4);
    EXPECT_TRUE(mosDynamicArray_IsAllocated(&array, 4));
    EXPECT_TRUE(mosDynamicArray_IsAllocated(&array, 7));
    EXPECT_FALSE(mosDynamicArray_IsAllocated(&array, 3));
    EXPECT_FALSE(mosDynamicArray_IsAllocated(&array, 8));
    EXPECT_EQ(MOS_DYNAMIC_ARRAY_GET_OFFSET_IN_BLOCK(&array, 5), sizeof(Element));
    Element *pElem = (Element *)ElementPtr(&array, 5);
    EXPECT_EQ(pElem->mark, 7u);
    pElem->a = 42;

    // An allocated chunk is kept as it is, also across a free.
    ASSERT_EQ(mosDynamicArray_Alloc(&array, 6), MOS_RC__SUCCESS);
    ASSERT_EQ(mosDynamicArray_Free(&array, 5), MOS_RC__SUCCESS);
    EXPECT_EQ(initCalls, 4);
    EXPECT_EQ(((Element *)ElementPtr(&array, 5))->a, 42u);

    MosObj_Type *pType = mosObjType_GetPtrByID(SDBG_EXPORTS_OBJ_TYPE__MOS_DYNAMIC_ARRARY);
    ASSERT_NE(pType, nullptr);
    EXPECT_EQ(mosObjType_SizeAssociated(pType), 48u);
    MosObj *pObj = mosObjType_GetNthObj(pType, 0);
    ASSERT_EQ(pObj, &array.obj);
    MosDynamic_Array__Query query;
    mosObj_Query(pObj, pType, &query);
    mosObjType_ReleaseNthObj(pType);
    EXPECT_STREQ(query.name, "ToothIndexArr");
    EXPECT_EQ(query.arraySize, sizeof(Element)); // grows by one element size per chunk
    EXPECT_EQ(query.lastIndex, 0u);
    EXPECT_EQ(query.blockSizeInBytes, sizeof(Element));
    EXPECT_EQ(query.allocationSize, 4u);
    mosDynamicArray_Destroy(&array);
    EXPECT_EQ(mosObjType_GetObjNum(pType), 0u);
}

TEST_F(DynamicArray, ResizeAllocatesTheChunksThatCoverTheSize)
{
    struct Case {
        UINT32 newSize;
        Mos_RC rc;
        std::vector<bool> chunks;
    };
    const Case cases[] = {
        {0, MOS_RC__SUCCESS, {false, false, false}},
        {4, MOS_RC__SUCCESS, {true, false, false}},
        {5, MOS_RC__SUCCESS, {true, true, false}},
        {12, MOS_RC__SUCCESS, {true, true, true}},
        {13, MOS_RC__INVALID, {false, false, false}},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.newSize);
        MosDynamicArray array;
        ASSERT_EQ(mosDynamicArray_Create(&array, "resize", nullptr, 8, 4, 3), MOS_RC__SUCCESS);
        EXPECT_EQ(mosDynamicArray_Resize(&array, c.newSize), c.rc);
        for (UINT32 chunk = 0; chunk < 3; chunk++)
            EXPECT_EQ(mosDynamicArray_IsAllocated(&array, chunk * 4) != FALSE, c.chunks[chunk]) << chunk;
        mosDynamicArray_Destroy(&array);
    }
}

TEST_F(DynamicArray, IndexBeyondTheLastChunkIsNeverAllocated)
{
    MosDynamicArray array;
    ASSERT_EQ(mosDynamicArray_Create(&array, "bounds", nullptr, 8, 4, 3), MOS_RC__SUCCESS);
    ASSERT_EQ(mosDynamicArray_Resize(&array, 12), MOS_RC__SUCCESS);
    EXPECT_TRUE(mosDynamicArray_IsAllocated(&array, 11));
    for (UINT32 index : {12u, 13u, 0x80000000u, 0xFFFFFFFFu})
        EXPECT_FALSE(mosDynamicArray_IsAllocated(&array, index)) << index;
    mosDynamicArray_Destroy(&array);
}

TEST_F(DynamicArray, MisuseIsAPanic)
{
    EXPECT_PANIC(
        {
            MosDynamicArray array;
            mosDynamicArray_Create(&array, "x", nullptr, 8, 4, 3);
            mosDynamicArray_Alloc(&array, 12);
        },
        "Panic");
    EXPECT_PANIC(
        {
            MosDynamicArray array;
            mosDynamicArray_Create(&array, "x", nullptr, 8, 0, 3);
        },
        "allocationSize != 0");
}
