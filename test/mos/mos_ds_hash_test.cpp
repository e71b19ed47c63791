#include <gtest/gtest.h>

#include <atomic>
#include <cstring>
#include <thread>
#include <vector>

#include "mos/mos_ds_hash.h"
#include "test/support/mos_container_support.h"

namespace {

struct Hash : ::testing::Test {
    ContainerLayers layers;
};

struct Item {
    MosHash_Record rec{};
    UINT64 value = 0;
};

UINT32 BucketIndex(MosHash *pHash, UINT64 key)
{
    return (UINT32)(mosHash_GetBucketPtrByKey(pHash, key) - pHash->pBuckets);
}

} // namespace

TEST_F(Hash, ModuloTablePlacesKeysByLowBits)
{
    MosHash hash;
    ASSERT_TRUE(mosHash_Create(&hash, 64, MOS_HASHING_METHOD__MODULO, 0, nullptr, nullptr, 1));
    EXPECT_EQ(hash.hashingMethodParm, 63u);
    EXPECT_EQ(BucketIndex(&hash, 3), 3u);
    EXPECT_EQ(BucketIndex(&hash, 67), 3u);

    Item a, b;
    mosHash_Add(&hash, &a.rec, 3, 30);
    mosHash_Add(&hash, &b.rec, 67, 670);
    UINT64 data = 0;
    EXPECT_EQ(mosHash_GetRecordByKey(&hash, 67, 0, &data), &b.rec);
    EXPECT_EQ(data, 670u);
    EXPECT_FALSE(mosHash_ContainsKey(&hash, 131));
    EXPECT_EQ(mosHash_GetRecNum(&hash), 2u);

    EXPECT_EQ(mosHash_GetRecordByKey(&hash, 3, MOS_HASH_FLAGS__DELETE_RECORD, &data), &a.rec);
    EXPECT_FALSE(mosHash_IsRecordConnected(&a.rec));
    EXPECT_FALSE(mosHash_DeleteRecordByKeyAndPtr(&hash, 67, &a.rec));
    EXPECT_TRUE(mosHash_DeleteRecordByKeyAndPtr(&hash, 67, &b.rec));
    EXPECT_EQ(mosHash_GetRecNum(&hash), 0u);
    mosHash_Delete(&hash);
}

TEST_F(Hash, StringTableHashesWithoutCaseButComparesExactly)
{
    MosHash hash;
    ASSERT_TRUE(mosHash_Create(&hash, 16, MOS_HASHING_METHOD__STRING, 0, nullptr, nullptr, 1));
    static const char upper[] = "ABC";
    static const char lower[] = "abc";
    EXPECT_EQ(BucketIndex(&hash, (UINT64)(uintptr_t)upper), BucketIndex(&hash, (UINT64)(uintptr_t)lower));
    Item a;
    mosHash_Add(&hash, &a.rec, (UINT64)(uintptr_t)upper, 1);
    EXPECT_EQ(mosHash_GetRecordByKey(&hash, (UINT64)(uintptr_t)lower, 0, nullptr), nullptr);
    char copy[] = "ABC"; // another address, same text
    EXPECT_EQ(mosHash_GetRecordByKey(&hash, (UINT64)(uintptr_t)copy, 0, nullptr), &a.rec);
    EXPECT_TRUE(mosHash_DeleteRecordByKeyAndPtr(&hash, (UINT64)(uintptr_t)copy, &a.rec));
    mosHash_Delete(&hash);
}

