#include "tests/support/SerialTestRig.h"

#include <csignal>

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QProcess>
#include <QRegularExpression>

#include <fcntl.h>
#include <sched.h>
#include <stdlib.h>
#include <sys/mount.h>
#include <sys/stat.h>
#include <unistd.h>

#include "serial/HelperPrograms.h"
#include "tools/setupc/PairRegistry.h"

namespace
{
constexpr const char *folderVariable = "LUMENBRIDGE_SERIAL_DIR";
constexpr const char *runtimeVariable = "XDG_RUNTIME_DIR";
constexpr int toolTimeoutMs = 20000;
constexpr uid_t nobody = 65534;
const QFile::Permissions privateProgram = QFile::ReadOwner | QFile::WriteOwner | QFile::ExeOwner;

void restore(const char *variable, const QByteArray &previous)
{
    if (previous.isNull()) {
        qunsetenv(variable);
    } else {
        qputenv(variable, previous);
    }
}

bool copyProgram(const QString &from, const QString &to)
{
    QFile::remove(to);
    return QFile::copy(from, to) && QFile::setPermissions(to, privateProgram);
}
} // namespace

SerialTestRig::SerialTestRig()
    : m_previousPath(QDir::currentPath())
    , m_previousFolder(qgetenv(folderVariable))
    , m_previousRuntime(qgetenv(runtimeVariable))
{
    if (!m_dir.isValid()) {
        return;
    }
    QDir root(m_dir.path());
    m_valid = root.mkdir(QStringLiteral("work")) && root.mkdir(QStringLiteral("bin"))
              && root.mkdir(QStringLiteral("runtime"))
              && QFile::setPermissions(runtimeFolder(), QFile::ReadOwner | QFile::WriteOwner | QFile::ExeOwner);
    qputenv(folderVariable, QFile::encodeName(deviceFolder()));
    qputenv(runtimeVariable, QFile::encodeName(runtimeFolder()));
    HelperPrograms::setSetupcFolder(m_dir.path() + QStringLiteral("/bin"));
    m_valid = m_valid && QDir::setCurrent(workingPath()) && useRealSetupc();
}

SerialTestRig::~SerialTestRig()
{
    for (int fd : qAsConst(m_fds)) {
        close(fd);
    }
    // No holder may outlive the test.
    removePairs();
    QDir::setCurrent(m_previousPath);
    HelperPrograms::setSetupcFolder(QString());
    restore(folderVariable, m_previousFolder);
    restore(runtimeVariable, m_previousRuntime);
}

QString SerialTestRig::path() const
{
    return m_dir.path();
}

QString SerialTestRig::workingPath() const
{
    return m_dir.path() + QStringLiteral("/work");
}

QString SerialTestRig::deviceFolder() const
{
    return m_dir.path() + QStringLiteral("/dev");
}

QString SerialTestRig::runtimeFolder() const
{
    return m_dir.path() + QStringLiteral("/runtime");
}

SerialTestRig::Run
SerialTestRig::runTool(const QString &program, const QStringList &arguments, const QProcessEnvironment &environment)
{
    QProcess process;
    process.setProcessEnvironment(environment);
    process.start(program, arguments);
    Run run;
    if (!process.waitForFinished(toolTimeoutMs)) {
        process.kill();
        process.waitForFinished();
        return run;
    }
    run.exitCode = process.exitStatus() == QProcess::NormalExit ? process.exitCode() : -1;
    run.output = QString::fromUtf8(process.readAllStandardOutput());
    run.errors = QString::fromUtf8(process.readAllStandardError());
    return run;
}

SerialTestRig::Run SerialTestRig::runSetupc(const QStringList &arguments)
{
    return runTool(QStringLiteral(SETUPC_PATH), arguments);
}

QStringList SerialTestRig::pairLines()
{
    const Run listed = runSetupc({QStringLiteral("list")});
    if (listed.exitCode != 0) {
        return {QStringLiteral("setupc.exe list failed with exit code %1").arg(listed.exitCode)};
    }
    return listed.output.split(QLatin1Char('\n'), Qt::SkipEmptyParts);
}

void SerialTestRig::removePairs()
{
    const QRegularExpression side(QStringLiteral("^CNCA([0-9]+) "));
    for (const QString &line : pairLines()) {
        const QRegularExpressionMatch match = side.match(line);
        if (match.hasMatch()) {
            runSetupc({QStringLiteral("remove"), match.captured(1)});
        }
    }
}

bool SerialTestRig::useFakeSetupc(const QByteArray &script)
{
    removeSetupc();
    QFile file(m_dir.path() + QStringLiteral("/bin/setupc.exe"));
    if (!file.open(QIODevice::WriteOnly) || file.write(script) != script.size()) {
        return false;
    }
    file.close();
    return file.setPermissions(privateProgram);
}

