#include "mos/mos_stat.h"

#include <cstring>

Mos_RC mosStatLayer_Init(void)
{
    return MOS_RC__SUCCESS;
}

void mosStatLayer_Destroy(void) {}

void mosStat_InitEx(MosStat *pStat, BOOL bDataInCycles)
{
    memset(pStat, 0, sizeof(*pStat));
    pStat->bDataInCycles = bDataInCycles;
}

void mosStat_Init(MosStat *pStat)
{
    mosStat_InitEx(pStat, TRUE);
}

void mosStat_Destroy(MosStat *pStat)
{
    memset(pStat, 0, sizeof(*pStat));
}

void mosStat_Reset(MosStat *pStat)
{
    mosStat_InitEx(pStat, pStat->bDataInCycles);
}

void mosStat_AddValue(MosStat *pStat, UINT64 value)
{
    if (value > MOS_STAT__MAX_VALUE) {
        pStat->discardValues++;
        return;
    }
    pStat->sampleNum++;
    if (value > pStat->max)
        pStat->max = value;
    const UINT64 square = value * value;
    UINT64 newPow2;
    if (__builtin_add_overflow(pStat->totalPow2, square, &newPow2)) {
        // The sums restart from this sample; a value never exceeds its square, so the plain sum
        // cannot have overflowed first.
        pStat->sampleNum = 1;
        pStat->total = value;
        pStat->totalPow2 = square;
        pStat->overflows++;
        return;
    }
    pStat->total += value;
    pStat->totalPow2 = newPow2;
}

void mosStat_Query(const MosStat *pStat, MosStat_Query *pQuery)
{
    memset(pQuery, 0, sizeof(*pQuery));
    pQuery->sampleNum = pStat->sampleNum;
    pQuery->total = pStat->total;
    pQuery->totalPow2 = pStat->totalPow2;
    pQuery->max = pStat->max;
    pQuery->overflows = pStat->overflows;
    pQuery->discardValues = pStat->discardValues;
    pQuery->bDataInCycles = pStat->bDataInCycles;
}

void mosStat_Aggregate(MosStat *pStatDst, const MosStat *pStatSrc)
{
    if (pStatSrc->max > pStatDst->max)
        pStatDst->max = pStatSrc->max;
    UINT64 pow2;
    if (__builtin_add_overflow(pStatDst->totalPow2, pStatSrc->totalPow2, &pow2)) {
        pStatDst->sampleNum = 0;
        pStatDst->total = 0;
        pStatDst->totalPow2 = 0;
        pStatDst->overflows++;
        return;
    }
    pStatDst->sampleNum += pStatSrc->sampleNum;
    pStatDst->total += pStatSrc->total;
    pStatDst->totalPow2 = pow2;
    pStatDst->overflows += pStatSrc->overflows;
    pStatDst->discardValues += pStatSrc->discardValues;
}
