// Files and directories with restricted permissions, block-device enumeration, device control
// calls and the console.
#include <cerrno>
#include <climits>
#include <cstdarg>
#include <cstdlib>
#include <cstring>
#include <dirent.h>
#include <fcntl.h>
#include <pwd.h>
#include <sys/ioctl.h>
#include <sys/stat.h>
#include <sys/statvfs.h>
#include <termios.h>
#include <unistd.h>

#include "mos/mos_dbg.h"
#include "mos/mos_trace.h"
#include "mos/mos_utils.h"

#define MOS_UTILS_WARNING(format, ...)                                                              \
    do {                                                                                            \
        MOS_TRACE(MOS_COMP_MOS, MOS_FREQ_LOW, "WARNING: " format, ##__VA_ARGS__);                   \
        mosError_Do(MOS_COMP_MOS, MOS_FREQ_LOW, "%s:%05u: WARNING: " format "\n", __func__,          \
                    (unsigned)__LINE__, ##__VA_ARGS__);                                             \
    } while (0)

// ---- Files and directories ----

void mos_CreateFullFileName(char *fullFileNameBuf, size_t fullFileNameBufLen, const char *directoryName,
                            const char *fileName)
{
    MOS_ASSERT(fullFileNameBuf != ((void *)0));
    MOS_ASSERT(fullFileNameBufLen != 0);
    snprintf(fullFileNameBuf, fullFileNameBufLen, "%s%s%s", directoryName, "/", fileName);
}

FILE *mos_FullFileNameOpen(const char *fileName, BOOL bWrite)
{
    return fopen(fileName, bWrite ? "w" : "r");
}

FILE *mos_FileOpen(const char *directory, const char *fileName, BOOL bWrite)
{
    char fullName[MOS_MAX_FULL_FILE_NAME];
    mos_CreateFullFileName(fullName, sizeof(fullName), directory, fileName);
    return mos_FullFileNameOpen(fullName, bWrite);
}

Mos_RC mos_FileWrite(FILE *file, const void *data, size_t dataLen)
{
    MOS_ASSERT(file != ((void *)0));
    return fwrite(data, 1, dataLen, file) == dataLen ? MOS_RC__SUCCESS : MOS_RC__ERROR;
}

Mos_RC mos_FileRead(FILE *file, void *out_data, size_t *inout_dataLen)
{
    MOS_ASSERT(file != ((void *)0));
    size_t numRead = fread(out_data, 1, *inout_dataLen, file);
    *inout_dataLen = numRead;
    return numRead == 0 ? MOS_RC__ERROR : MOS_RC__SUCCESS;
}

void mos_FileRewind(FILE *file)
{
    MOS_ASSERT(file != ((void *)0));
    rewind(file);
}

Mos_RC mos_FileGetName(FILE *file, char *outBuffer, size_t outBufferSize)
{
    MOS_ASSERT(file != ((void *)0));
    if (outBufferSize == 0)
        return MOS_RC__ERROR;
    char linkName[64];
    snprintf(linkName, sizeof(linkName), "/proc/self/fd/%d", fileno(file));
    ssize_t len = readlink(linkName, outBuffer, outBufferSize - 1);
    if (len < 0)
        return MOS_RC__ERROR;
    outBuffer[len] = '\0';
    return MOS_RC__SUCCESS;
}

Mos_RC mos_FileClose(FILE *file)
{
    MOS_ASSERT(file != ((void *)0));
    char path[MOS_MAX_FULL_FILE_NAME];
    if (mos_FileGetName(file, path, sizeof(path)) != MOS_RC__SUCCESS)
        snprintf(path, sizeof(path), "%s", "<unknown>");
    if (fclose(file) != 0) {
        int err = errno;
        MOS_ERROR(MOS_COMP_MOS, "Failed to close file %s, (errno %d: %s)", path, err, strerror(err));
        return MOS_RC__ERROR;
    }
    return MOS_RC__SUCCESS;
}

BOOL mos_FullFileNameDelete(const char *fileName)
{
    if (unlink(fileName) == 0)
        return TRUE;
    MOS_ERROR(MOS_COMP_MOS, "Failed to delete file (%s)", fileName);
    return FALSE;
}

Mos_RC mos_FullFileNameSetRestrictedMode(const char *fileName)
{
    if (chmod(fileName, S_IRUSR | S_IWUSR) != 0) {
        int err = errno;
        MOS_UTILS_WARNING("Failed to change mode of file '%s'. errono %d: %s", fileName, err, strerror(err));
        return MOS_RC__ERROR;
    }
    return MOS_RC__SUCCESS;
}

Mos_RC mos_FullFileNameCreateRestricted(const char *fileName)
{
    // Created 0600 from the start, so the file is never readable by others, even briefly.
    int fd = open(fileName, O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, S_IRUSR | S_IWUSR);
    if (fd < 0) {
        MOS_UTILS_WARNING("Failed to open file '%s'", fileName);
        return MOS_RC__ERROR;
    }
    close(fd);
    // An existing file keeps its old mode through O_CREAT.
    return mos_FullFileNameSetRestrictedMode(fileName);
}

FILE *mos_FullFileNameOpenRestricted(const char *fileName)
{
    FILE *file = nullptr;
    if (mos_FullFileNameCreateRestricted(fileName) == MOS_RC__SUCCESS)
        file = fopen(fileName, "w");
    if (file == nullptr)
        MOS_UTILS_WARNING("Failed to create file '%s'", fileName);
    return file;
}

Mos_RC mos_FileCreateRestricted(const char *directory, const char *fileName)
{
    char fullName[MOS_MAX_FULL_FILE_NAME];
    mos_CreateFullFileName(fullName, sizeof(fullName), directory, fileName);
    return mos_FullFileNameCreateRestricted(fullName);
}

FILE *mos_FileOpenRestricted(const char *directory, const char *fileName)
{
    char fullName[MOS_MAX_FULL_FILE_NAME];
    mos_CreateFullFileName(fullName, sizeof(fullName), directory, fileName);
    return mos_FullFileNameOpenRestricted(fullName);
}

Mos_RC mos_FileSetRestrictedMode(const char *directory, const char *fileName)
{
    char fullName[MOS_MAX_FULL_FILE_NAME];
    mos_CreateFullFileName(fullName, sizeof(fullName), directory, fileName);
    return mos_FullFileNameSetRestrictedMode(fullName);
}

int mos_CreateDirectoryInternal(const char *pDirectoryName)
{
    return mkdir(pDirectoryName, S_IRWXU) == 0 ? 0 : errno;
}

static int mos_CreateDirectoryCK(void *pContext)
{
    return mos_CreateDirectoryInternal(static_cast<const char *>(pContext));
}

Mos_RC mos_CreateDirectory(const char *pDirectoryName)
{
    MOS_ASSERT(pDirectoryName != ((void *)0));
    int err = mosUtils_RunBlocking(mos_CreateDirectoryCK, const_cast<char *>(pDirectoryName));
    if (err == 0)
        return MOS_RC__SUCCESS;
    if (err == EEXIST)
        return MOS_RC__ALREADY_EXISTS;
    MOS_ERROR(MOS_COMP_MOS, "Error creating directory. errno: %d", err);
    return MOS_RC__ERROR;
}

Mos_RC mos_GetHomeDirectory(char *out_homeDirectory, size_t bufLength)
{
    const char *pHome = getenv("HOME");
    if (pHome == nullptr || *pHome == '\0') {
        passwd pw;
        passwd *pResult = nullptr;
        char buf[1024];
        if (getpwuid_r(getuid(), &pw, buf, sizeof(buf), &pResult) != 0 || pResult == nullptr)
            return MOS_RC__ERROR;
        pHome = pw.pw_dir;
    }
    if ((size_t)snprintf(out_homeDirectory, bufLength, "%s", pHome) >= bufLength)
        return MOS_RC__BUF_TOO_SMALL;
    return MOS_RC__SUCCESS;
}

Mos_RC mos_GetCurrDirectory(char *pCurrDirBuf, size_t bufSize)
{
    if (getcwd(pCurrDirBuf, bufSize) == nullptr) {
        int err = errno;
        MOS_UTILS_WARNING("Failed to get the current directory. errono %d: %s", err, strerror(err));
        return MOS_RC__ERROR;
    }
    return MOS_RC__SUCCESS;
}

Mos_RC mos_GetAvailableDiskSpace(const char *dirName, UINT64 *pAvailableSpaceBytes)
{
    struct statvfs info;
    if (statvfs(dirName, &info) != 0) {
        int err = errno;
        MOS_UTILS_WARNING("Failed to get file system information for %s. errono %d: %s", dirName, err,
                          strerror(err));
        return MOS_RC__ERROR;
    }
    // Available blocks are counted in fragment-size units.
    *pAvailableSpaceBytes = (UINT64)info.f_bavail * (UINT64)info.f_frsize;
    return MOS_RC__SUCCESS;
}

Mos_RC mos_GetEstimatedCoreSize(UINT64 *coreSizeBytes)
{
    FILE *file = fopen("/proc/self/statm", "r");
    if (file == nullptr) {
        MOS_UTILS_WARNING("Failed to open memory usage file");
        MOS_UTILS_WARNING("Failed to get RSS");
        return MOS_RC__ERROR;
    }
    unsigned long size = 0, resident = 0;
    int numRead = fscanf(file, "%lu %lu", &size, &resident);
    fclose(file);
    if (numRead != 2) {
        MOS_UTILS_WARNING("Failed to read memory usage file");
        MOS_UTILS_WARNING("Failed to get RSS");
        return MOS_RC__ERROR;
    }
    *coreSizeBytes = (UINT64)resident * mos_PageSize() + 209715200ull;
    return MOS_RC__SUCCESS;
}

// ---- Block devices ----

Mos_RC mos_StartBlkDevEnum(Mos_EnumBlkDevContext *pEnumContext)
{
    MOS_ASSERT(pEnumContext != ((void *)0));
    memset(pEnumContext, 0, sizeof(*pEnumContext));
    const char *pFileName = getenv("PELLAR_PARTITION_FILE");
    if (pFileName == nullptr || *pFileName == '\0')
        pFileName = "/proc/partitions";
    MOS_TRACE(MOS_COMP_MOS, MOS_FREQ_MED, "open partition file: %s", pFileName);
    pEnumContext->pProcFile = fopen(pFileName, "r");
    return pEnumContext->pProcFile == nullptr ? MOS_RC__ERROR : MOS_RC__SUCCESS;
}

Mos_RC mos_GetNextBlkDev(Mos_EnumBlkDevContext *pEnumContext, char *pDevName, size_t devNameSize)
{
    static const char *const kIgnoredPrefixes[] = {"dm", "sr", "fd", "cdrom", MOS_QUILLET_DEV_PREFIX};
    MOS_ASSERT(pEnumContext->pProcFile != ((void *)0));
    if (devNameSize < 10)
        return MOS_RC__BUF_TOO_SMALL;
    while (getline(&pEnumContext->pLine, &pEnumContext->lineSize, pEnumContext->pProcFile) >= 0) {
        unsigned long major, minor, blocks;
        char name[256];
        if (sscanf(pEnumContext->pLine, "%lu %lu %lu %255s", &major, &minor, &blocks, name) != 4)
            continue;
        BOOL bIgnored = FALSE;
        for (const char *pPrefix : kIgnoredPrefixes)
            bIgnored |= strncmp(name, pPrefix, strlen(pPrefix)) == 0;
        if (bIgnored)
            continue;
        if ((size_t)snprintf(pDevName, devNameSize, "/dev/%s", name) >= devNameSize)
            return MOS_RC__BUF_TOO_SMALL;
        return MOS_RC__SUCCESS;
    }
    return MOS_RC__NO_MORE_ELEMENTS;
}

void mos_FinishBlkDevEnum(Mos_EnumBlkDevContext *pEnumContext)
{
    free(pEnumContext->pLine);
    pEnumContext->pLine = nullptr;
    pEnumContext->lineSize = 0;
    if (pEnumContext->pProcFile != nullptr)
        fclose(pEnumContext->pProcFile);
    pEnumContext->pProcFile = nullptr;
}

namespace {
char sysBlockDir_G[PATH_MAX] = "/sys/class/block";
} // namespace

void mos_SetSysBlockDirForTest(const char *pDir)
{
    snprintf(sysBlockDir_G, sizeof(sysBlockDir_G), "%s", pDir != nullptr ? pDir : "/sys/class/block");
}

// The kernel lists a disk's partitions as subdirectories of the disk's sysfs directory, each
// holding a "partition" file. Names such as nvme0n1 or loop3 end in a digit and still have
// partitions (nvme0n1p1, loop3p1), so the name alone tells nothing.
BOOL mos_IsDiskPartitioned(const char *pValidateDiskName)
{
    MOS_ASSERT(pValidateDiskName != ((void *)0));
    char path[PATH_MAX];
    snprintf(path, sizeof(path), "%s", pValidateDiskName);
    char *pName = mos_TrimWhitespace(path);
    size_t len = strlen(pName);
    while (len > 0 && pName[len - 1] == '/')
        pName[--len] = '\0';
    if (len == 0)
        return FALSE;
    // /dev/disk/by-id/... and similar names are links to the device node.
    char resolved[PATH_MAX];
    if (realpath(pName, resolved) != nullptr)
        pName = resolved;
    const char *pBase = strrchr(pName, '/');
    pBase = pBase != nullptr ? pBase + 1 : pName;

    char diskDir[PATH_MAX];
    if ((size_t)snprintf(diskDir, sizeof(diskDir), "%s/%s", sysBlockDir_G, pBase) >= sizeof(diskDir))
        return FALSE;
    DIR *pDir = opendir(diskDir);
    if (pDir == nullptr)
        return FALSE;
    BOOL bPartitioned = FALSE;
    while (dirent *pEntry = readdir(pDir)) {
        if (strncmp(pEntry->d_name, pBase, strlen(pBase)) != 0)
            continue;
        char partFile[PATH_MAX + 256 + 16];
        if ((size_t)snprintf(partFile, sizeof(partFile), "%s/%s/partition", diskDir, pEntry->d_name) >=
            sizeof(partFile))
            continue;
        if (access(partFile, F_OK) == 0) {
            printf("Part %s %s\n", pBase, pEntry->d_name);
            bPartitioned = TRUE;
            break;
        }
    }
    closedir(pDir);
    return bPartitioned;
}

int mos_DevOpen(const char *fullDevPath)
{
    int fd = open(fullDevPath, O_RDWR | O_CLOEXEC);
    if (fd < 0) {
        int err = errno;
        MOS_TRACE(MOS_COMP_QUILLET_IOCTL, MOS_FREQ_LOW, "Failed to open device %s. errono %d: %s", fullDevPath, err,
                  strerror(err));
        return -1;
    }
    return fd;
}

void mos_DevClose(int hDev)
{
    MOS_ASSERT(hDev != -1);
    close(hDev);
}

Mos_RC mos_DevSendIoctl(int hDev, unsigned long opcode, void *pBuf, size_t bufSize)
{
    MOS_UNUSED(bufSize);
    if (ioctl(hDev, opcode, pBuf) != 0) {
        int err = errno;
        MOS_TRACE(MOS_COMP_QUILLET_IOCTL, MOS_FREQ_LOW, "Failed to send ioctl %d to fd %d. errno %d: %s", (int)opcode,
                  hDev, err, strerror(err));
        return MOS_RC__ERROR;
    }
    return MOS_RC__SUCCESS;
}

// ---- Console ----

BOOL mos_isInteractive(void)
{
    return (isatty(STDIN_FILENO) && isatty(STDOUT_FILENO)) ? TRUE : FALSE;
}

Mos_RC mos_GetChar(char *pChar, BOOL bDisplayInputChar)
{
    MOS_ASSERT(pChar != ((void *)0));
    if (bDisplayInputChar) {
        int c = getchar();
        if (c == EOF)
            return MOS_RC__ERROR;
        *pChar = (char)c;
        return MOS_RC__SUCCESS;
    }
    termios saved;
    if (tcgetattr(STDIN_FILENO, &saved) != 0) {
        MOS_ERROR(MOS_COMP_MOS, "Failed to get console attributes (on tcgetattr), Error : %s", strerror(errno));
        return MOS_RC__ERROR;
    }
    termios raw = saved;
    raw.c_lflag &= ~(tcflag_t)(ICANON | ECHO);
    if (tcsetattr(STDIN_FILENO, TCSANOW, &raw) != 0) {
        MOS_ERROR(MOS_COMP_MOS, "Failed to set console attributes (on tcsetattr), Error : %s", strerror(errno));
        return MOS_RC__ERROR;
    }
    int c = getchar();
    Mos_RC rc = (c == EOF) ? MOS_RC__ERROR : MOS_RC__SUCCESS;
    if (c != EOF)
        *pChar = (char)c;
    if (tcsetattr(STDIN_FILENO, TCSANOW, &saved) != 0) {
        MOS_ERROR(MOS_COMP_MOS, "Failed to reset console attributes (on tcsetattr), Error : %s", strerror(errno));
        rc = MOS_RC__ERROR;
    }
    return rc;
}

BOOL mos_ShouldUseColor(void)
{
    static const char *const kColorTerms[] = {"xterm", "xterm-color", "xterm-256color", "screen", "linux", "cygwin"};
    const char *pTerm = getenv("TERM");
    if (pTerm == nullptr || !isatty(STDOUT_FILENO))
        return FALSE;
    for (const char *pKnown : kColorTerms) {
        if (strcmp(pTerm, pKnown) == 0)
            return TRUE;
    }
    return FALSE;
}

const char *mos_GetAnsiColorCode(MosColor color)
{
    static const char *const kCodes[] = {"\033[0m",  "\033[31m", "\033[32m", "\033[33m",
                                         "\033[34m", "\033[35m", "\033[36m", "\033[37m"};
    MOS_ASSERT(color < MOS_ARRAY_SIZE(kCodes));
    return kCodes[color];
}

void mos_PrettyPrint(MosColor color, const char *fmt, ...)
{
    // Decided once per process: the terminal does not change under a running program.
    static const BOOL bUseColor = mos_ShouldUseColor();
    BOOL bWrap = bUseColor && color != COLOR_DEFAULT;
    if (bWrap)
        fputs(mos_GetAnsiColorCode(color), stdout);
    va_list ap;
    va_start(ap, fmt);
    vprintf(fmt, ap);
    va_end(ap);
    if (bWrap)
        fputs("\033[0m", stdout);
}