TEST_F(Hash, UserDefinedHashingAndComparison)
{
    MosHash hash;
    // Keys are compared and placed by their low byte only; the parameter reaches both functions.
    ASSERT_TRUE(mosHash_Create(
        &hash, 5, MOS_HASHING_METHOD__USER_DEFINED, 0xFF,
        [](UINT64 key, UINT64 parm) -> UINT32 { return (UINT32)((key & parm) % 5); },
        [](UINT64 recordKey, UINT64 key, UINT64 parm) -> BOOL { return (recordKey & parm) == (key & parm); }, 1));
    Item a;
    mosHash_Add(&hash, &a.rec, 0x107, 9);
    EXPECT_EQ(mosHash_GetRecordByKey(&hash, 0x207, 0, nullptr), &a.rec);
    EXPECT_EQ(mosHash_GetRecordByKey(&hash, 0x208, 0, nullptr), nullptr);
    mosHash_Clear(&hash);
    EXPECT_EQ(mosHash_GetRecNum(&hash), 0u);
    EXPECT_FALSE(mosHash_IsRecordConnected(&a.rec));
    mosHash_Delete(&hash);

    MosHash bad;
    ASSERT_TRUE(mosHash_Create(&bad, 4, MOS_HASHING_METHOD__USER_DEFINED, 0,
                               [](UINT64, UINT64) -> UINT32 { return 4; }, nullptr, 1));
    EXPECT_PANIC(mosHash_ContainsKey(&bad, 1), "hashIndex < pHash->numOfBuckets");
    mosHash_Delete(&bad);
}

TEST_F(Hash, DuplicateKeysKeepInsertionOrder)
{
    MosHash hash;
    ASSERT_TRUE(mosHash_Create(&hash, 8, MOS_HASHING_METHOD__MODULO, 0, nullptr, nullptr, 1));
    Item first, other, second;
    mosHash_Add(&hash, &first.rec, 5, 1);
    mosHash_Add(&hash, &other.rec, 13, 3); // same bucket, other key
    mosHash_Add(&hash, &second.rec, 5, 2);
    EXPECT_EQ(mosHash_GetRecordByKey(&hash, 5, 0, nullptr), &first.rec);

    MosHash_Bucket *pBucket;
    MOS_HASH__GET_BUCKET_HANDLE(&hash, 5, pBucket);
    MosHash_Record *pNext = nullptr;
    PVOID pData = nullptr;
    EXPECT_TRUE(mosHash_GetNextRecordFromBucket(&hash, pBucket, 5, &first.rec, &pNext, &pData));
    EXPECT_EQ(pNext, &second.rec);
    EXPECT_EQ((uintptr_t)pData, 2u);
    EXPECT_FALSE(mosHash_GetNextRecordFromBucket(&hash, pBucket, 5, &second.rec, &pNext, &pData));
    EXPECT_EQ(mosHash_GetRecordFromBucketByPtr(&hash, 5, 0, pBucket, &second.rec, nullptr), &second.rec);
    EXPECT_EQ(mosHash_GetRecordFromBucketByPtr(&hash, 13, 0, pBucket, &second.rec, nullptr), nullptr);
    EXPECT_TRUE(mosHash_IsRecordInBucket(&hash, &other.rec, pBucket));

    // The second key's bucket is the one held: nothing more to lock.
    MosHash_Bucket *pSecond = pBucket;
    MOS_HASH__GET_SECOND_BUCKET_HANDLE(&hash, 13, pBucket, pSecond);
    EXPECT_EQ(pSecond, nullptr);
    MOS_HASH__GET_SECOND_BUCKET_HANDLE(&hash, 6, pBucket, pSecond);
    ASSERT_NE(pSecond, nullptr);
    MOS_HASH__RELEASE_BUCKET(pSecond);

    mosHash_DeleteRecordFromBucket(&hash, &first.rec, pBucket);
    MOS_HASH__RELEASE_BUCKET(pBucket);
    EXPECT_EQ(mosHash_GetRecordByKey(&hash, 5, MOS_HASH_FLAGS__DELETE_RECORD, nullptr), &second.rec);
    EXPECT_EQ(mosHash_GetRecordByKey(&hash, 13, MOS_HASH_FLAGS__DELETE_RECORD, nullptr), &other.rec);
    mosHash_Delete(&hash);
}

