#pragma once

#include <QString>

#include <sys/types.h>

// Plants, as another local user would, the folder a root process is about to use: a link in its place, a folder of
// another user, a folder open to everyone, or the right folder below a home folder another user owns.
// Plain functions for the test's thread; everything goes inside a test's own temporary folder.
class HostileFolder
{
public:
    enum Kind
    {
        Link,
        ForeignOwned,
        WritableByAll,
        InForeignBase
    };

    struct Planted
    {
        // The XDG base folder to use (a new one for InForeignBase, else the one given).
        QString base;
        // The real folder the program would reach through the path: where nothing may be read or written.
        QString reached;
    };

    // base + "/" + relative is the folder the program computes; it must not exist yet. Empty fields on failure.
    static Planted plant(Kind kind, const QString &base, const QString &relative);
    // The other user: nobody.
    static uid_t foreignUid();
    // The permission bits of a path, not following a link; -1 when it is missing.
    static int modeOf(const QString &path);
};
