#include "platform/platform.h"

#include <cstdio>
#include <string>

#ifdef _WIN32
#include <windows.h>
#include <share.h>
#include <sys/stat.h>
#include <sys/types.h>

PlatOpenResult PLAT_OpenSharedBinary(const char *path, FILE **file)
{
    *file = nullptr;
    if (path == nullptr)
        return PLAT_OPEN_FAILED;
    struct _stat64 info;
    if (_stat64(path, &info) != 0)
        return PLAT_OPEN_FAILED;
    if ((info.st_mode & _S_IFMT) != _S_IFREG)
        return PLAT_OPEN_NOT_REGULAR;
    *file = _fsopen(path, "rb", _SH_DENYNO);
    return *file != nullptr ? PLAT_OPEN_OK : PLAT_OPEN_FAILED;
}

bool PLAT_FileSize(FILE *file, uint64_t *size)
{
    struct _stat64 info;
    if (file == nullptr || _fstat64(_fileno(file), &info) != 0 || info.st_size < 0)
        return false;
    *size = static_cast<uint64_t>(info.st_size);
    return true;
}

#else
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

PlatOpenResult PLAT_OpenSharedBinary(const char *path, FILE **file)
{
    *file = nullptr;
    if (path == nullptr)
        return PLAT_OPEN_FAILED;
    // O_NONBLOCK keeps the open itself from waiting on a FIFO without a
    // writer; the type is then checked on the opened file, not the name, so
    // that nothing can swap the file between the check and the read.
    int fd = open(path, O_RDONLY | O_NONBLOCK | O_CLOEXEC);
    if (fd < 0)
        return PLAT_OPEN_FAILED;
    struct stat info;
    if (fstat(fd, &info) != 0) {
        close(fd);
        return PLAT_OPEN_FAILED;
    }
    if (!S_ISREG(info.st_mode)) {
        close(fd);
        return PLAT_OPEN_NOT_REGULAR;
    }
    int flags = fcntl(fd, F_GETFL);
    if (flags >= 0)
        fcntl(fd, F_SETFL, flags & ~O_NONBLOCK);
    *file = fdopen(fd, "rb");
    if (*file == nullptr) {
        close(fd);
        return PLAT_OPEN_FAILED;
    }
    return PLAT_OPEN_OK;
}

bool PLAT_FileSize(FILE *file, uint64_t *size)
{
    struct stat info;
    if (file == nullptr || fstat(fileno(file), &info) != 0 || info.st_size < 0)
        return false;
    *size = static_cast<uint64_t>(info.st_size);
    return true;
}
#endif

// ---- Writing a file whole or not at all -------------------------------------

namespace
{

// A file beside path, named path.part, opened for writing: nullptr for an
// empty path or a folder that takes no new file.
FILE *openBeside(const char *path, std::string *temporary)
{
    if (path == nullptr || path[0] == '\0')
        return nullptr;
    *temporary = std::string(path) + ".part";
    return std::fopen(temporary->c_str(), "wb");
}

} // namespace

bool PLAT_WriteFileWhole(const char *path, const uint8_t *bytes, size_t count)
{
    std::string temporary;
    FILE *file = openBeside(path, &temporary);
    if (file == nullptr)
        return false;
    bool written = count == 0 || std::fwrite(bytes, 1, count, file) == count;
    written = std::fflush(file) == 0 && written;
    written = std::fclose(file) == 0 && written;
#ifdef _WIN32
    // rename does not replace an existing file on Windows.
    written = written && MoveFileExA(temporary.c_str(), path, MOVEFILE_REPLACE_EXISTING) != 0;
#else
    written = written && std::rename(temporary.c_str(), path) == 0;
#endif
    if (!written)
        std::remove(temporary.c_str());
    return written;
}

bool PLAT_CanWriteBeside(const char *path)
{
    std::string temporary;
    FILE *file = openBeside(path, &temporary);
    if (file == nullptr)
        return false;
    std::fclose(file);
    std::remove(temporary.c_str());
    return true;
}
