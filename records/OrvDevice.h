#pragma once

#include <QJsonObject>
#include <QObject>
#include <QString>

// One device of a domain as the portal lists it. Lives on the GUI thread; the domain whose list holds it
// owns it.
class OrvDevice : public QObject
{
    Q_OBJECT
    Q_DISABLE_COPY_MOVE(OrvDevice)

public:
    explicit OrvDevice(QObject *parent = nullptr);
    ~OrvDevice() override;

    static OrvDevice *fromJson(QJsonObject object);
    QJsonObject toJson() const;

    int id = -1;
    QString name = QLatin1String("");
    int type = 6;
    int domainId = -1;
    bool dataDeliveryEnable = false;
    bool remoteAccessEnable = false;
    // 1 means online; anything else offline.
    int vpnStatus = 0;
    QString vpnIp = QLatin1String("");
    QString apiKey = QLatin1String("");
};
