#include "mos/mos_ds_hash.h"

#include <cctype>
#include <cstdlib>
#include <cstring>

#include "mos/mos_bits.h"
#include "mos/mos_assert.h"
#include "mos/mos_obj.h"
#include "mos/mos_trace.h"

namespace {
// The tables' type in the debug object registry.
struct MosHashLayer {
    MosObj_Type objType;
    BOOL bInit;
};

MosHashLayer mosHashLayer_G;
} // namespace

#define MOS_HASH__LIST_END ((MosHash_Record *)~(uintptr_t)0)
#define MOS_HASH__ENUM_BEFORE_FIRST 0xFFFFFFFFu
#define MOS_HASH__DEFAULT_LOCK_RANK 1u

Mos_RC mosHashLayer_Create(void *pArg)
{
    MOS_UNUSED(pArg);
    memset(&mosHashLayer_G, 0, sizeof(mosHashLayer_G));
    mosObjType_RegObjType(&mosHashLayer_G.objType, mosHash_Query, nullptr, SDBG_EXPORTS_OBJ_TYPE__MOS_HASH,
                          sizeof(MosHash_Query));
    mosHashLayer_G.bInit = TRUE;
    return MOS_RC__SUCCESS;
}

void mosHashLayer_Destroy(void)
{
    if (!mosHashLayer_G.bInit)
        return;
    mosHashLayer_G.bInit = FALSE;
    mosObjType_UnregObjType(&mosHashLayer_G.objType);
}

BOOL mosHash_IsPowerOf2(UINT32 value)
{
    return mosBit_NumSetBitsInUINT32(value) == 1;
}

static BOOL mosHash_CreateInternal(MosHash *pHash, UINT32 numOfBuckets, MosHash_HashingMethod hashingMethod,
                                   UINT64 hashingMethodParm, MosHash_HashingFunc pHashingFunc,
                                   MosHash_CompareFunc pCompareFunc, const CHAR_A *pHashName,
                                   MosContentionId creationId, UINT32 lockRank)
{
    MOS_ASSERT(pHash != ((void *)0));
    MOS_ASSERT(numOfBuckets != 0);
    switch (hashingMethod) {
    case MOS_HASHING_METHOD__MODULO:
    case MOS_HASHING_METHOD__STRING:
        MOS_ASSERT(pHashingFunc == ((void *)0));
        MOS_ASSERT(hashingMethodParm == 0);
        MOS_ASSERT(mosHash_IsPowerOf2(numOfBuckets));
        hashingMethodParm = numOfBuckets - 1;
        break;
    case MOS_HASHING_METHOD__USER_DEFINED:
        MOS_ASSERT(pHashingFunc != ((void *)0));
        break;
    default:
        MOS_UNREACHABLE("");
    }

    memset(pHash, 0, sizeof(*pHash));
    pHash->pBuckets = (MosHash_Bucket *)calloc(numOfBuckets, sizeof(MosHash_Bucket));
    if (pHash->pBuckets == nullptr)
        return FALSE;
    pHash->numOfBuckets = numOfBuckets;
    pHash->hashingMethod = hashingMethod;
    pHash->hashingMethodParm = hashingMethodParm;
    pHash->pHashingFunc = pHashingFunc;
    pHash->pCompareFunc = pCompareFunc;
    mosFastlockBase_CreateWithRank(&pHash->enumLock, creationId, lockRank, __FILE__, __LINE__);
    for (UINT32 i = 0; i < numOfBuckets; i++)
        mosFastlockBase_CreateWithRank(&pHash->pBuckets[i].anchorData.lock, (MosContentionId)(creationId + 1),
                                       lockRank + 1, __FILE__, __LINE__);
    pHash->enumCurBucketIndex = MOS_HASH__ENUM_BEFORE_FIRST;
    pHash->pEnumCurRecord = nullptr;
    if (pHashName != nullptr && mosHashLayer_G.bInit)
        mosObjType_RegObj(&mosHashLayer_G.objType, &pHash->obj, pHashName);
    else
        pHash->obj.pName = pHashName;
    return TRUE;
}

