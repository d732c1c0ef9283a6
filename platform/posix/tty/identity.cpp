// What a port's name resolves to, and the rule deciding whether a lost device
// may be back under it (see tty/identity.h).
#include "identity.h"

#include <sys/stat.h>
#include <sys/sysmacros.h>
#include <unistd.h>

#include <cstdlib>
#include <cstring>

namespace {

// Major numbers of the Unix 98 pty slaves (/dev/pts/N).
constexpr unsigned kPtySlaveMajorFirst = 136;
constexpr unsigned kPtySlaveMajorLast = 143;

long long CtimeNs(const struct stat& st) { return (long long)st.st_ctim.tv_sec * 1000000000LL + st.st_ctim.tv_nsec; }

// `target` read from the link at `link`, made relative to the link's folder
// when it is relative. False when it does not fit.
bool Follow(const char* link, const char* target, char* out, size_t size) {
    const char* slash = std::strrchr(link, '/');
    size_t dir = (target[0] == '/' || slash == nullptr) ? 0 : size_t(slash - link) + 1;
    size_t length = std::strlen(target);
    if (dir + length + 1 > size) return false;
    std::memmove(out + dir, target, length + 1);  // out may be link itself
    if (dir > 0 && out != link) std::memcpy(out, link, dir);
    return true;
}

}  // namespace

bool IsPtySlaveDevice(dev_t rdev) {
    unsigned m = major(rdev);
    return m >= kPtySlaveMajorFirst && m <= kPtySlaveMajorLast;
}

bool SameDevice(dev_t fsA, dev_t rdevA, dev_t fsB, dev_t rdevB) {
    if (rdevA != rdevB) return false;
    return !IsPtySlaveDevice(rdevA) || fsA == fsB;
}

bool IdentityOf(const char* path, TtyIdentity& id) {
    std::memset(&id, 0, sizeof id);
    if (std::strlen(path) >= sizeof id.target) return false;
    std::strcpy(id.target, path);
    struct stat st;
    for (;;) {
        if (lstat(id.target, &st) != 0) return false;
        if (!S_ISLNK(st.st_mode)) break;
        if (id.links == kMaxLinks) return false;
        id.linkIno[id.links] = st.st_ino;
        id.linkCtimeNs[id.links] = CtimeNs(st);
        ++id.links;
        char next[PATH_MAX];
        ssize_t n = readlink(id.target, next, sizeof next - 1);
        if (n <= 0) return false;
        next[n] = '\0';
        if (!Follow(id.target, next, id.target, sizeof id.target)) return false;
    }
    // The node's own path, as other programs name the device: no "..", no
    // link left in the folders on the way (udev's by-id links are relative).
    char real[PATH_MAX];
    if (realpath(id.target, real) != nullptr) std::strcpy(id.target, real);
    id.fsDev = st.st_dev;
    id.ino = st.st_ino;
    id.rdev = S_ISCHR(st.st_mode) ? st.st_rdev : 0;
    id.pty = id.rdev != 0 && IsPtySlaveDevice(id.rdev);
    id.valid = true;
    return true;
}

bool IdentityMayBeSame(const TtyIdentity& before, const TtyIdentity& now) {
    if (!now.valid || now.rdev == 0) return false;
    if (!now.pty) return true;
    if (now.links == 0) return false;  // a pty named directly
    if (!before.valid || now.links != before.links) return true;
    for (int i = 0; i < now.links; ++i) {
        if (now.linkIno[i] != before.linkIno[i] || now.linkCtimeNs[i] != before.linkCtimeNs[i]) return true;
    }
    return std::strcmp(now.target, before.target) != 0;
}
