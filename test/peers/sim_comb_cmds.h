// Typed builders of the Ostrel's device, comb and comb-state records, as bytes to hand to
// OstrelSim::Command or ContCmdRig::send (the addressed TgtId is added by those). No test
// framework needed.
//
// How a comb gets a role that takes client I/O (the comb's I/O generation, primaryTgtGenNum, is
// what every write and read of a Quillet must carry as its combGenNum):
//
// A single writable copy (no partner):
//   1. ADD_DEV (2054) with simComb_AddDevArr({simComb_Dev(devId, path, true)}, ...) - inside a
//      cycle (RECONF_START 2015 first) or outside one.
//   2. ADD_COMB (2217) with simComb_AddCombArr({simComb_Comb(devId, combId)}, ...): the comb is
//      placed on the device with no role (FREE) and no partner.
//   3. SET_COMB_STATE (2011) with simComb_Bytes(simComb_SinglePrimary(combId, gen)): role PRIMARY,
//      the mirror partnership (raidType SECONDARY) DEGRADED_REMOTE_ERROR, so writes need no
//      partner; the Ostrel's view of the present state is UNKNOWN_IN_TGT (accepts any).
//   Or in one step: an ADD_COMB element built with simComb_SinglePrimaryComb(devId, combId, gen):
//   combState PRIMARY and one raid entry {partner 0, DEGRADED_REMOTE_ERROR, SECONDARY}; the add
//   runs the same set-state step.
//   A comb left in UNKNOWN_IN_TGT (no 2011, or an element without raid entries) refuses I/O (20).
//
// A mirrored pair (pellar A primary, pellar B secondary; A and B peers through ADD_TGT 2005):
//   on A: ADD_COMB element simComb_MirrorComb(devA, combId, COMB_STATE__PRIMARY, idB, gen);
//   on B: ADD_COMB element simComb_MirrorComb(devB, combId, COMB_STATE__SECONDARY, idA, gen).
//   Both name the partner in a raid entry of type SECONDARY in state NORMAL. Equivalently, add the
//   comb with the partner (simComb_Comb(dev, combId, partner)) and send 2011 with
//   simComb_Mirror(combId, role, gen) on each side.
//
// Generations: ostrelTgtConnectionGenNum (connGen) is the one of the add-manager; tgtCombCmdGenNum
// (cmdGen) may never go back (16-bit serial order) and primaryTgtGenNum never older (64-bit).
#pragma once

#include <algorithm>
#include <cstdint>
#include <cstring>
#include <string>
#include <vector>

#include "tgt/cont/cont_cmd_comb_state_rec.h"
#include "tgt/cont/cont_cmd_rec.h"

template <class T> std::vector<uint8_t> simComb_Bytes(const T &rec)
{
    std::vector<uint8_t> b(sizeof(rec));
    memcpy(b.data(), &rec, sizeof(rec));
    return b;
}

// A group record: its head, then each element's bytes.
template <class Head, class Elem> std::vector<uint8_t> simComb_Group(const Head &head, const std::vector<Elem> &elems)
{
    std::vector<uint8_t> b = simComb_Bytes(head);
    for (const Elem &e : elems) {
        const auto bytes = simComb_Bytes(e);
        b.insert(b.end(), bytes.begin(), bytes.end());
    }
    return b;
}

// ---- devices (2054) ----

// One device element: id, path (63 characters at most), new or already known; scan off.
inline OstrelTgtReq_AddDev simComb_Dev(uint64_t devId, const std::string &path, bool bNew)
{
    OstrelTgtReq_AddDev d{};
    d.devId = devId;
    d.bNew = bNew ? 1 : 0;
    d.pathMaxLen = sizeof(d.path);
    memcpy(d.path, path.c_str(), std::min(path.size(), sizeof(d.path) - 1));
    d.scanFlavor = 1; // background scan off
    return d;
}

