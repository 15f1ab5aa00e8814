#include "tests/support/HostileFolder.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>

#include <sys/stat.h>
#include <unistd.h>

namespace
{
constexpr uid_t nobodyUid = 65534;

bool makeFolder(const QString &path, mode_t mode, uid_t owner)
{
    const QByteArray native = QFile::encodeName(path);
    return QDir().mkpath(path) && chmod(native.constData(), mode) == 0
           && chown(native.constData(), owner, owner == 0 ? 0 : owner) == 0;
}
} // namespace

HostileFolder::Planted HostileFolder::plant(Kind kind, const QString &base, const QString &relative)
{
    const QString folder = base + QLatin1Char('/') + relative;
    const QString parent = QFileInfo(folder).absolutePath();
    switch (kind) {
    case Link: {
        // The link's target is a folder of root's own, as an attacker would aim at.
        const QString target = QFileInfo(base).absolutePath() + QStringLiteral("/link-target");
        if (!QDir().mkpath(parent) || !makeFolder(target, 0755, 0)
            || symlink(QFile::encodeName(target).constData(), QFile::encodeName(folder).constData()) != 0) {
            return {};
        }
        return {base, target};
    }
    case ForeignOwned:
        return makeFolder(folder, 0700, foreignUid()) ? Planted{base, folder} : Planted{};
    case WritableByAll:
        return makeFolder(folder, 0777, 0) ? Planted{base, folder} : Planted{};
    case InForeignBase: {
        // Everything below the other user's folder is root's and private, but the user can swap it at will.
        const QString foreignBase = QFileInfo(base).absolutePath() + QStringLiteral("/foreign-home");
        const QString reached = foreignBase + QLatin1Char('/') + relative;
        if (!makeFolder(reached, 0700, 0) || !makeFolder(foreignBase, 0755, foreignUid())) {
            return {};
        }
        return {foreignBase, reached};
    }
    }
    return {};
}

uid_t HostileFolder::foreignUid()
{
    return nobodyUid;
}

int HostileFolder::modeOf(const QString &path)
{
    struct stat info = {};
    if (lstat(QFile::encodeName(path).constData(), &info) != 0) {
        return -1;
    }
    return int(info.st_mode & 07777);
}
