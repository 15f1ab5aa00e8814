#include "tests/support/StoredSettings.h"

#include <QDataStream>
#include <QFile>
#include <QJsonObject>

#include "core/BlowfishCipher.h"
#include "core/OrvSettings.h"
#include "core/OrvSettingsFormat.h"
#include "records/OrvDomain.h"
#include "serial/VirtualSerialPort.h"

namespace
{
void deleteDomains(const QList<OrvDomain *> &domains)
{
    for (OrvDomain *domain : domains) {
        domain->clearDevices();
        delete domain;
    }
}
} // namespace

void StoredSettings::setValue(const QString &key, const QVariant &value)
{
    QSettings::setDefaultFormat(orvSettingsFormat);
    OrvSettings settings;
    settings.setValue(key, value);
}

QVariant StoredSettings::value(const QString &key, const QVariant &defaultValue)
{
    QSettings::setDefaultFormat(orvSettingsFormat);
    OrvSettings settings;
    return settings.value(key, defaultValue);
}

bool StoredSettings::contains(const QString &key)
{
    QSettings::setDefaultFormat(orvSettingsFormat);
    OrvSettings settings;
    return settings.contains(key);
}

void StoredSettings::setToursSeen(int first, int last)
{
    for (int tour = first; tour <= last; ++tour) {
        setValue(QStringLiteral("orv/tour%1").arg(tour), false);
    }
}

void StoredSettings::setDomains(const QJsonArray &domains)
{
    QList<OrvDomain *> records;
    for (const QJsonValue &domain : domains) {
        records.append(OrvDomain::fromJson(domain.toObject()));
    }
    {
        QSettings::setDefaultFormat(orvSettingsFormat);
        OrvSettings settings;
        settings.setDomains(records);
    }
    deleteDomains(records);
}

QJsonArray StoredSettings::domains()
{
    QSettings::setDefaultFormat(orvSettingsFormat);
    OrvSettings settings;
    const QList<OrvDomain *> records = settings.getDomains();
    QJsonArray result;
    for (const OrvDomain *domain : records) {
        result.append(domain->toJson());
    }
    deleteDomains(records);
    return result;
}

void StoredSettings::setSerialPorts(const QList<VirtualSerialPort *> &ports)
{
    QSettings::setDefaultFormat(orvSettingsFormat);
    OrvSettings settings;
    settings.setVirtualSerialPorts(ports);
}

QStringList StoredSettings::serialPortNames()
{
    QSettings::setDefaultFormat(orvSettingsFormat);
    OrvSettings settings;
    const QList<VirtualSerialPort *> ports = settings.getVirtualSerialPorts();
    QStringList names;
    for (const VirtualSerialPort *port : ports) {
        names.append(port->serialName);
    }
    qDeleteAll(ports);
    return names;
}

QByteArray StoredSettings::clearText(const QString &filePath)
{
    QFile file(filePath);
    if (!file.open(QIODevice::ReadOnly)) {
        return QByteArray();
    }
    QDataStream stream(&file);
    QByteArray cipherText;
    stream >> cipherText;
    BlowfishCipher cipher{QByteArray(orvSettingsKey)};
    return cipher.decrypted(cipherText);
}
