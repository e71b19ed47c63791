// Intrusive hash table with a fixed number of buckets, one fast lock per bucket and a table lock
// for enumeration. The caller embeds a MosHash_Record in its own object; the table never
// allocates per record. Several records with the same key may coexist.
#pragma once

#include "mos/mos_fastlock.h"
#include "mos/mos_obj_entry.h"
#include "mos/mos_types.h"

enum MosHash_HashingMethod : UINT32 {
    MOS_HASHING_METHOD__INVALID = 0,
    MOS_HASHING_METHOD__USER_DEFINED = 1,
    MOS_HASHING_METHOD__MODULO = 2,
    MOS_HASHING_METHOD__STRING = 3,
};

// Asks a lookup to unlink the record it finds.
#define MOS_HASH_FLAGS__DELETE_RECORD 0x01u

struct MosHash_RecordKeyData {
    UINT64 key;
    UINT64 data;
};

// Linked records of a bucket: the first record's pPrev and the last one's pNext hold the all-ones
// marker; an unlinked record has pPrev NULL.
struct MosHash_Record {
    MosHash_Record *pNext;
    MosHash_Record *pPrev;
    MosHash_RecordKeyData userData;
};

struct MosHash_BucketData {
    MosFastlock_Base lock;
    BOOL bEnumActive;
};

struct MosHash_RecordListAnchor {
    MosHash_Record *pFirst;
    MosHash_Record *pLast;
    UINT32 counter;
    MosHash_BucketData anchorData;
};
typedef MosHash_RecordListAnchor MosHash_Bucket;
static_assert(sizeof(MosHash_Bucket) == 104);

// Key comparison: (record key, key, hashingMethodParm). Bucket choice of USER_DEFINED tables:
// (key, hashingMethodParm) -> bucket index.
typedef BOOL (*MosHash_CompareFunc)(UINT64 recordKey, UINT64 key, UINT64 hashingMethodParm);
typedef UINT32 (*MosHash_HashingFunc)(UINT64 key, UINT64 hashingMethodParm);

struct MosHash {
    MosFastlock_Base enumLock;
    MosHash_Bucket *pBuckets;
    MosObj obj;
    UINT32 numOfBuckets;
    MosHash_HashingMethod hashingMethod;
    UINT64 hashingMethodParm;
    BOOL bEnumActive;
    BOOL bEnumEnd;
    UINT32 enumCurBucketIndex;
    MosHash_Record *pEnumCurRecord;
    MosHash_CompareFunc pCompareFunc;
    MosHash_HashingFunc pHashingFunc;
};

// Record of a named table for the debug object server.
struct MosHash_Query {
    UINT32 numOfRecordsInHash;
    UINT32 numOfBucketsInHash;
    UINT32 numOfEmptyBuckets;
    UINT32 mostLoadedIndex;
    UINT32 mostLoadedCount;
    UINT32 leastLoadedIndex;
    UINT32 leastLoadedCount;
    BOOL bEnumActive;
    BOOL bEnumEnd;
    CHAR_A hashName[32];
};
static_assert(sizeof(MosHash_Query) == 68);
static_assert(offsetof(MosHash_Query, hashName) == 36);

Mos_RC mosHashLayer_Create(void *pArg);
void mosHashLayer_Destroy(void);

BOOL mosHash_Create(MosHash *pHash, UINT32 numOfBuckets, MosHash_HashingMethod hashingMethod,
                    UINT64 hashingMethodParm, MosHash_HashingFunc pHashingFunc, MosHash_CompareFunc pCompareFunc,
                    MosContentionId creationId);
BOOL mosHash_CreateNamedHash(MosHash *pHash, UINT32 numOfBuckets, MosHash_HashingMethod hashingMethod,
                             UINT64 hashingMethodParm, MosHash_HashingFunc pHashingFunc,
                             MosHash_CompareFunc pCompareFunc, const CHAR_A *pHashName, MosContentionId creationId);
BOOL mosHash_CreateNamedHashEx(MosHash *pHash, UINT32 numOfBuckets, MosHash_HashingMethod hashingMethod,
                               UINT64 hashingMethodParm, MosHash_HashingFunc pHashingFunc,
                               MosHash_CompareFunc pCompareFunc, const CHAR_A *pHashName, MosContentionId creationId,
                               UINT32 lockRank);
void mosHash_Delete(MosHash *pHash);
void mosHash_Clear(MosHash *pHash);
UINT32 mosHash_GetRecNum(MosHash *pHash);
BOOL mosHash_IsPowerOf2(UINT32 value);