BOOL mosHash_Create(MosHash *pHash, UINT32 numOfBuckets, MosHash_HashingMethod hashingMethod,
                    UINT64 hashingMethodParm, MosHash_HashingFunc pHashingFunc, MosHash_CompareFunc pCompareFunc,
                    MosContentionId creationId)
{
    return mosHash_CreateInternal(pHash, numOfBuckets, hashingMethod, hashingMethodParm, pHashingFunc, pCompareFunc,
                                  nullptr, creationId, MOS_HASH__DEFAULT_LOCK_RANK);
}

BOOL mosHash_CreateNamedHash(MosHash *pHash, UINT32 numOfBuckets, MosHash_HashingMethod hashingMethod,
                             UINT64 hashingMethodParm, MosHash_HashingFunc pHashingFunc,
                             MosHash_CompareFunc pCompareFunc, const CHAR_A *pHashName, MosContentionId creationId)
{
    return mosHash_CreateInternal(pHash, numOfBuckets, hashingMethod, hashingMethodParm, pHashingFunc, pCompareFunc,
                                  pHashName, creationId, MOS_HASH__DEFAULT_LOCK_RANK);
}

BOOL mosHash_CreateNamedHashEx(MosHash *pHash, UINT32 numOfBuckets, MosHash_HashingMethod hashingMethod,
                               UINT64 hashingMethodParm, MosHash_HashingFunc pHashingFunc,
                               MosHash_CompareFunc pCompareFunc, const CHAR_A *pHashName, MosContentionId creationId,
                               UINT32 lockRank)
{
    return mosHash_CreateInternal(pHash, numOfBuckets, hashingMethod, hashingMethodParm, pHashingFunc, pCompareFunc,
                                  pHashName, creationId, lockRank);
}

UINT32 mosHash_GetRecNum(MosHash *pHash)
{
    UINT32 total = 0;
    for (UINT32 i = 0; i < pHash->numOfBuckets; i++)
        total += __atomic_load_n(&pHash->pBuckets[i].counter, __ATOMIC_RELAXED);
    return total;
}

void mosHash_Delete(MosHash *pHash)
{
    MOS_ASSERT(pHash->numOfBuckets != 0);
    MOS_ASSERT(mosHash_GetRecNum(pHash) == 0);
    if (mosObj_IsRegistered(&pHash->obj))
        mosObjType_UnregObj(&mosHashLayer_G.objType, &pHash->obj);
    for (UINT32 i = 0; i < pHash->numOfBuckets; i++)
        mosFastlockBase_Destroy(&pHash->pBuckets[i].anchorData.lock);
    free(pHash->pBuckets);
    pHash->pBuckets = nullptr;
    pHash->numOfBuckets = 0;
    mosFastlockBase_Destroy(&pHash->enumLock);
}

void mosHash_Clear(MosHash *pHash)
{
    for (UINT32 i = 0; i < pHash->numOfBuckets; i++) {
        MosHash_Bucket *pBucket = &pHash->pBuckets[i];
        MosHash_Record *pRec = pBucket->pFirst;
        while (pBucket->counter != 0 && pRec != nullptr && pRec != MOS_HASH__LIST_END) {
            MosHash_Record *pNext = pRec->pNext;
            pRec->pNext = nullptr;
            pRec->pPrev = nullptr;
            pRec = pNext;
        }
        pBucket->pFirst = nullptr;
        pBucket->pLast = nullptr;
        pBucket->counter = 0;
    }
}

static UINT32 mosHash_StringHash(const CHAR_A *pStr)
{
    UINT32 sum = 0;
    for (; *pStr != '\0'; pStr++)
        sum += (UINT32)tolower((unsigned char)*pStr);
    return sum;
}

