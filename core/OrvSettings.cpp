#include "core/OrvSettings.h"

#include <string>

#include <QCoreApplication>
#include <QFile>
#include <QJsonArray>
#include <QJsonObject>
#include <QJsonValue>
#include <QStandardPaths>
#include <QVector>

#include "core/Log.h"
#include "core/OrvSettingsFormat.h"
#include "core/PrivateFolder.h"
#include "records/OrvDevice.h"
#include "records/OrvDomain.h"
#include "serial/VirtualSerialPort.h"

namespace
{
const QString domainsKey = QStringLiteral("domains");
const QString lastDomainIdOpenedKey = QStringLiteral("last_domain_id_opened");
const QString virtualSerialPortsKey = QStringLiteral("virtual_serial_ports");

// A path no file can ever be made at (/dev/null is no folder): a store on it reads nothing and writes nothing.
const QString noStoreFilePath = QStringLiteral("/dev/null/settings.orv");

// The default constructor's names, on the encrypted format whatever the process-wide default is: the file holds
// the login password, so no settings object may ever fall back to a plain-text store.
QString organization()
{
    const QString name = QCoreApplication::organizationName();
    return name.isEmpty() ? QCoreApplication::organizationDomain() : name;
}

// The file QSettings would pick for the organisation and application, in the XDG configuration folder, but only
// once its folder has been checked (and made, 0700) without following a link and found to be ours alone. A folder
// that another user could change is refused: the run goes on without stored settings, and the log says why (once
// for each folder).
QString settingsFilePath()
{
    const QString folder =
        QStandardPaths::writableLocation(QStandardPaths::GenericConfigLocation) + QLatin1Char('/') + organization();
    std::string reason;
    if (PrivateFolder::ensure(QFile::encodeName(folder).toStdString(), &reason)) {
        return folder + QLatin1Char('/') + QCoreApplication::applicationName() + QStringLiteral(".orv");
    }
    static QString lastRefused;
    if (folder != lastRefused) {
        lastRefused = folder;
        writeLog(2,
                 "OrvSettings::OrvSettings",
                 QStringLiteral("Settings folder refused, settings are not stored in this run: ")
                     + QFile::decodeName(reason.c_str()));
    }
    return noStoreFilePath;
}

// QJsonArray::toVariantList of Qt 5.15 turns whole numbers into qlonglong; the file holds every JSON number as a
// double, so the records are converted here to keep its bytes as they always were.
QVariant toStoredVariant(const QJsonValue &value)
{
    switch (value.type()) {
    case QJsonValue::Object: {
        QVariantMap map;
        const QJsonObject object = value.toObject();
        for (auto it = object.constBegin(); it != object.constEnd(); ++it) {
            map.insert(it.key(), toStoredVariant(it.value()));
        }
        return map;
    }
    case QJsonValue::Array: {
        QVariantList list;
        const QJsonArray array = value.toArray();
        for (const QJsonValue &element : array) {
            list.append(toStoredVariant(element));
        }
        return list;
    }
    case QJsonValue::Double:
        return value.toDouble();
    case QJsonValue::String:
        return value.toString();
    case QJsonValue::Bool:
        return value.toBool();
    case QJsonValue::Null:
    case QJsonValue::Undefined:
        break;
    }
    return QVariant();
}

// The stored form of the domain records, as toStoredVariant(domain->toJson()) gives it, built without the JSON
// step: the whole list is stored after every reload, and equal keys share one string.
QString storedText(const QString &text)
{
    // The JSON step turns a null text into an empty one.
    return text.isNull() ? QString(QLatin1String("")) : text;
}

QVariant storedDevice(const OrvDevice &device)
{
    static const QString apiKey = QStringLiteral("api_key");
    static const QString dataDeliveryEnable = QStringLiteral("data_delivery_enable");
    static const QString domainId = QStringLiteral("domain_id");
    static const QString id = QStringLiteral("id");
    static const QString name = QStringLiteral("name");
    static const QString remoteAccessEnable = QStringLiteral("remote_access_enable");
    static const QString type = QStringLiteral("type");
    static const QString vpnIp = QStringLiteral("vpn_ip");
    static const QString vpnStatus = QStringLiteral("vpn_status");
    // In key order, each inserted at the end.
    QVariantMap map;
    map.insert(map.cend(), apiKey, storedText(device.apiKey));
    map.insert(map.cend(), dataDeliveryEnable, device.dataDeliveryEnable ? 1.0 : 0.0);
    map.insert(map.cend(), domainId, double(device.domainId));
    map.insert(map.cend(), id, double(device.id));
    map.insert(map.cend(), name, storedText(device.name));
    map.insert(map.cend(), remoteAccessEnable, device.remoteAccessEnable ? 1.0 : 0.0);
    map.insert(map.cend(), type, double(device.type));
    map.insert(map.cend(), vpnIp, storedText(device.vpnIp));
    map.insert(map.cend(), vpnStatus, double(device.vpnStatus));
    return map;
}

QVariant storedDomain(const OrvDomain &domain)
{
    static const QString devices = QStringLiteral("devices");
    static const QString id = QStringLiteral("id");
    static const QString name = QStringLiteral("name");
    static const QString vpnEnable = QStringLiteral("vpn_enable");
    QVariantList deviceList;
    deviceList.reserve(domain.devices.size());
    for (const OrvDevice *device : domain.devices) {
        deviceList.append(storedDevice(*device));
    }
    QVariantMap map;
    map.insert(map.cend(), devices, deviceList);
    map.insert(map.cend(), id, double(domain.id));
    map.insert(map.cend(), name, storedText(domain.name));
    map.insert(map.cend(), vpnEnable, domain.vpnEnable ? 1.0 : 0.0);
    return map;
}

QJsonArray storedArray(QSettings &settings, const QString &key)
{
    return QJsonArray::fromVariantList(settings.value(key, QVariantList()).toList());
}
} // namespace

