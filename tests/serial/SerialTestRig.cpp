#include "tests/serial/SerialTestRig.h"

#include <QDir>
#include <QFile>
#include <QProcess>
#include <QRegularExpression>

#include <fcntl.h>
#include <unistd.h>

namespace
{
constexpr const char *folderVariable = "LUMENBRIDGE_SERIAL_DIR";
constexpr int toolTimeoutMs = 20000;
} // namespace

SerialTestRig::SerialTestRig()
    : m_previousPath(QDir::currentPath())
    , m_previousFolder(qgetenv(folderVariable))
{
    if (!m_dir.isValid()) {
        return;
    }
    qputenv(folderVariable, deviceFolder().toLocal8Bit());
    m_valid = QDir::setCurrent(m_dir.path()) && useRealSetupc();
}

SerialTestRig::~SerialTestRig()
{
    for (int fd : qAsConst(m_fds)) {
        close(fd);
    }
    // No holder may outlive the test.
    const QRegularExpression side(QStringLiteral("^CNCA([0-9]+) "));
    for (const QString &line : pairLines()) {
        const QRegularExpressionMatch match = side.match(line);
        if (match.hasMatch()) {
            runSetupc({QStringLiteral("remove"), match.captured(1)});
        }
    }
    QDir::setCurrent(m_previousPath);
    if (m_previousFolder.isNull()) {
        qunsetenv(folderVariable);
    } else {
        qputenv(folderVariable, m_previousFolder);
    }
}

QString SerialTestRig::workingPath() const
{
    return m_dir.path();
}

QString SerialTestRig::deviceFolder() const
{
    return m_dir.path() + QStringLiteral("/dev");
}

SerialTestRig::Run SerialTestRig::runSetupc(const QStringList &arguments) const
{
    QProcess process;
    process.start(QStringLiteral(SETUPC_PATH), arguments);
    Run run;
    if (!process.waitForFinished(toolTimeoutMs)) {
        process.kill();
        process.waitForFinished();
        return run;
    }
    run.exitCode = process.exitStatus() == QProcess::NormalExit ? process.exitCode() : -1;
    run.output = QString::fromUtf8(process.readAllStandardOutput());
    return run;
}

QStringList SerialTestRig::pairLines() const
{
    return runSetupc({QStringLiteral("list")}).output.split(QLatin1Char('\n'), Qt::SkipEmptyParts);
}

bool SerialTestRig::useFakeSetupc(const QByteArray &script)
{
    removeSetupc();
    QFile file(m_dir.path() + QStringLiteral("/setupc.exe"));
    if (!file.open(QIODevice::WriteOnly) || file.write(script) != script.size()) {
        return false;
    }
    file.close();
    return file.setPermissions(QFile::ReadOwner | QFile::WriteOwner | QFile::ExeOwner);
}

bool SerialTestRig::useRealSetupc()
{
    removeSetupc();
    return QFile::link(QStringLiteral(SETUPC_PATH), m_dir.path() + QStringLiteral("/setupc.exe"));
}

void SerialTestRig::removeSetupc()
{
    QFile::remove(m_dir.path() + QStringLiteral("/setupc.exe"));
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
