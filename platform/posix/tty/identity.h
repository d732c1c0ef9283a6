// Internal to the tty provider: what a port's name resolves to, and whether,
// after the device was lost, what the name resolves to now may be that same
// device again.
//
// A name is a device node or a chain of symbolic links ending in one. Each
// link is known by its inode and change time (a link is never changed in
// place: re-pointing one makes a new one), the end of the chain by its path,
// its file system and its device number.
//
// The rule after a loss, on what the name resolves to now:
// - a device that is not a pseudo-terminal (a USB adapter back under its
//   udev link, or under its own node) may be the same device: it is opened;
// - a pseudo-terminal slave may be the same device only when the name is a
//   link that was re-made or re-pointed since the device was last opened.
//   Pty numbers are handed out again at once, lowest first: a freed number
//   that comes back under an untouched link, or a pty named directly, is
//   someone else's terminal.
#pragma once

#include <sys/types.h>

#include <climits>

// The longest chain of links followed; a longer one is not resolved.
constexpr int kMaxLinks = 8;

struct TtyIdentity {
    bool valid;                     // the name resolved to an existing node
    int links;                      // links followed to reach it
    ino_t linkIno[kMaxLinks];       // each link's inode
    long long linkCtimeNs[kMaxLinks];  // and its change time
    char target[PATH_MAX];          // the node's path, every link on the way resolved (realpath)
    dev_t fsDev;                    // the node's file system
    ino_t ino;                      // the node's inode
    dev_t rdev;                     // the device it names (0: not a device)
    bool pty;                       // the device is a pseudo-terminal slave
};

// What `path` resolves to now. Only lstat, readlink and stat: nothing is
// opened. Returns id.valid.
bool IdentityOf(const char* path, TtyIdentity& id);

// Whether a character device with this number is a pseudo-terminal slave.
bool IsPtySlaveDevice(dev_t rdev);

// Whether `now` may be the device that was open as `before` (see above).
bool IdentityMayBeSame(const TtyIdentity& before, const TtyIdentity& now);

// Whether two stats name the same device: the same device number, and for a
// pty also the same pty file system (each devpts instance numbers its own).
bool SameDevice(dev_t fsA, dev_t rdevA, dev_t fsB, dev_t rdevB);