OrvSettings::OrvSettings(QObject *parent)
    : QSettings(settingsFilePath(), orvSettingsFormat, parent)
{
    QSettings::setDefaultFormat(orvSettingsFormat);
}

OrvSettings::~OrvSettings() = default;

QList<OrvDomain *> OrvSettings::getDomains()
{
    QList<OrvDomain *> domains;
    const QJsonArray array = storedArray(*this, domainsKey);
    for (const QJsonValue &value : array) {
        domains.append(OrvDomain::fromJson(value.toObject()));
    }
    return domains;
}

void OrvSettings::setDomains(QList<OrvDomain *> domains)
{
    // Built on the caller's thread: the stored form is many small blocks that the settings cache keeps, and blocks
    // made on helper threads would spread it over their heaps, which keep their pages when the next store frees it.
    QVariantList list;
    list.reserve(domains.size());
    for (const OrvDomain *domain : qAsConst(domains)) {
        list.append(storedDomain(*domain));
    }
    setValue(domainsKey, list);
}

void OrvSettings::clearDomains()
{
    setValue(domainsKey, QVariantList());
}

int OrvSettings::getLastDomainIdOpened()
{
    return value(lastDomainIdOpenedKey, -1).toInt();
}

void OrvSettings::setLastDomainIdOpened(int id)
{
    setValue(lastDomainIdOpenedKey, id);
}

void OrvSettings::clearLastDomainIdOpened()
{
    setValue(lastDomainIdOpenedKey, -1);
}

QList<VirtualSerialPort *> OrvSettings::getVirtualSerialPorts()
{
    QList<VirtualSerialPort *> ports;
    const QJsonArray array = storedArray(*this, virtualSerialPortsKey);
    for (const QJsonValue &value : array) {
        ports.append(VirtualSerialPort::fromJson(value.toObject()));
    }
    return ports;
}

void OrvSettings::setVirtualSerialPorts(QList<VirtualSerialPort *> ports)
{
    QJsonArray array;
    for (const VirtualSerialPort *port : qAsConst(ports)) {
        array.append(port->toJson());
    }
    setValue(virtualSerialPortsKey, toStoredVariant(array));
}

void OrvSettings::clearVirtualSerialPorts()
{
    setValue(virtualSerialPortsKey, QVariantList());
}