// Whole operations: each takes the key's bucket lock itself.
void mosHash_Add(MosHash *pHash, MosHash_Record *pRecord, UINT64 key, UINT64 data);
MosHash_Record *mosHash_GetRecordByKey(MosHash *pHash, UINT64 key, UINT32 flags, UINT64 *pDataOut);
MosHash_Record *mosHash_GetRecordByKey2(MosHash *pHash, UINT64 key, UINT32 flags, PVOID *ppDataOut);
BOOL mosHash_ContainsKey(MosHash *pHash, UINT64 key);
BOOL mosHash_DeleteRecordByKeyAndPtr(MosHash *pHash, UINT64 key, MosHash_Record *pRecord);
BOOL mosHash_IsRecordConnected(const MosHash_Record *pRecord);

// Bucket-level calls: the caller holds the bucket through the MOS_HASH__* macros below.
MosHash_Bucket *mosHash_GetBucketPtrByKey(MosHash *pHash, UINT64 key);
MosHash_Record *mosHash_GetRecordFromBucket(MosHash *pHash, UINT64 key, UINT32 flags, MosHash_Bucket *pBucket,
                                            UINT64 *pDataOut);
MosHash_Record *mosHash_GetRecordFromBucket2(MosHash *pHash, UINT64 key, UINT32 flags, MosHash_Bucket *pBucket,
                                             PVOID *ppDataOut);
MosHash_Record *mosHash_GetRecordFromBucketByPtr(MosHash *pHash, UINT64 key, UINT32 flags, MosHash_Bucket *pBucket,
                                                 MosHash_Record *pRecord, UINT64 *pDataOut);
BOOL mosHash_GetNextRecordFromBucket(MosHash *pHash, MosHash_Bucket *pBucket, UINT64 key, MosHash_Record *pRecord,
                                     MosHash_Record **ppNewRecord, PVOID *ppNewData);
void mosHash_AddToBucket(MosHash *pHash, MosHash_Record *pRecord, UINT64 key, UINT64 data, MosHash_Bucket *pBucket);
void mosHash_DeleteRecordFromBucket(MosHash *pHash, MosHash_Record *pRecord, MosHash_Bucket *pBucket);
BOOL mosHash_IsRecordInBucket(MosHash *pHash, MosHash_Record *pRecord, MosHash_Bucket *pBucket);

// Locking protocol of the bucket-level calls.
void mosHash_BucketAcquire(MosHash_Bucket *pBucket, BOOL bLock);
#define MOS_HASH__GET_BUCKET_HANDLE(pHash, key, pBucket)                                                        \
    do {                                                                                                        \
        (pBucket) = mosHash_GetBucketPtrByKey((pHash), (key));                                                  \
        mosHash_BucketAcquire((pBucket), TRUE);                                                                 \
    } while (0)
#define MOS_HASH__GET_BUCKET_HANDLE_NOT_LOCKED(pHash, key, pBucket)                                             \
    do {                                                                                                        \
        (pBucket) = mosHash_GetBucketPtrByKey((pHash), (key));                                                  \
        mosHash_BucketAcquire((pBucket), FALSE);                                                                \
    } while (0)
#define MOS_HASH__RELEASE_BUCKET(pBucket) mosFastlockBase_Release(&(pBucket)->anchorData.lock)
// Locks the bucket of a second key unless it is the one already held (then pSecBucket is NULL).
#define MOS_HASH__GET_SECOND_BUCKET_HANDLE(pHash, key, pBucket, pSecBucket)                                     \
    do {                                                                                                        \
        (pSecBucket) = mosHash_GetBucketPtrByKey((pHash), (key));                                               \
        if ((pSecBucket) == (pBucket))                                                                          \
            (pSecBucket) = nullptr;                                                                             \
        else                                                                                                    \
            mosHash_BucketAcquire((pSecBucket), TRUE);                                                          \
    } while (0)

// Enumeration: one at a time per table. While it runs, adds, removals by key and lookups with the
// delete flag are refused with a panic; plain lookups go on.
void mosHash_EnumStart(MosHash *pHash);
BOOL mosHash_EnumGetNextRecord(MosHash *pHash, BOOL bDeletePrevious, UINT64 *pKeyOut, UINT64 *pDataOut);
BOOL mosHash_EnumGetNextRecord2(MosHash *pHash, BOOL bDeletePrevious, UINT64 *pKeyOut, PVOID *ppDataOut);
void mosHash_EnumStop(MosHash *pHash);

void mosHash_Query(MosObj *pObj, const CHAR_A *pName, void *pData);
