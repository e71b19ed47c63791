// Accumulator: sums samples, their squares and their maximum so that readers can derive count,
// mean, variance and peak. It has no lock: it lives inside its owner, which serialises access.
#pragma once

#include "mos/mos_rc.h"
#include "mos/mos_types.h"

// Largest sample that is accumulated; a larger one is refused, so a square always fits in 64 bits.
#define MOS_STAT__MAX_VALUE 0xFFFFFFFFull

struct MosStat {
    UINT64 sampleNum;
    UINT64 total;
    UINT64 totalPow2;     // sum of the squares
    UINT64 max;
    UINT64 overflows;     // times the sums restarted because the square sum would have overflowed
    UINT64 discardValues; // samples refused
    BOOL bDataInCycles;   // samples are CPU cycles (a label for readers)
};

struct MosStat_Query {
    UINT64 sampleNum;
    UINT64 total;
    UINT64 totalPow2;
    UINT64 max;
    UINT64 overflows;
    UINT64 discardValues;
    BOOL bDataInCycles;
};

static_assert(sizeof(MosStat_Query) == 56);
static_assert(offsetof(MosStat_Query, bDataInCycles) == 48);

Mos_RC mosStatLayer_Init(void);
void mosStatLayer_Destroy(void);

void mosStat_InitEx(MosStat *pStat, BOOL bDataInCycles);
void mosStat_Init(MosStat *pStat); // samples in cycles
void mosStat_Destroy(MosStat *pStat);
void mosStat_Reset(MosStat *pStat); // keeps the label
void mosStat_AddValue(MosStat *pStat, UINT64 value);
void mosStat_Query(const MosStat *pStat, MosStat_Query *pQuery);
void mosStat_Aggregate(MosStat *pStatDst, const MosStat *pStatSrc);