inline std::vector<uint8_t> simComb_AddDevArr(const std::vector<OstrelTgtReq_AddDev> &devs, bool bReconf,
                                              uint16_t connGen = 1)
{
    OstrelTgtReq_AddDevArr head{};
    head.numOfDevs = (uint32_t)devs.size();
    head.devStructSize = sizeof(OstrelTgtReq_AddDev);
    head.bReconfigInProgress = bReconf ? 1 : 0;
    head.ostrelTgtConnectionGenNum = connGen;
    return simComb_Group(head, devs);
}

// ---- combs (2217) ----

// A comb element with no role (FREE); partner: the mirror partner's TgtId, 0 for none.
inline OstrelTgtReq_AddComb simComb_Comb(uint64_t devId, uint64_t combId, uint64_t partner = 0, uint16_t cmdGen = 1)
{
    OstrelTgtReq_AddComb e{};
    e.devId = devId;
    e.combId = combId;
    e.combState = COMB_STATE__FREE;
    e.tgtCombCmdGenNum = cmdGen;
    e.bNew = 1;
    if (partner != 0) {
        e.numOfRaidProtElem = 1;
        e.raidArray[0] = {partner, COMB_RAID_STATE__UNKNOWN_IN_TGT, RAID_PROT_TYPE__SECONDARY};
    }
    return e;
}

// An element with a role and the mirror partnership's state (partner 0: none).
inline OstrelTgtReq_AddComb simComb_RoleComb(uint64_t devId, uint64_t combId, uint32_t role, uint64_t partner,
                                             uint32_t mirrorState, uint64_t primaryGen, uint16_t cmdGen = 1)
{
    OstrelTgtReq_AddComb e = simComb_Comb(devId, combId, 0, cmdGen);
    e.combState = role;
    e.primaryTgtGenNum = primaryGen;
    e.numOfRaidProtElem = 1;
    e.raidArray[0] = {partner, mirrorState, RAID_PROT_TYPE__SECONDARY};
    return e;
}

inline OstrelTgtReq_AddComb simComb_SinglePrimaryComb(uint64_t devId, uint64_t combId, uint64_t primaryGen,
                                                      uint16_t cmdGen = 1)
{
    return simComb_RoleComb(devId, combId, COMB_STATE__PRIMARY, 0, COMB_RAID_STATE__DEGRADED_REMOTE_ERROR, primaryGen,
                            cmdGen);
}

// role: COMB_STATE__PRIMARY or COMB_STATE__SECONDARY; the partnership NORMAL.
inline OstrelTgtReq_AddComb simComb_MirrorComb(uint64_t devId, uint64_t combId, uint32_t role, uint64_t partner,
                                               uint64_t primaryGen, uint16_t cmdGen = 1)
{
    return simComb_RoleComb(devId, combId, role, partner, COMB_RAID_STATE__NORMAL, primaryGen, cmdGen);
}

// Outside a cycle the group must hold exactly one comb.
inline std::vector<uint8_t> simComb_AddCombArr(const std::vector<OstrelTgtReq_AddComb> &combs, bool bReconf,
                                               uint16_t connGen = 1, bool bForce = false)
{
    OstrelTgtReq_AddCombArr head{};
    head.numOfCombs = (uint32_t)combs.size();
    head.addCombStructSize = sizeof(OstrelTgtReq_AddComb);
    head.bReconfigInProgress = bReconf ? 1 : 0;
    head.bForceReconfig = bForce ? 1 : 0;
    head.ostrelTgtConnectionGenNum = connGen;
    return simComb_Group(head, combs);
}

// ---- SET_COMB_STATE (2011) ----

inline OstrelTgtReq_SetCombState simComb_SetState(uint64_t combId, uint32_t newState, uint32_t raidType,
                                                  uint32_t newRaidState, uint64_t primaryGen, uint16_t cmdGen = 1,
                                                  uint16_t connGen = 1)
{
    OstrelTgtReq_SetCombState r{};
    r.combId = combId;
    r.newState = newState;
    r.curState = COMB_STATE__FREE;
    r.newRaidState = newRaidState;
    r.curRaidState = COMB_RAID_STATE__UNKNOWN_IN_TGT;
    r.primaryTgtGenNum = primaryGen;
    r.ostrelTgtConnectionGenNum = connGen;
    r.tgtCombCmdGenNum = cmdGen;
    r.raidType = raidType;
    return r;
}