MosHash_Bucket *mosHash_GetBucketPtrByKey(MosHash *pHash, UINT64 key)
{
    MOS_ASSERT(pHash->numOfBuckets != 0);
    UINT32 hashIndex;
    switch (pHash->hashingMethod) {
    case MOS_HASHING_METHOD__MODULO:
        hashIndex = (UINT32)(key & pHash->hashingMethodParm);
        break;
    case MOS_HASHING_METHOD__STRING:
        hashIndex = (UINT32)(mosHash_StringHash((const CHAR_A *)(uintptr_t)key) & pHash->hashingMethodParm);
        break;
    case MOS_HASHING_METHOD__USER_DEFINED:
        hashIndex = pHash->pHashingFunc(key, pHash->hashingMethodParm);
        break;
    default:
        MOS_UNREACHABLE("");
    }
    MOS_ASSERT(hashIndex < pHash->numOfBuckets);
    return &pHash->pBuckets[hashIndex];
}

static inline BOOL mosHash_KeysEqual(const MosHash *pHash, UINT64 recordKey, UINT64 key)
{
    if (pHash->pCompareFunc != nullptr)
        return pHash->pCompareFunc(recordKey, key, pHash->hashingMethodParm);
    if (pHash->hashingMethod == MOS_HASHING_METHOD__STRING)
        return strcmp((const CHAR_A *)(uintptr_t)recordKey, (const CHAR_A *)(uintptr_t)key) == 0;
    return recordKey == key;
}

void mosHash_BucketAcquire(MosHash_Bucket *pBucket, BOOL bLock)
{
    // The flag is set under the bucket lock, so reading it under the lock cannot race an
    // enumeration that is starting.
    if (bLock)
        mosFastlockBase_Acquire(&pBucket->anchorData.lock);
    MOS_ASSERT((pBucket)->anchorData.bEnumActive == ((BOOL)0));
}

static void mosHash_LinkTail(MosHash_Bucket *pBucket, MosHash_Record *pRecord, UINT64 key, UINT64 data)
{
    MOS_ASSERT((pRecord)->pPrev == ((void *)0));
    pRecord->userData.key = key;
    pRecord->userData.data = data;
    pRecord->pNext = MOS_HASH__LIST_END;
    if (pBucket->counter == 0) {
        pRecord->pPrev = MOS_HASH__LIST_END;
        pBucket->pFirst = pRecord;
    } else {
        pRecord->pPrev = pBucket->pLast;
        pBucket->pLast->pNext = pRecord;
    }
    pBucket->pLast = pRecord;
    pBucket->counter++;
}

static void mosHash_Unlink(MosHash_Bucket *pBucket, MosHash_Record *pRecord)
{
    MOS_ASSERT_WITH_DESC(pRecord->pPrev != ((void *)0) && pRecord->pNext != ((void *)0), "record not linked");
    MOS_ASSERT(pBucket->counter != 0);
    if (pRecord->pPrev == MOS_HASH__LIST_END) {
        MOS_ASSERT(pBucket->pFirst == pRecord);
        pBucket->pFirst = (pRecord->pNext == MOS_HASH__LIST_END) ? nullptr : pRecord->pNext;
    } else {
        MOS_ASSERT(pRecord->pPrev->pNext == pRecord);
        pRecord->pPrev->pNext = pRecord->pNext;
    }
    if (pRecord->pNext == MOS_HASH__LIST_END) {
        MOS_ASSERT(pBucket->pLast == pRecord);
        pBucket->pLast = (pRecord->pPrev == MOS_HASH__LIST_END) ? nullptr : pRecord->pPrev;
    } else {
        MOS_ASSERT(pRecord->pNext->pPrev == pRecord);
        pRecord->pNext->pPrev = pRecord->pPrev;
    }
    pBucket->counter--;
    pRecord->pNext = nullptr;
    pRecord->pPrev = nullptr;
}

static inline MosHash_Record *mosHash_First(const MosHash_Bucket *pBucket)
{
    return pBucket->counter == 0 ? nullptr : pBucket->pFirst;
}

static inline MosHash_Record *mosHash_Next(const MosHash_Record *pRecord)
{
    return pRecord->pNext == MOS_HASH__LIST_END ? nullptr : pRecord->pNext;
}

