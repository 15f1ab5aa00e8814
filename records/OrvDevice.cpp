#include "records/OrvDevice.h"

#include <QJsonValue>

#include "records/PortalText.h"

OrvDevice::OrvDevice(QObject *parent)
    : QObject(parent)
{}

OrvDevice::~OrvDevice() = default;

OrvDevice *OrvDevice::fromJson(QJsonObject object)
{
    auto *device = new OrvDevice();
    // Every field is overwritten: a missing key gives 0 or an empty text, not the constructor's value.
    device->id = object.value(QLatin1String("id")).toInt(0);
    device->type = object.value(QLatin1String("type")).toInt(0);
    device->domainId = object.value(QLatin1String("domain_id")).toInt(0);
    device->vpnStatus = object.value(QLatin1String("vpn_status")).toInt(0);
    device->name = PortalText::capped(object.value(QLatin1String("name")).toString());
    device->vpnIp = PortalText::capped(object.value(QLatin1String("vpn_ip")).toString());
    device->apiKey = PortalText::capped(object.value(QLatin1String("api_key")).toString());
    device->dataDeliveryEnable = object.value(QLatin1String("data_delivery_enable")).toInt(0) == 1;
    device->remoteAccessEnable = object.value(QLatin1String("remote_access_enable")).toInt(0) == 1;
    return device;
}

QJsonObject OrvDevice::toJson() const
{
    QJsonObject object;
    object.insert(QLatin1String("id"), id);
    object.insert(QLatin1String("name"), name);
    object.insert(QLatin1String("type"), type);
    object.insert(QLatin1String("domain_id"), domainId);
    object.insert(QLatin1String("data_delivery_enable"), dataDeliveryEnable ? 1 : 0);
    object.insert(QLatin1String("remote_access_enable"), remoteAccessEnable ? 1 : 0);
    object.insert(QLatin1String("vpn_status"), vpnStatus);
    object.insert(QLatin1String("vpn_ip"), vpnIp);
    object.insert(QLatin1String("api_key"), apiKey);
    return object;
}
