// Files and directories with restricted permissions.
#include "mos/mos_utils_file.h"

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
#include "mos/mos_trace.h"
#include "mos/mos_utils.h"
#include "mos/mos_utils_mem.h"

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
        MOS_WARNING(MOS_COMP_MOS, "Failed to change mode of file '%s'. errono %d: %s", fileName, err, strerror(err));
        return MOS_RC__ERROR;
    }
    return MOS_RC__SUCCESS;
}

Mos_RC mos_FullFileNameCreateRestricted(const char *fileName)
{
    // Created 0600 from the start, so the file is never readable by others, even briefly.
    int fd = open(fileName, O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, S_IRUSR | S_IWUSR);
    if (fd < 0) {
        MOS_WARNING(MOS_COMP_MOS, "Failed to open file '%s'", fileName);
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
        MOS_WARNING(MOS_COMP_MOS, "Failed to create file '%s'", fileName);
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
        MOS_WARNING(MOS_COMP_MOS, "Failed to get the current directory. errono %d: %s", err, strerror(err));
        return MOS_RC__ERROR;
    }
    return MOS_RC__SUCCESS;
}

Mos_RC mos_GetAvailableDiskSpace(const char *dirName, UINT64 *pAvailableSpaceBytes)
{
    struct statvfs info;
    if (statvfs(dirName, &info) != 0) {
        int err = errno;
        MOS_WARNING(MOS_COMP_MOS, "Failed to get file system information for %s. errono %d: %s", dirName, err,
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
        MOS_WARNING(MOS_COMP_MOS, "Failed to open memory usage file");
        MOS_WARNING(MOS_COMP_MOS, "Failed to get RSS");
        return MOS_RC__ERROR;
    }
    unsigned long size = 0, resident = 0;
    int numRead = fscanf(file, "%lu %lu", &size, &resident);
    fclose(file);
    if (numRead != 2) {
        MOS_WARNING(MOS_COMP_MOS, "Failed to read memory usage file");
        MOS_WARNING(MOS_COMP_MOS, "Failed to get RSS");
        return MOS_RC__ERROR;
    }
    *coreSizeBytes = (UINT64)resident * mos_PageSize() + 209715200ull;
    return MOS_RC__SUCCESS;
}
