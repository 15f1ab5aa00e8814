#pragma once

#include <QJsonObject>
#include <QList>
#include <QObject>
#include <QString>

class OrvDevice;

// One remote network of the user on the portal, with its devices. Lives on the GUI thread; the controller
// owns it. It owns its devices but its destructor frees none of them: release them first with clearDevices()
// or hand them over with updateDevices().
class OrvDomain : public QObject
{
    Q_OBJECT
    Q_DISABLE_COPY_MOVE(OrvDomain)

public:
    explicit OrvDomain(QObject *parent = nullptr);
    ~OrvDomain() override;

    static OrvDomain *fromJson(QJsonObject object);
    QJsonObject toJson() const;
    void updateDevices(QList<OrvDevice *> fresh);
    void clearDevices();

    int id = -1;
    QString name = QLatin1String("");
    bool vpnEnable = false;
    QList<OrvDevice *> devices;
};
