// storemint: creates a file of a given number of gigabytes and reserves its space on disk, so
// that it can later serve a Pellar as a file-backed device. It writes no content.
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <getopt.h>
#include <sys/stat.h>
#include <unistd.h>

#include "mos/mos_load.h"
#include "mos/mos_rc.h"
#include "mos/usr/mos_io.h"

namespace {

const char kUsage[] = "Usage:\n--create_file\nCreates a new file\n   Mandatory parameter:\n"
                      "       --size_gb <SIZE_IN_GB> The file size in gigabyte\n"
                      "       --file_name <FILE_NAME> The name of the file to be created";

enum StoremintOption : int {
    STOREMINT_OPT__CREATE_FILE = 1,
    STOREMINT_OPT__SIZE_GB,
    STOREMINT_OPT__FILE_NAME,
    STOREMINT_OPT__HELP,
};

[[noreturn]] void storemint_ExitWithUsage(int exitCode)
{
    printf("%s\n", kUsage);
    fflush(stdout);
    exit(exitCode);
}

[[noreturn]] void storemint_Refuse(const char *pError)
{
    printf("%s\n", pError);
    storemint_ExitWithUsage(1);
}

// The whole argument must be a base-10 number that fits in 32 signed bits.
bool storemint_ParseSize(const char *pText, INT32 *pSize)
{
    char *pEnd = nullptr;
    errno = 0;
    long value = strtol(pText, &pEnd, 10);
    if (pEnd == pText || *pEnd != '\0' || errno == ERANGE || value < INT32_MIN || value > INT32_MAX)
        return false;
    *pSize = (INT32)value;
    return true;
}

} // namespace

int main(int argc, char **argv)
{
    Mos_RC rc = mos_Init(nullptr);
    if (rc != MOS_RC__SUCCESS) {
        printf("Failed to initialize MOS environment. Status %s\n", MOS_RC__GET_STR(rc));
        return 1;
    }

    static const option kOptions[] = {
        {"create_file", no_argument, nullptr, STOREMINT_OPT__CREATE_FILE},
        {"size_gb", required_argument, nullptr, STOREMINT_OPT__SIZE_GB},
        {"file_name", required_argument, nullptr, STOREMINT_OPT__FILE_NAME},
        {"help", no_argument, nullptr, STOREMINT_OPT__HELP},
        {nullptr, 0, nullptr, 0},
    };
    bool bCreateFile = false;
    bool bSizeGiven = false;
    INT32 sizeGb = 0;
    const char *pFileName = nullptr;
    int opt;
    while ((opt = getopt_long(argc, argv, "", kOptions, nullptr)) != -1) {
        switch (opt) {
        case STOREMINT_OPT__CREATE_FILE:
            bCreateFile = true;
            break;
        case STOREMINT_OPT__SIZE_GB:
            if (!storemint_ParseSize(optarg, &sizeGb)) {
                printf("Error: Invalid file size %s\n", optarg);
                storemint_ExitWithUsage(1);
            }
            bSizeGiven = true;
            break;
        case STOREMINT_OPT__FILE_NAME:
            pFileName = optarg;
            break;
        case STOREMINT_OPT__HELP:
            storemint_ExitWithUsage(0);
        default: // an unknown option or a missing argument
            storemint_ExitWithUsage(1);
        }
    }

    if (!bCreateFile)
        storemint_Refuse("Error: No main command given");
    if (!bSizeGiven)
        storemint_Refuse("Error: No file size given");
    if (sizeGb == 0)
        storemint_Refuse("Error: Size cannot be zero");
    // A negative size would turn into a huge byte count; refuse it before touching the disk.
    if (sizeGb < 0)
        storemint_Refuse("Error: Size cannot be negative");
    if (pFileName == nullptr)
        storemint_Refuse("Error: File name not given");

    printf("Creating file %s with size %d GB\n", pFileName, sizeGb);
    // A file that was there before belongs to its owner: a failed allocation gives it back its
    // old length instead of deleting it. Whatever else already stood at the path (a named pipe,
    // a device node) is left where it is.
    UINT64 oldSize = 0;
    struct stat st;
    const bool bExisted = stat(pFileName, &st) == 0;
    const bool bWasFile = mosIO_IsFile(pFileName, &oldSize);
    MosIO io;
    rc = mosIO_open(&io, pFileName, TRUE, FALSE);
    if (rc != MOS_RC__SUCCESS) {
        printf("Error %s(%d) create file %s\n", MOS_RC__GET_STR(rc), (int)rc, pFileName);
        return 1;
    }
    rc = mosIO_ExtendAndReserveFile(&io, (UINT64)sizeGb << 30);
    if (rc != MOS_RC__SUCCESS) {
        printf("Error %s(%d) allocating storage on disk\n", MOS_RC__GET_STR(rc), (int)rc);
        if (bWasFile && ftruncate(io.fd, (off_t)oldSize) != 0)
            perror("storemint");
        mosIO_close(&io);
        if (!bExisted)
            unlink(pFileName);
        return 1;
    }
    mosIO_close(&io);
    printf("Successfully created file %s with size %d GB\n", pFileName, sizeGb);
    return 0;
}