// Walks the bucket from pStart (its head when NULL) for the first record whose key matches and,
// when pWanted is given, that is pWanted itself.
static MosHash_Record *mosHash_FindInBucket(MosHash *pHash, MosHash_Bucket *pBucket, UINT64 key,
                                            MosHash_Record *pStart, const MosHash_Record *pWanted)
{
    for (MosHash_Record *pRec = pStart != nullptr ? pStart : mosHash_First(pBucket); pRec != nullptr;
         pRec = mosHash_Next(pRec)) {
        MOS_ASSERT_WITH_DESC(pRec->pPrev != ((void *)0), "corrupted bucket list");
        if ((pWanted == nullptr || pRec == pWanted) && mosHash_KeysEqual(pHash, pRec->userData.key, key))
            return pRec;
    }
    return nullptr;
}

static MosHash_Record *mosHash_LookupInBucket(MosHash *pHash, UINT64 key, UINT32 flags, MosHash_Bucket *pBucket,
                                              const MosHash_Record *pWanted, UINT64 *pDataOut)
{
    if (flags & MOS_HASH_FLAGS__DELETE_RECORD)
        MOS_ASSERT((pBucket)->anchorData.bEnumActive == ((BOOL)0));
    MosHash_Record *pRec = mosHash_FindInBucket(pHash, pBucket, key, nullptr, pWanted);
    if (pRec == nullptr)
        return nullptr;
    if (pDataOut != nullptr)
        *pDataOut = pRec->userData.data;
    if (flags & MOS_HASH_FLAGS__DELETE_RECORD)
        mosHash_Unlink(pBucket, pRec);
    return pRec;
}

void mosHash_Add(MosHash *pHash, MosHash_Record *pRecord, UINT64 key, UINT64 data)
{
    MosHash_Bucket *pBucket;
    MOS_HASH__GET_BUCKET_HANDLE(pHash, key, pBucket);
    mosHash_LinkTail(pBucket, pRecord, key, data);
    MOS_HASH__RELEASE_BUCKET(pBucket);
}

MosHash_Record *mosHash_GetRecordByKey(MosHash *pHash, UINT64 key, UINT32 flags, UINT64 *pDataOut)
{
    MosHash_Bucket *pBucket = mosHash_GetBucketPtrByKey(pHash, key);
    MosFastlockGuard guard(&pBucket->anchorData.lock);
    return mosHash_LookupInBucket(pHash, key, flags, pBucket, nullptr, pDataOut);
}

MosHash_Record *mosHash_GetRecordByKey2(MosHash *pHash, UINT64 key, UINT32 flags, PVOID *ppDataOut)
{
    UINT64 data = 0;
    MosHash_Record *pRec = mosHash_GetRecordByKey(pHash, key, flags, &data);
    if (pRec != nullptr && ppDataOut != nullptr)
        *ppDataOut = (PVOID)(uintptr_t)data;
    return pRec;
}

BOOL mosHash_ContainsKey(MosHash *pHash, UINT64 key)
{
    return mosHash_GetRecordByKey(pHash, key, 0, nullptr) != nullptr;
}

BOOL mosHash_DeleteRecordByKeyAndPtr(MosHash *pHash, UINT64 key, MosHash_Record *pRecord)
{
    MosHash_Bucket *pBucket;
    MOS_HASH__GET_BUCKET_HANDLE(pHash, key, pBucket);
    MosHash_Record *pRec =
        mosHash_LookupInBucket(pHash, key, MOS_HASH_FLAGS__DELETE_RECORD, pBucket, pRecord, nullptr);
    MOS_HASH__RELEASE_BUCKET(pBucket);
    return pRec != nullptr;
}

BOOL mosHash_IsRecordConnected(const MosHash_Record *pRecord)
{
    return pRecord->pPrev != nullptr;
}

MosHash_Record *mosHash_GetRecordFromBucket(MosHash *pHash, UINT64 key, UINT32 flags, MosHash_Bucket *pBucket,
                                            UINT64 *pDataOut)
{
    return mosHash_LookupInBucket(pHash, key, flags, pBucket, nullptr, pDataOut);
}

