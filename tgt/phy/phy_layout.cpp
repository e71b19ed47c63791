#include "tgt/phy/phy_layout.h"

#include <bit>
#include <cstring>

#include "mos/mos_dbg.h"
#include "mos/mos_trace.h"
#include "tgt/tgt_conf.h"

namespace {
constexpr UINT64 ceilDiv(UINT64 a, UINT64 b) { return (a + b - 1) / b; }
constexpr UINT64 roundUp(UINT64 a, UINT64 b) { return ceilDiv(a, b) * b; }

UINT64 clampNumOfCombs(UINT64 n)
{
    return MOS_MIN(MOS_MAX(n, (UINT64)PHY_DEV__MIN_NUM_OF_COMBS), (UINT64)PHY_DEV__MAX_NUM_OF_COMBS);
}

Mos_RC refuseLayout(const char *pField, UINT64 value)
{
    MOS_TRACE(MOS_COMP_TGT_PHY, MOS_FREQ_LOW, "Foreign device layout: %s %lu", pField, (unsigned long)value);
    return MOS_RC__TGT_ADD_DEVICE_VALIDATION_FAILED;
}
} // namespace

UINT64 phyDev_CalcDrlSizeInLbs(UINT64 devSizeInLbs, UINT32 bmWriteSizeInLbs)
{
    UINT64 numOfBits = ceilDiv(devSizeInLbs, PHY_DEV__DRL_SIZING_LBS_PER_BIT);
    return (UINT64)bmWriteSizeInLbs * ceilDiv(numOfBits, (UINT64)bmWriteSizeInLbs * PHY_DEV__BITS_IN_LB);
}

Mos_RC phyDev_CalcDevOffsets(UINT64 sizeInLbs, UINT32 bmWriteSizeInLbs, UINT32 dirtyGranularity,
                             PhyDevOffsets *pOffsets)
{
    pOffsets->dirtyGranularity = dirtyGranularity;
    Exp(pOffsets->dirtyGranularity == 0 || pOffsets->dirtyGranularity < 2048);
    Exp(bmWriteSizeInLbs == 0);
    UINT64 devSizeInLbs = sizeInLbs - sizeInLbs % TOOTH_SIZE_LB;
    UINT64 drlSize = phyDev_CalcDrlSizeInLbs(devSizeInLbs, bmWriteSizeInLbs);
    PhyDevOffsets o{};
    o.combsMapOffset = PHY_DEV__COMBS_MAP_OFFSET;
    o.teethMapOffset = PHY_DEV__TEETH_MAP_OFFSET;
    o.activeBmOffset = PHY_DEV__BM_OFFSET;
    o.rebuildBmOffset = PHY_DEV__BM_OFFSET + drlSize;
    o.freeSpaceOffset = PHY_DEV__BM_OFFSET + 2 * drlSize;
    o.teethOffset = roundUp(o.freeSpaceOffset, PHY_DEV__START_USER_DATA);
    o.devSizeInLbs = devSizeInLbs;
    o.dirtyGranularity = dirtyGranularity;
    if (devSizeInLbs < o.teethOffset + PHY_DEV__PAD_AT_THE_END + TOOTH_SIZE_LB)
        return MOS_RC__DEV_SIZE_TOO_SMALL;
    UINT64 usable = devSizeInLbs - o.teethOffset - PHY_DEV__PAD_AT_THE_END;
    o.numOfTeeth = usable >> 11;
    o.maxNumOfCombs = clampNumOfCombs(usable / combSizeInLbs_g * PHY_DEV__COMBS_PER_COMB_SIZE);
    *pOffsets = o;
    return MOS_RC__SUCCESS;
}

