#include "mos/mos_utils_scramble.h"

#include <arpa/inet.h>
#include <cctype>
#include <cerrno>
#include <climits>
#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <dirent.h>
#include <fcntl.h>
#include <numa.h>
#include <pwd.h>
#include <sys/ioctl.h>
#include <sys/mman.h>
#include <sys/personality.h>
#include <sys/stat.h>
#include <sys/statvfs.h>
#include <sys/sysinfo.h>
#include <termios.h>
#include <unistd.h>

#include "mos/mos_assert.h"

namespace {
typedef UINT64 __attribute__((may_alias)) MosAliasWord;
constexpr UINT64 kWordsPerLb = MOS_LB_SIZE / sizeof(UINT64);
} // namespace

void mos_Encrypt(void *pData, UINT64 sizeInLbs, UINT64 encryption)
{
    if (encryption == 0)
        return;
    MosAliasWord *pWords = static_cast<MosAliasWord *>(pData);
    const UINT64 numWords = sizeInLbs * kWordsPerLb;
    for (UINT64 i = 0; i < numWords; i++)
        pWords[i] ^= encryption;
}

void mos_InitEncryptedZero(void *pData, UINT64 sizeInLbs, UINT64 encryption)
{
    MosAliasWord *pWords = static_cast<MosAliasWord *>(pData);
    const UINT64 numWords = sizeInLbs * kWordsPerLb;
    for (UINT64 i = 0; i < numWords; i++)
        pWords[i] = encryption;
}

BOOL mos_IsZeroEncrypt(const void *pData, UINT64 sizeInLbs, UINT64 encryption)
{
    if (encryption == 0)
        return mos_IsZeroBufLbs(pData, sizeInLbs);
    const MosAliasWord *pWords = static_cast<const MosAliasWord *>(pData);
    const UINT64 numWords = sizeInLbs * kWordsPerLb;
    for (UINT64 i = 0; i < numWords; i++) {
        if (pWords[i] != encryption)
            return FALSE;
    }
    return TRUE;
}

BOOL mos_IsZeroBufLbs(const void *pData, UINT64 sizeInLbs)
{
    const MosAliasWord *pWords = static_cast<const MosAliasWord *>(pData);
    const UINT64 numWords = sizeInLbs * kWordsPerLb;
    for (UINT64 i = 0; i < numWords; i++) {
        if (pWords[i] != 0)
            return FALSE;
    }
    return TRUE;
}