TEST_F(Hash, EnumerationDeletingEveryRecordEmptiesTheTable)
{
    MosHash hash;
    ASSERT_TRUE(mosHash_Create(&hash, 4, MOS_HASHING_METHOD__MODULO, 0, nullptr, nullptr, 1));
    Item items[7];
    const UINT64 keys[7] = {9, 1, 2, 6, 10, 14, 7}; // buckets 1, 1, 2, 2, 2, 2, 3
    for (int i = 0; i < 7; i++)
        mosHash_Add(&hash, &items[i].rec, keys[i], keys[i] * 10);

    mosHash_EnumStart(&hash);
    std::vector<UINT64> seen;
    UINT64 key, data;
    BOOL bDelete = FALSE;
    while (mosHash_EnumGetNextRecord(&hash, bDelete, &key, &data)) {
        EXPECT_EQ(data, key * 10);
        seen.push_back(key);
        bDelete = TRUE;
    }
    EXPECT_EQ(seen, (std::vector<UINT64>{9, 1, 2, 6, 10, 14, 7}));
    EXPECT_EQ(mosHash_GetRecNum(&hash), 0u); // the call that found the end unlinked the last record
    mosHash_EnumStop(&hash);
    for (const Item &item : items)
        EXPECT_FALSE(mosHash_IsRecordConnected(&item.rec));
    mosHash_Delete(&hash);
}

TEST_F(Hash, EnumerationRefusesChangesButServesLookups)
{
    MosHash hash;
    ASSERT_TRUE(mosHash_Create(&hash, 4, MOS_HASHING_METHOD__MODULO, 0, nullptr, nullptr, 1));
    Item a;
    mosHash_Add(&hash, &a.rec, 1, 1);
    mosHash_EnumStart(&hash);
    EXPECT_EQ(mosHash_GetRecordByKey(&hash, 1, 0, nullptr), &a.rec);

    struct Case {
        const char *pName;
        void (*pRun)(MosHash *, Item *);
    };
    const Case cases[] = {
        {"add", [](MosHash *pHash, Item *) {
             static Item b;
             mosHash_Add(pHash, &b.rec, 2, 2);
         }},
        {"lookup with delete", [](MosHash *pHash, Item *) {
             mosHash_GetRecordByKey(pHash, 1, MOS_HASH_FLAGS__DELETE_RECORD, nullptr);
         }},
        {"delete by key and pointer", [](MosHash *pHash, Item *pItem) {
             mosHash_DeleteRecordByKeyAndPtr(pHash, 1, &pItem->rec);
         }},
        {"second enumeration", [](MosHash *pHash, Item *) { mosHash_EnumStart(pHash); }},
        {"delete before a record was returned", [](MosHash *pHash, Item *) {
             UINT64 k, d;
             mosHash_EnumGetNextRecord(pHash, TRUE, &k, &d);
         }},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.pName);
        EXPECT_PANIC(c.pRun(&hash, &a), "Panic");
    }
    mosHash_EnumStop(&hash);
    EXPECT_PANIC(mosHash_EnumStop(&hash), "pHash->bEnumActive");
    EXPECT_PANIC(mosHash_Delete(&hash), "mosHash_GetRecNum\\(pHash\\) == 0");
    EXPECT_TRUE(mosHash_DeleteRecordByKeyAndPtr(&hash, 1, &a.rec));
    mosHash_Delete(&hash);
}

TEST_F(Hash, CreationChecks)
{
    struct Case {
        UINT32 buckets;
        MosHash_HashingMethod method;
        UINT64 parm;
        bool bWithFunc;
        const char *pRegex;
    };
    const Case cases[] = {
        {48, MOS_HASHING_METHOD__MODULO, 0, false, "mosHash_IsPowerOf2\\(numOfBuckets\\)"},
        {0, MOS_HASHING_METHOD__MODULO, 0, false, "numOfBuckets != 0"},
        {16, MOS_HASHING_METHOD__STRING, 3, false, "hashingMethodParm == 0"},
        {16, MOS_HASHING_METHOD__MODULO, 0, true, "pHashingFunc == \\(\\(void \\*\\)0\\)"},
        {16, MOS_HASHING_METHOD__USER_DEFINED, 0, false, "pHashingFunc != \\(\\(void \\*\\)0\\)"},
        {16, MOS_HASHING_METHOD__INVALID, 0, false, "unreachable"},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.pRegex);
        EXPECT_PANIC(
            {
                MosHash hash;
                mosHash_Create(&hash, c.buckets, c.method, c.parm,
                               c.bWithFunc ? (MosHash_HashingFunc)[](UINT64, UINT64) -> UINT32 { return 0; } : nullptr, nullptr, 1);
            },
            c.pRegex);
    }
}