Mos_RC phyDev_ValidateOffsets(const PhyDevOffsets *pOffsets)
{
    const PhyDevOffsets &o = *pOffsets;
    if (o.combsMapOffset != PHY_DEV__COMBS_MAP_OFFSET)
        return refuseLayout("combsMapOffset", o.combsMapOffset);
    if (o.teethMapOffset != PHY_DEV__TEETH_MAP_OFFSET)
        return refuseLayout("teethMapOffset", o.teethMapOffset);
    if (o.activeBmOffset != PHY_DEV__BM_OFFSET)
        return refuseLayout("activeBmOffset", o.activeBmOffset);
    if (o.rebuildBmOffset <= o.activeBmOffset || o.rebuildBmOffset > o.teethOffset)
        return refuseLayout("rebuildBmOffset", o.rebuildBmOffset);
    if (o.freeSpaceOffset - o.rebuildBmOffset != o.rebuildBmOffset - o.activeBmOffset ||
        o.freeSpaceOffset > o.teethOffset)
        return refuseLayout("freeSpaceOffset", o.freeSpaceOffset);
    if (o.teethOffset % PHY_DEV__START_USER_DATA != 0)
        return refuseLayout("teethOffset", o.teethOffset);
    if (o.devSizeInLbs % TOOTH_SIZE_LB != 0 || o.devSizeInLbs < o.teethOffset + PHY_DEV__PAD_AT_THE_END)
        return refuseLayout("devSizeInLbs", o.devSizeInLbs);
    if (o.numOfTeeth == 0 || o.numOfTeeth > (o.devSizeInLbs - o.teethOffset - PHY_DEV__PAD_AT_THE_END) >> 11)
        return refuseLayout("numOfTeeth", o.numOfTeeth);
    if (o.maxNumOfCombs < PHY_DEV__MIN_NUM_OF_COMBS || o.maxNumOfCombs > PHY_DEV__MAX_NUM_OF_COMBS)
        return refuseLayout("maxNumOfCombs", o.maxNumOfCombs);
    if (o.dirtyGranularity < PHY_DEV__DIRTY_GRANULARITY_IN_LBS)
        return refuseLayout("dirtyGranularity", o.dirtyGranularity);
    // Each dirty bitmap must fit its own area: a larger one would be read from and written over
    // the rebuild bitmap or user data.
    UINT64 bits = ceilDiv(o.numOfTeeth * TOOTH_SIZE_LB, o.dirtyGranularity);
    if (ceilDiv(bits, PHY_DEV__BITS_IN_LB) > o.rebuildBmOffset - o.activeBmOffset)
        return refuseLayout("dirtyGranularity", o.dirtyGranularity);
    return MOS_RC__SUCCESS;
}

void phyDev_BuildPhyDevHeader(PhyDevHeader *pHeader, TgtId tgtId, TgtDevId devId, const PhyDevOffsets *pOffsets,
                              UINT32 flags, DevType type)
{
    memset(pHeader, 0, sizeof(*pHeader));
    pHeader->sigStart = PHY_DEV__SIGNATURE;
    pHeader->devVersion = PHY_DEV__STRUCT_VERSION;
    pHeader->tgtId = tgtId;
    pHeader->devId = devId;
    pHeader->devOffsets = *pOffsets;
    pHeader->combSizeInLbs = combSizeInLbs_g;
    pHeader->sigEnd = PHY_DEV__SIGNATURE;
    pHeader->flags = flags;
    pHeader->type = type;
}

void phyDev_BuildFlcachePhyDevHeader(PhyDevHeader *pHeader, TgtId tgtId, TgtDevId devId)
{
    const PhyDevOffsets none{};
    phyDev_BuildPhyDevHeader(pHeader, tgtId, devId, &none, 0, DEV_TYPE__FLCACHE_FLASH);
    pHeader->combSizeInLbs = 0;
}

// The records are packed little-endian, as this machine keeps them in memory.
static_assert(std::endian::native == std::endian::little, "on-disk records are copied as they lie in memory");

Mos_RC phyDevHeader_Encode(const PhyDevHeader *pHeader, std::span<UINT8> buf)
{
    if (buf.size() < sizeof(*pHeader))
        return MOS_RC__INVALID;
    memcpy(buf.data(), pHeader, sizeof(*pHeader));
    return MOS_RC__SUCCESS;
}

