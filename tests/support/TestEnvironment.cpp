#include "tests/support/TestEnvironment.h"

#include <QCoreApplication>
#include <QDir>
#include <QFile>
#include <QSettings>
#include <QStandardPaths>

namespace
{
const char *const variables[] = {"XDG_CONFIG_HOME", "XDG_DATA_HOME", "XDG_CACHE_HOME", "XDG_RUNTIME_DIR"};
const char *const folders[] = {"config", "data", "cache", "runtime"};

// One folder per test process, made before main(). Every environment lives inside it, because the web engine
// keeps writing into the first environment's data folder until it shuts down with the application object. It
// also gives a process started without a runtime folder one of its own before the application object asks
// for it (Qt would make runtime-<user> in the temporary folder and leave it there). It goes after main().
class ProcessFolder
{
    Q_DISABLE_COPY_MOVE(ProcessFolder)

public:
    ProcessFolder()
        : m_dir(QDir::tempPath() + QStringLiteral("/lumenbridge-test-XXXXXX"))
    {
        if (!m_dir.isValid() || !qEnvironmentVariableIsEmpty("XDG_RUNTIME_DIR")) {
            return;
        }
        const QString runtime = m_dir.path() + QStringLiteral("/runtime");
        if (QDir().mkdir(runtime)
            && QFile::setPermissions(runtime, QFile::ReadOwner | QFile::WriteOwner | QFile::ExeOwner)) {
            qputenv("XDG_RUNTIME_DIR", QFile::encodeName(runtime));
        }
    }

    ~ProcessFolder() = default;

    QString environmentTemplate() const
    {
        const QString folder = m_dir.isValid() ? m_dir.path() : QDir::tempPath();
        return folder + QStringLiteral("/environment-XXXXXX");
    }

private:
    QTemporaryDir m_dir;
};

const ProcessFolder processFolder;
} // namespace

TestEnvironment::TestEnvironment()
    : m_dir(processFolder.environmentTemplate())
{
    setProgramIdentity();
    for (int i = 0; i < 4; ++i) {
        const QString folder = m_dir.path() + QLatin1Char('/') + QLatin1String(folders[i]);
        QDir().mkpath(folder);
        QFile::setPermissions(folder, QFile::ReadOwner | QFile::WriteOwner | QFile::ExeOwner);
        qputenv(variables[i], QFile::encodeName(folder));
    }
    qputenv("HOME", QFile::encodeName(m_dir.path()));
    // QSettings reads the XDG folders only once per process: tell it directly. Registered formats fall back
    // to the INI format's folders.
    QSettings::setPath(QSettings::IniFormat, QSettings::UserScope, m_dir.path() + QStringLiteral("/config"));
    QSettings::setPath(QSettings::IniFormat, QSettings::SystemScope, m_dir.path() + QStringLiteral("/system"));
}

TestEnvironment::~TestEnvironment() = default;

QString TestEnvironment::path() const
{
    return m_dir.path();
}

QString TestEnvironment::settingsFilePath() const
{
    return m_dir.path() + QStringLiteral("/config/Orvane/Lumenbridge.orv");
}

QString TestEnvironment::appDataPath() const
{
    return QStandardPaths::writableLocation(QStandardPaths::AppDataLocation);
}

void setProgramIdentity()
{
    QCoreApplication::setOrganizationName(QStringLiteral("Orvane"));
    QCoreApplication::setOrganizationDomain(QStringLiteral("orvane.example"));
    QCoreApplication::setApplicationName(QStringLiteral("Lumenbridge"));
    QCoreApplication::setApplicationVersion(QStringLiteral(LUMENBRIDGE_VERSION));
}
