#include "serial/HelperPrograms.h"

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <string>

#include <QCoreApplication>
#include <QFile>

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include "core/PrivateFolder.h"

namespace
{
constexpr const char *setupcName = "setupc.exe";
constexpr const char *com2tcpName = "com2tcp";
constexpr const char *com2tcpFolderName = "/lumenbridge-bin";

QString setupcFolderOverride;

QString fail(QString *error, const QString &message)
{
    if (error) {
        *error = message;
    }
    return QString();
}

std::string nativePath(const QString &path)
{
    return QFile::encodeName(path).toStdString();
}

// The folder's path only, in the program's own runtime folder (as root, one of root's per user that the start
// made); whether it may be used is for the caller to check.
QString com2tcpFolderPath()
{
    const QString runtime = qEnvironmentVariable("XDG_RUNTIME_DIR");
    return runtime.startsWith(QLatin1Char('/')) ? runtime + QLatin1String(com2tcpFolderName) : QString();
}

// A program we may run as root: a real file (never a link), ours or root's, that nobody else may write, in a
// folder that passes the private-folder checks all the way up.
QString checkedProgram(const QString &folder, const char *name, QString *error)
{
    const QString refused = QLatin1String(name) + QStringLiteral(" refused: ");
    std::string reason;
    if (folder.isEmpty() || !PrivateFolder::check(nativePath(folder), &reason)) {
        return fail(error, refused + QString::fromStdString(reason));
    }
    const QString path = folder + QLatin1Char('/') + QLatin1String(name);

    struct stat info
    {
    };

    if (lstat(QFile::encodeName(path).constData(), &info) != 0) {
        return fail(error, refused + path + QStringLiteral(": ") + QString::fromLocal8Bit(std::strerror(errno)));
    }
    if (S_ISLNK(info.st_mode)) {
        return fail(error, refused + path + QStringLiteral(" is a symbolic link"));
    }
    if (!S_ISREG(info.st_mode)) {
        return fail(error, refused + path + QStringLiteral(" is not a file"));
    }
    if (info.st_uid != 0 && info.st_uid != geteuid()) {
        return fail(error, refused + path + QStringLiteral(" is owned by another user"));
    }
    if ((info.st_mode & (S_IWGRP | S_IWOTH)) != 0) {
        return fail(error, refused + path + QStringLiteral(" is writable by others"));
    }
    if ((info.st_mode & S_IXUSR) == 0) {
        return fail(error, refused + path + QStringLiteral(" is not executable"));
    }
    return path;
}
} // namespace

QString HelperPrograms::setupcPath(QString *error)
{
    const QString folder =
        setupcFolderOverride.isEmpty() ? QCoreApplication::applicationDirPath() : setupcFolderOverride;
    return checkedProgram(folder, setupcName, error);
}

QStringList HelperPrograms::setupcVariables()
{
    return com2tcpVariables() + QStringList{QStringLiteral("PKEXEC_UID"), QStringLiteral("SUDO_UID")};
}

QStringList HelperPrograms::com2tcpVariables()
{
    return {QStringLiteral("XDG_RUNTIME_DIR"), QStringLiteral("LUMENBRIDGE_SERIAL_DIR")};
}

QString HelperPrograms::com2tcpPath(QString *error)
{
    return checkedProgram(com2tcpFolderPath(), com2tcpName, error);
}

QString HelperPrograms::com2tcpFolder(QString *error)
{
    const QString folder = com2tcpFolderPath();
    std::string reason = "no runtime folder";
    if (folder.isEmpty() || !PrivateFolder::ensure(nativePath(folder), &reason)) {
        return fail(error,
                    QStringLiteral("refusing the program folder ") + folder + QStringLiteral(": ")
                        + QString::fromStdString(reason));
    }
    return folder;
}

bool HelperPrograms::unpack(const QString &source, const QString &destination, QString *error)
{
    QFile in(source);
    if (!in.open(QIODevice::ReadOnly)) {
        fail(error, source + QStringLiteral(": ") + in.errorString());
        return false;
    }
    const QByteArray bytes = in.readAll();

    // A new file of our own beside the destination, then renamed over it in one step.
    QByteArray temporary = QFile::encodeName(destination) + QByteArrayLiteral(".XXXXXX");
    const int fd = mkostemp(temporary.data(), O_CLOEXEC);
    if (fd < 0) {
        fail(error, destination + QStringLiteral(": ") + QString::fromLocal8Bit(std::strerror(errno)));
        return false;
    }
    int failure = 0;
    qint64 written = 0;
    while (failure == 0 && written < bytes.size()) {
        const ssize_t n = write(fd, bytes.constData() + written, static_cast<size_t>(bytes.size() - written));
        if (n > 0) {
            written += n;
        } else if (n == 0 || errno != EINTR) {
            failure = n == 0 ? EIO : errno;
        }
    }
    if (failure == 0 && fchmod(fd, S_IRWXU) != 0) {
        failure = errno;
    }
    if (close(fd) != 0 && failure == 0) {
        failure = errno;
    }
    if (failure == 0 && rename(temporary.constData(), QFile::encodeName(destination).constData()) != 0) {
        failure = errno;
    }
    if (failure != 0) {
        unlink(temporary.constData());
        fail(error, destination + QStringLiteral(": ") + QString::fromLocal8Bit(std::strerror(failure)));
        return false;
    }
    return true;
}

void HelperPrograms::setSetupcFolder(const QString &folder)
{
    setupcFolderOverride = folder;
}