MosHash_Record *mosHash_GetRecordFromBucket2(MosHash *pHash, UINT64 key, UINT32 flags, MosHash_Bucket *pBucket,
                                             PVOID *ppDataOut)
{
    UINT64 data = 0;
    MosHash_Record *pRec = mosHash_LookupInBucket(pHash, key, flags, pBucket, nullptr, &data);
    if (pRec != nullptr && ppDataOut != nullptr)
        *ppDataOut = (PVOID)(uintptr_t)data;
    return pRec;
}

MosHash_Record *mosHash_GetRecordFromBucketByPtr(MosHash *pHash, UINT64 key, UINT32 flags, MosHash_Bucket *pBucket,
                                                 MosHash_Record *pRecord, UINT64 *pDataOut)
{
    return mosHash_LookupInBucket(pHash, key, flags, pBucket, pRecord, pDataOut);
}

BOOL mosHash_GetNextRecordFromBucket(MosHash *pHash, MosHash_Bucket *pBucket, UINT64 key, MosHash_Record *pRecord,
                                     MosHash_Record **ppNewRecord, PVOID *ppNewData)
{
    MOS_ASSERT_WITH_DESC(pRecord->pPrev != ((void *)0), "record not linked");
    MosHash_Record *pNext = mosHash_Next(pRecord);
    MosHash_Record *pFound = pNext == nullptr ? nullptr : mosHash_FindInBucket(pHash, pBucket, key, pNext, nullptr);
    if (pFound == nullptr)
        return FALSE;
    *ppNewRecord = pFound;
    if (ppNewData != nullptr)
        *ppNewData = (PVOID)(uintptr_t)pFound->userData.data;
    return TRUE;
}

void mosHash_AddToBucket(MosHash *pHash, MosHash_Record *pRecord, UINT64 key, UINT64 data, MosHash_Bucket *pBucket)
{
    MOS_UNUSED(pHash);
    MOS_ASSERT((pBucket)->anchorData.bEnumActive == ((BOOL)0));
    mosHash_LinkTail(pBucket, pRecord, key, data);
}

void mosHash_DeleteRecordFromBucket(MosHash *pHash, MosHash_Record *pRecord, MosHash_Bucket *pBucket)
{
    MOS_UNUSED(pHash);
    MOS_ASSERT((pBucket)->anchorData.bEnumActive == ((BOOL)0));
    mosHash_Unlink(pBucket, pRecord);
}

BOOL mosHash_IsRecordInBucket(MosHash *pHash, MosHash_Record *pRecord, MosHash_Bucket *pBucket)
{
    MOS_UNUSED(pHash);
    for (MosHash_Record *pRec = mosHash_First(pBucket); pRec != nullptr; pRec = mosHash_Next(pRec))
        if (pRec == pRecord)
            return TRUE;
    return FALSE;
}

void mosHash_EnumStart(MosHash *pHash)
{
    MosFastlockGuard guard(&pHash->enumLock);
    MOS_ASSERT(pHash->bEnumActive == ((BOOL)0));
    for (UINT32 i = 0; i < pHash->numOfBuckets; i++) {
        MosFastlockGuard bucketGuard(&pHash->pBuckets[i].anchorData.lock);
        pHash->pBuckets[i].anchorData.bEnumActive = TRUE;
    }
    pHash->bEnumActive = TRUE;
    pHash->bEnumEnd = FALSE;
    pHash->enumCurBucketIndex = MOS_HASH__ENUM_BEFORE_FIRST;
    pHash->pEnumCurRecord = nullptr;
}