Mos_RC phyDevHeader_Decode(std::span<const UINT8> buf, PhyDevHeader *pHeader)
{
    if (buf.size() < sizeof(*pHeader))
        return MOS_RC__INVALID;
    memcpy(pHeader, buf.data(), sizeof(*pHeader));
    return MOS_RC__SUCCESS;
}

Mos_RC phyDevCounters_Encode(const PhyDevCounters *pCounters, std::span<UINT8> buf)
{
    if (buf.size() < sizeof(*pCounters))
        return MOS_RC__INVALID;
    memcpy(buf.data(), pCounters, sizeof(*pCounters));
    return MOS_RC__SUCCESS;
}

Mos_RC phyDevCounters_Decode(std::span<const UINT8> buf, PhyDevCounters *pCounters)
{
    if (buf.size() < sizeof(*pCounters))
        return MOS_RC__INVALID;
    memcpy(pCounters, buf.data(), sizeof(*pCounters));
    return MOS_RC__SUCCESS;
}

Mos_RC phyDev_CheckHeader(const PhyDevHeader *pHeader, TgtId expectedTgtId, TgtDevId expectedDevId)
{
    if (!tgtInitParam_G.bPhyDevIoEnabled && !tgtInitParam_G.bPhyDevIoEnabledMd)
        return MOS_RC__SUCCESS;
    bool bValid = pHeader->devVersion == PHY_DEV__STRUCT_VERSION && pHeader->sigStart == PHY_DEV__SIGNATURE &&
                  pHeader->sigEnd == PHY_DEV__SIGNATURE && pHeader->combSizeInLbs == combSizeInLbs_g &&
                  (expectedTgtId == 0 || pHeader->tgtId == expectedTgtId) &&
                  (expectedDevId == 0 || pHeader->devId == expectedDevId);
    if (bValid)
        return MOS_RC__SUCCESS;
    MOS_TRACE(MOS_COMP_TGT_PHY, MOS_FREQ_LOW,
              "Wrong device ,disk signature %lx (expected %lx) ,version %lu (expected %lu) ,comb size %u (expected %u) "
              ",tgt id %lx (expected %lx) ,dev id %lx (expected %lx)",
              (unsigned long)pHeader->sigStart, (unsigned long)PHY_DEV__SIGNATURE, (unsigned long)pHeader->devVersion,
              (unsigned long)PHY_DEV__STRUCT_VERSION, pHeader->combSizeInLbs, combSizeInLbs_g,
              (unsigned long)pHeader->tgtId, (unsigned long)expectedTgtId, (unsigned long)pHeader->devId,
              (unsigned long)expectedDevId);
    return MOS_RC__ERROR;
}

Mos_RC phyDev_CheckHeaderSignature(const PhyDevHeader *pHeader)
{
    if (pHeader->devVersion == PHY_DEV__STRUCT_VERSION && pHeader->sigStart == PHY_DEV__SIGNATURE &&
        pHeader->sigEnd == PHY_DEV__SIGNATURE)
        return MOS_RC__SUCCESS;
    return MOS_RC__INVALID_DEVICE_HEADER_SIGNATURE;
}

PhyDevAddr phyDev_CombAddr(UINT32 devIndex, UINT64 combIndex, UINT64 teethOffset, UINT32 maxNumOfDevs)
{
    UINT64 offset = combIndex * combSizeInLbs_g + teethOffset;
    PhyDevAddr devAddr;
    devAddr.devAddr = PHY_DEV_ADDR__INVALID;
    devAddr.devAddrBits.devOffset = offset;
    devAddr.devAddrBits.devId = devIndex;
    Exp(offset != devAddr.devAddrBits.devOffset);
    Exp(devAddr.devAddrBits.devId >= maxNumOfDevs);
    return devAddr;
}