inline OstrelTgtReq_SetCombState simComb_SinglePrimary(uint64_t combId, uint64_t primaryGen, uint16_t cmdGen = 1,
                                                       uint16_t connGen = 1)
{
    return simComb_SetState(combId, COMB_STATE__PRIMARY, RAID_PROT_TYPE__SECONDARY,
                            COMB_RAID_STATE__DEGRADED_REMOTE_ERROR, primaryGen, cmdGen, connGen);
}

inline OstrelTgtReq_SetCombState simComb_Mirror(uint64_t combId, uint32_t role, uint64_t primaryGen,
                                                uint16_t cmdGen = 1, uint16_t connGen = 1)
{
    return simComb_SetState(combId, role, RAID_PROT_TYPE__SECONDARY, COMB_RAID_STATE__NORMAL, primaryGen, cmdGen,
                            connGen);
}

// ---- migration (2018, 2019, 2021) ----

inline OstrelTgtReq_StartMigrate simComb_StartMigrate(uint64_t combId, uint64_t primaryGen, uint64_t migrateTgtId,
                                                      uint32_t copyReason, uint16_t copyNum, uint16_t cmdGen = 1,
                                                      uint16_t connGen = 1)
{
    return OstrelTgtReq_StartMigrate{combId, primaryGen, migrateTgtId, copyReason, connGen, cmdGen, copyNum};
}

inline OstrelTgtReq_AbortMigrate simComb_AbortMigrate(uint64_t combId, uint64_t primaryGen, uint16_t cmdGen = 1,
                                                      uint16_t connGen = 1)
{
    return OstrelTgtReq_AbortMigrate{combId, primaryGen, connGen, cmdGen};
}

inline OstrelTgtReq_EndMigrate simComb_EndMigrate(uint64_t combId, uint64_t newSecondary, uint64_t oldSecondary,
                                                  uint64_t primaryGen, uint16_t copyNum, uint16_t cmdGen = 1,
                                                  uint16_t connGen = 1)
{
    return OstrelTgtReq_EndMigrate{combId, newSecondary, oldSecondary, primaryGen, connGen, cmdGen, copyNum};
}

// ---- GET_DIRTY_INFO (2022) ----

inline std::vector<uint8_t> simComb_GetDirtyInfo(const std::vector<uint64_t> &combIds, uint64_t destTgtId = 0,
                                                 uint16_t destConnGen = 0, uint16_t connGen = 1)
{
    OstrelTgtReq_GetDirtyInfo head{};
    head.destTgtID = destTgtId;
    head.destOstrelTgtConnectionGenNum = destConnGen;
    head.numCombs = (uint32_t)combIds.size();
    head.ostrelTgtConnectionGenNum = connGen;
    return simComb_Group(head, combIds);
}

// The answer's entries, as many as its numCombs says and its bytes hold.
inline std::vector<OstrelTgtRsp_CombDirtyInfo> simComb_DirtyEntries(const std::vector<uint8_t> &answer,
                                                                    OstrelTgtRsp_GetDirtyInfo *pHead = nullptr)
{
    std::vector<OstrelTgtRsp_CombDirtyInfo> out;
    OstrelTgtRsp_GetDirtyInfo head{};
    if (answer.size() < sizeof(head))
        return out;
    memcpy(&head, answer.data(), sizeof(head));
    if (pHead != nullptr)
        *pHead = head;
    for (uint64_t i = 0; i < head.numCombs && sizeof(head) + (i + 1) * sizeof(OstrelTgtRsp_CombDirtyInfo) <= answer.size();
         i++) {
        OstrelTgtRsp_CombDirtyInfo e;
        memcpy(&e, answer.data() + sizeof(head) + i * sizeof(e), sizeof(e));
        out.push_back(e);
    }
    return out;
}