BOOL mosHash_EnumGetNextRecord(MosHash *pHash, BOOL bDeletePrevious, UINT64 *pKeyOut, UINT64 *pDataOut)
{
    MosFastlockGuard guard(&pHash->enumLock);
    MOS_ASSERT(pHash->bEnumActive);
    MOS_ASSERT(!pHash->bEnumEnd);
    MOS_ASSERT_WITH_DESC(!bDeletePrevious || pHash->pEnumCurRecord != nullptr, "no record returned yet");
    MOS_ASSERT(pKeyOut != ((void *)0) && pDataOut != ((void *)0));

    MosHash_Record *pPrev = pHash->pEnumCurRecord;
    const UINT32 prevBucketIndex = pHash->enumCurBucketIndex;

    // Advance first: the previous record's link leads to the next one.
    MosHash_Record *pNext = pPrev != nullptr ? mosHash_Next(pPrev) : nullptr;
    UINT32 bucketIndex = prevBucketIndex;
    if (pNext == nullptr) {
        for (bucketIndex = prevBucketIndex + 1; bucketIndex < pHash->numOfBuckets; bucketIndex++) {
            if (pHash->pBuckets[bucketIndex].counter != 0) {
                pNext = pHash->pBuckets[bucketIndex].pFirst;
                break;
            }
        }
    }

    if (bDeletePrevious) {
        // Lookups in that bucket run concurrently under its lock: unlink under the same lock so
        // that none of them walks a half-unlinked record.
        MosHash_Bucket *pPrevBucket = &pHash->pBuckets[prevBucketIndex];
        MosFastlockGuard bucketGuard(&pPrevBucket->anchorData.lock);
        mosHash_Unlink(pPrevBucket, pPrev);
    }

    if (pNext == nullptr) {
        pHash->bEnumEnd = TRUE;
        pHash->pEnumCurRecord = nullptr;
        pHash->enumCurBucketIndex = pHash->numOfBuckets;
        return FALSE;
    }
    pHash->pEnumCurRecord = pNext;
    pHash->enumCurBucketIndex = bucketIndex;
    *pKeyOut = pNext->userData.key;
    *pDataOut = pNext->userData.data;
    return TRUE;
}

BOOL mosHash_EnumGetNextRecord2(MosHash *pHash, BOOL bDeletePrevious, UINT64 *pKeyOut, PVOID *ppDataOut)
{
    UINT64 data = 0;
    MOS_ASSERT(ppDataOut != ((void *)0));
    BOOL bFound = mosHash_EnumGetNextRecord(pHash, bDeletePrevious, pKeyOut, &data);
    if (bFound)
        *ppDataOut = (PVOID)(uintptr_t)data;
    return bFound;
}

void mosHash_EnumStop(MosHash *pHash)
{
    MosFastlockGuard guard(&pHash->enumLock);
    MOS_ASSERT(pHash->bEnumActive);
    pHash->bEnumActive = FALSE;
    for (UINT32 i = 0; i < pHash->numOfBuckets; i++) {
        MosFastlockGuard bucketGuard(&pHash->pBuckets[i].anchorData.lock);
        pHash->pBuckets[i].anchorData.bEnumActive = FALSE;
    }
    pHash->pEnumCurRecord = nullptr;
    pHash->enumCurBucketIndex = MOS_HASH__ENUM_BEFORE_FIRST;
}

void mosHash_Query(MosObj *pObj, const CHAR_A *pName, void *pData)
{
    MosHash *pHash = MOS_CONTAINER_OF(pObj, MosHash, obj);
    MosHash_Query *pQuery = (MosHash_Query *)pData;
    memset(pQuery, 0, sizeof(*pQuery));
    pQuery->numOfBucketsInHash = pHash->numOfBuckets;
    BOOL bAnyLoaded = FALSE;
    for (UINT32 i = 0; i < pHash->numOfBuckets; i++) {
        const UINT32 count = __atomic_load_n(&pHash->pBuckets[i].counter, __ATOMIC_RELAXED);
        pQuery->numOfRecordsInHash += count;
        if (count == 0) {
            pQuery->numOfEmptyBuckets++;
            continue;
        }
        if (count > pQuery->mostLoadedCount) {
            pQuery->mostLoadedCount = count;
            pQuery->mostLoadedIndex = i;
        }
        if (!bAnyLoaded || count < pQuery->leastLoadedCount) {
            pQuery->leastLoadedCount = count;
            pQuery->leastLoadedIndex = i;
            bAnyLoaded = TRUE;
        }
    }
    pQuery->bEnumActive = pHash->bEnumActive;
    pQuery->bEnumEnd = pHash->bEnumEnd;
    if (pName != nullptr) {
        strncpy(pQuery->hashName, pName, sizeof(pQuery->hashName) - 1);
        pQuery->hashName[sizeof(pQuery->hashName) - 1] = '\0';
    }
}
