// The transfer commands' files on POSIX: plain descriptors. A received file
// is created beside its final name as ".<name>.<pid>-<n>.part" (mode 0666
// less the umask), written out with fsync and then linked to its final
// name, which fails when that name exists, before the temporary name goes.
#include "../../transfer_file.h"

#include <errno.h>
#include <fcntl.h>
#include <stdio.h>
#include <string.h>
#include <sys/stat.h>
#include <unistd.h>

namespace {

// Temporary names tried before giving up.
constexpr int kTempTries = 100;

int Fd(const TransferFile* file) { return int(file->handle); }

void CloseFd(TransferFile* file) {
    if (file->handle >= 0) close(Fd(file));
    file->handle = -1;
}

void RemoveTemp(TransferFile* file) {
    if (file->tempPath[0] != '\0') unlink(file->tempPath);
    file->tempPath[0] = '\0';
}

}  // namespace

bool TransferFileOpenRead(const char* path, TransferFile* file, uint64_t* size, unsigned long* error) {
    int fd = open(path, O_RDONLY | O_NOCTTY | O_CLOEXEC);
    if (fd < 0) {
        *error = (unsigned long)errno;
        return false;
    }
    struct stat st;
    if (fstat(fd, &st) != 0 || S_ISDIR(st.st_mode)) {
        *error = S_ISDIR(st.st_mode) ? (unsigned long)EISDIR : (unsigned long)errno;
        close(fd);
        return false;
    }
    file->handle = fd;
    file->tempPath[0] = '\0';
    *size = S_ISREG(st.st_mode) ? uint64_t(st.st_size) : 0;
    return true;
}

long TransferFileRead(TransferFile* file, void* data, size_t length, unsigned long* error) {
    for (;;) {
        ssize_t n = read(Fd(file), data, length);
        if (n >= 0) return long(n);
        if (errno == EINTR) continue;
        *error = (unsigned long)errno;
        return -1;
    }
}

bool TransferFileCreateTemp(const char* finalPath, TransferFile* file, unsigned long* error) {
    const char* slash = strrchr(finalPath, '/');
    size_t folderLength = slash != nullptr ? size_t(slash - finalPath + 1) : 0;
    const char* name = finalPath + folderLength;
    for (int n = 0; n < kTempTries; ++n) {
        int length = snprintf(file->tempPath, sizeof file->tempPath, "%.*s.%s.%ld-%d.part", int(folderLength),
                              finalPath, name, long(getpid()), n);
        if (length < 0 || size_t(length) >= sizeof file->tempPath) {
            file->tempPath[0] = '\0';
            *error = (unsigned long)ENAMETOOLONG;
            return false;
        }
        int fd = open(file->tempPath, O_WRONLY | O_CREAT | O_EXCL | O_NOCTTY | O_CLOEXEC, 0666);
        if (fd >= 0) {
            file->handle = fd;
            return true;
        }
        if (errno != EEXIST) break;
    }
    *error = (unsigned long)errno;
    file->tempPath[0] = '\0';
    return false;
}

bool TransferFileWrite(TransferFile* file, const void* data, size_t length, unsigned long* error) {
    const char* bytes = static_cast<const char*>(data);
    while (length > 0) {
        ssize_t n = write(Fd(file), bytes, length);
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) {
            *error = n < 0 ? (unsigned long)errno : (unsigned long)ENOSPC;
            return false;
        }
        bytes += n;
        length -= size_t(n);
    }
    return true;
}

bool TransferFileFinish(TransferFile* file, const char* finalPath, unsigned long* error) {
    bool ok = true;
    if (fsync(Fd(file)) != 0 && errno != EINVAL && errno != EROFS) {
        *error = (unsigned long)errno;
        ok = false;
    }
    if (close(Fd(file)) != 0 && ok && errno != EINTR) {
        *error = (unsigned long)errno;
        ok = false;
    }
    file->handle = -1;
    if (ok) {
        if (link(file->tempPath, finalPath) != 0) {
            int err = errno;
            // Folders without hard links: a rename, after a look that no
            // file has the name.
            if (err == EPERM || err == EOPNOTSUPP || err == ENOSYS || err == EMLINK || err == EXDEV) {
                struct stat st;
                if (lstat(finalPath, &st) == 0) {
                    err = EEXIST;
                } else if (errno == ENOENT) {
                    if (rename(file->tempPath, finalPath) == 0) {
                        file->tempPath[0] = '\0';
                        return true;
                    }
                    err = errno;
                }
            }
            *error = (unsigned long)err;
            ok = false;
        }
    }
    RemoveTemp(file);
    return ok;
}

void TransferFileDiscard(TransferFile* file) {
    CloseFd(file);
    RemoveTemp(file);
}

bool TransferPathExists(const char* path) {
    struct stat st;
    return lstat(path, &st) == 0 || errno != ENOENT;
}

bool TransferFolderExists(const char* path) {
    struct stat st;
    return stat(path, &st) == 0 && S_ISDIR(st.st_mode);
}

void TransferErrorText(unsigned long error, char* text, size_t size) {
    if (size == 0) return;
    const char* s = strerror(int(error));
    snprintf(text, size, "%s", s != nullptr ? s : "unknown error");
}