bool SerialTestRig::useRealSetupc()
{
    return copyProgram(QStringLiteral(SETUPC_PATH), m_dir.path() + QStringLiteral("/bin/setupc.exe"));
}

void SerialTestRig::removeSetupc()
{
    QFile::remove(m_dir.path() + QStringLiteral("/bin/setupc.exe"));
}

bool SerialTestRig::placeCom2tcp()
{
    QString error;
    const QString folder = HelperPrograms::com2tcpFolder(&error);
    return !folder.isEmpty() && copyProgram(QStringLiteral(COM2TCP_PATH), folder + QStringLiteral("/com2tcp"));
}

bool SerialTestRig::buildScene(const QString &root, const QStringList &steps)
{
    for (const QString &step : steps) {
        const QStringList words = step.split(QLatin1Char(' '));
        const QByteArray path = QFile::encodeName(root + QLatin1Char('/') + words.value(1));
        const QString kind = words.value(0);
        bool ok = false;
        if (kind == QLatin1String("d")) {
            ok = mkdir(path.constData(), 0700) == 0 && chmod(path.constData(), words.value(2).toUInt(nullptr, 8)) == 0;
        } else if (kind == QLatin1String("l")) {
            const QString target = words.value(2);
            const QByteArray resolved = QFile::encodeName(target.startsWith(QLatin1Char('/')) ? root + target : target);
            ok = symlink(resolved.constData(), path.constData()) == 0;
        } else if (kind == QLatin1String("o")) {
            ok = lchown(path.constData(), nobody, nobody) == 0;
        } else if (kind == QLatin1String("f")) {
            QFile file(QFile::decodeName(path));
            ok = file.open(QIODevice::WriteOnly);
        }
        if (!ok) {
            qWarning("scene step failed: %s", qPrintable(step));
            return false;
        }
    }
    return true;
}

bool SerialTestRig::usePrivateRun()
{
    return unshare(CLONE_NEWNS) == 0 && mount(nullptr, "/", nullptr, MS_REC | MS_PRIVATE, nullptr) == 0
           && mount("tmpfs", "/run", "tmpfs", MS_NOSUID | MS_NODEV, "mode=0755") == 0
           && mount("devpts", "/dev/pts", "devpts", MS_NOSUID | MS_NOEXEC, "newinstance,ptmxmode=0666,mode=0620") == 0
           && mount("/dev/pts/ptmx", "/dev/ptmx", nullptr, MS_BIND, nullptr) == 0;
}

bool SerialTestRig::killHolderOf(const QString &name) const
{
    for (const serialtools::Pair &pair : serialtools::readPairs(QFile::encodeName(deviceFolder()).toStdString())) {
        if (name == QString::fromStdString(pair.nameA) || name == QString::fromStdString(pair.nameB)) {
            return ::kill(pair.holder, SIGKILL) == 0;
        }
    }
    return false;
}

int SerialTestRig::takeTerminalNumber(const QString &name)
{
    const QByteArray target = QFile::encodeName(QFileInfo(deviceFolder() + QLatin1Char('/') + name).symLinkTarget());
    if (target.isEmpty() || QFileInfo::exists(QFile::decodeName(target))) {
        return -1;
    }
    // The kernel gives out the lowest free number: the ones below it are kept taken until the rig's end.
    for (int tries = 0; tries < 64; ++tries) {
        const int master = posix_openpt(O_RDWR | O_NOCTTY | O_CLOEXEC);
        if (master < 0) {
            return -1;
        }
        m_fds.append(master);
        const char *path = ptsname(master);
        if (path && target == path) {
            return grantpt(master) == 0 && unlockpt(master) == 0 && chown(path, nobody, nobody) == 0
                           && chmod(path, 0620) == 0
                       ? master
                       : -1;
        }
    }
    return -1;
}

QStringList SerialTestRig::entries(const QString &folder)
{
    return QDir(folder).entryList(QDir::AllEntries | QDir::NoDotAndDotDot | QDir::Hidden | QDir::System, QDir::Name);
}

int SerialTestRig::openSide(const QString &name)
{
    const QByteArray path = (deviceFolder() + QLatin1Char('/') + name).toLocal8Bit();
    const int fd = open(path.constData(), O_RDWR | O_NOCTTY | O_NONBLOCK);
    if (fd >= 0) {
        m_fds.append(fd);
    }
    return fd;
}

void SerialTestRig::closeSide(int fd)
{
    if (m_fds.removeOne(fd)) {
        close(fd);
    }
}

QByteArray SerialTestRig::readAvailable(int fd)
{
    QByteArray data;
    char chunk[256];
    ssize_t n;
    while ((n = read(fd, chunk, sizeof chunk)) > 0) {
        data.append(chunk, int(n));
    }
    return data;
}

bool SerialTestRig::writeAll(int fd, const QByteArray &data)
{
    return write(fd, data.constData(), size_t(data.size())) == ssize_t(data.size());
}
