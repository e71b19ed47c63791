// T10-DIF guards and obfuscation over buffers and buffer lists.
//
// A guard list travels beside its data list: ceil(bytes / 512) guards of 2 bytes, the guards of
// consecutive blocks in order whatever the elements' boundaries. Guards are computed with meta
// tag, comb index and offset 0. The obfuscation key (per volume tree, 0 = none) is XORed into
// every 8-byte word of each block; XOR is its own inverse, so one call obfuscates on the way in
// and restores on the way out.
//
// Guard lists come from clients and peers: a list whose size does not match its data, or data
// that is not whole blocks, is refused with MOS_RC__INVALID and a trace line, never a panic.
#pragma once

#include "mos/env/mos_net_iov.h"
#include "mos/mos_diag_counters.h"
#include "mos/mos_rc.h"
#include "mos/mos_t10dif.h"
#include "tgt/phy/phy_io_flags.h"

void tgtT10Dif_Init(void);
// The reaction to a failed verification: stops the process when t10dif_restart_when_verify_fail
// is on, else counts the diagnostic counter.
void tgtT10Dif_VerifyFailure(MosDiagCounterType counter);
// MOS_RC__SUCCESS, the first failure (MOS_RC__LOGICAL_BLOCK_CHECK_GUARD_FAILED), or MOS_RC__INVALID
// for a guard list of the wrong size.
Mos_RC tgtT10Dif_VerifyT10DIFIov(const NetSmallIov *pDataIov, const NetSmallIov *pDifIov);
// Guards of data element i into guard element i; both lists are ours, so unequal counts or a
// guard element too short are broken invariants.
void tgtT10Dif_GenT10DIFIov(const NetSmallIov *pDataIov, NetSmallIov *pDifIov, UINT32 numOfElements);
// Verifies, XORs with the key and regenerates the guards; nothing with key 0.
Mos_RC tgtT10Dif_EncryptIov(NetSmallIov *pDataIov, NetSmallIov *pDifIov, UINT64 key);
// The primary's preparation of a client write (see the .cpp for the cases).
Mos_RC tgtT10Dif_HandleWritePri(void *pData, T10Dif *pDif, UINT32 sizeInLbs, UINT64 key, WrIoFlags wrFlags,
                                UINT32 requestFlags);
