#include "records/OrvDomain.h"

#include <QJsonArray>
#include <QJsonValue>

#include "records/OrvDevice.h"
#include "records/PortalText.h"

namespace
{
// The portal lists devices of this type, but they are never offered to the user.
constexpr int hiddenDeviceType = 2;
} // namespace

OrvDomain::OrvDomain(QObject *parent)
    : QObject(parent)
{}

OrvDomain::~OrvDomain() = default;

OrvDomain *OrvDomain::fromJson(QJsonObject object)
{
    auto *domain = new OrvDomain();
    domain->id = object.value(QLatin1String("id")).toInt(0);
    domain->name = PortalText::capped(object.value(QLatin1String("name")).toString());
    domain->vpnEnable = object.value(QLatin1String("vpn_enable")).toInt(0) == 1;
    const QJsonArray devices = object.value(QLatin1String("devices")).toArray();
    for (const QJsonValue &value : devices) {
        OrvDevice *device = OrvDevice::fromJson(value.toObject());
        if (device->type == hiddenDeviceType) {
            delete device;
            continue;
        }
        domain->devices.append(device);
    }
    return domain;
}

QJsonObject OrvDomain::toJson() const
{
    QJsonArray deviceArray;
    for (const OrvDevice *device : devices) {
        deviceArray.append(device->toJson());
    }
    QJsonObject object;
    object.insert(QLatin1String("id"), id);
    object.insert(QLatin1String("name"), name);
    object.insert(QLatin1String("vpn_enable"), vpnEnable ? 1 : 0);
    object.insert(QLatin1String("devices"), deviceArray);
    return object;
}

void OrvDomain::updateDevices(QList<OrvDevice *> fresh)
{
    // Devices still listed keep their objects, so pointers held elsewhere (virtual serial ports) stay valid
    // and see the new values.
    for (auto it = devices.begin(); it != devices.end();) {
        OrvDevice *device = *it;
        int match = -1;
        for (int i = 0; i < fresh.size(); ++i) {
            if (fresh.at(i)->id == device->id) {
                match = i;
                break;
            }
        }
        if (match < 0) {
            delete device;
            it = devices.erase(it);
            continue;
        }
        OrvDevice *update = fresh.takeAt(match);
        device->name = update->name;
        device->type = update->type;
        device->domainId = update->domainId;
        device->dataDeliveryEnable = update->dataDeliveryEnable;
        device->remoteAccessEnable = update->remoteAccessEnable;
        device->vpnStatus = update->vpnStatus;
        device->vpnIp = update->vpnIp;
        device->apiKey = update->apiKey;
        delete update;
        ++it;
    }
    devices.append(fresh);
}

void OrvDomain::clearDevices()
{
    for (OrvDevice *device : qAsConst(devices)) {
        delete device;
    }
    devices.clear();
}
