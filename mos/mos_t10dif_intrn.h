// Internals of the T10-DIF guards: the builds of the carry-less-multiply method, each usable on its
// own so that tests can hold every one against the table method.
#pragma once

#include "mos/mos_t10dif.h"

UINT16 crc_t10dif_pclSse(UINT16 crc, const UINT8 *pBuf, size_t len); // PCLMULQDQ, SSE4.1
UINT16 crc_t10dif_pclVex(UINT16 crc, const UINT8 *pBuf, size_t len); // and AVX
UINT16 crc_t10dif_pclZmm(UINT16 crc, const UINT8 *pBuf, size_t len); // and mosCpu_IsAvailVpclmul512()
// Chooses the build that crc_t10dif_pcl runs from the CPU layer's feature bits.
void mosT10DifPlat_SelectMethods(void);
