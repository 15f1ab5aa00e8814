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
} // namespace

TestEnvironment::TestEnvironment()
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
    QCoreApplication::setApplicationVersion(QStringLiteral("1.0.0"));
}