TEST_F(Hash, NamedTableQueryReportsLoad)
{
    MosHash hash;
    ASSERT_TRUE(mosHash_CreateNamedHash(&hash, 4, MOS_HASHING_METHOD__MODULO, 0, nullptr, nullptr,
                                        "a hash table name longer than thirty-one", 1));
    Item items[5];
    const UINT64 keys[5] = {1, 5, 2, 6, 3}; // buckets of 0, 2, 2 and 1 records
    for (int i = 0; i < 5; i++)
        mosHash_Add(&hash, &items[i].rec, keys[i], 0);

    MosObj_Type *pType = mosObjType_GetPtrByID(SDBG_EXPORTS_OBJ_TYPE__MOS_HASH);
    ASSERT_NE(pType, nullptr);
    EXPECT_EQ(mosObjType_SizeAssociated(pType), 68u);
    ASSERT_EQ(mosObjType_GetObjNum(pType), 1u);
    MosObj *pObj = mosObjType_GetNthObj(pType, 0);
    ASSERT_EQ(pObj, &hash.obj);
    MosHash_Query query;
    mosObj_Query(pObj, pType, &query);
    mosObjType_ReleaseNthObj(pType);
    EXPECT_EQ(query.numOfRecordsInHash, 5u);
    EXPECT_EQ(query.numOfBucketsInHash, 4u);
    EXPECT_EQ(query.numOfEmptyBuckets, 1u);
    EXPECT_EQ(query.mostLoadedIndex, 1u);
    EXPECT_EQ(query.mostLoadedCount, 2u);
    EXPECT_EQ(query.leastLoadedIndex, 3u);
    EXPECT_EQ(query.leastLoadedCount, 1u);
    EXPECT_EQ(query.bEnumActive, FALSE);
    EXPECT_STREQ(query.hashName, "a hash table name longer than t");

    mosHash_Clear(&hash);
    mosHash_Query(&hash.obj, "empty", &query);
    EXPECT_EQ(query.leastLoadedCount, 0u);
    EXPECT_EQ(query.numOfEmptyBuckets, 4u);
    mosHash_Delete(&hash);
    EXPECT_EQ(mosObjType_GetObjNum(pType), 0u);
}

// Lookups run on the same buckets while an enumeration unlinks records behind itself; a lookup
// must never meet a half-unlinked record, and every record it returns must be intact.
TEST_F(Hash, LookupsDuringEnumerationThatDeletes)
{
    constexpr UINT32 kRecords = 256;
    constexpr int kReaders = 6;
    constexpr int kRounds = 300;
    MosHash hash;
    ASSERT_TRUE(mosHash_Create(&hash, 4, MOS_HASHING_METHOD__MODULO, 0, nullptr, nullptr, 1));
    std::vector<Item> items(kRecords);

    std::atomic<bool> bStop{false};
    std::atomic<int> failures{0};
    std::vector<std::thread> readers;
    for (int r = 0; r < kReaders; r++) {
        readers.emplace_back([&, r] {
            UINT64 key = (UINT64)r;
            while (!bStop) {
                key = (key + 7) % kRecords;
                UINT64 data = 0;
                MosHash_Record *pRec = mosHash_GetRecordByKey(&hash, key, 0, &data);
                if (pRec != nullptr && (pRec != &items[key].rec || data != key + 1000))
                    failures++;
            }
        });
    }
    for (int round = 0; round < kRounds; round++) {
        for (UINT32 k = 0; k < kRecords; k++)
            if (!mosHash_IsRecordConnected(&items[k].rec))
                mosHash_Add(&hash, &items[k].rec, k, k + 1000);
        mosHash_EnumStart(&hash);
        UINT64 key, data;
        BOOL bDelete = FALSE;
        while (mosHash_EnumGetNextRecord(&hash, bDelete, &key, &data))
            bDelete = (key % 3) != 0; // delete two thirds, keep the rest
        mosHash_EnumStop(&hash);
        EXPECT_EQ(mosHash_GetRecNum(&hash), (kRecords + 2) / 3) << "round " << round;
    }
    bStop = true;
    for (auto &t : readers)
        t.join();
    EXPECT_EQ(failures.load(), 0);
    mosHash_Clear(&hash);
    mosHash_Delete(&hash);
}
