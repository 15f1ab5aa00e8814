#pragma once

#include <QObject>
#include <QString>

// Asks a device, over the tunnel, for the TCP port of its remote-access service; the device's own certificate is
// accepted whatever it is. GUI thread; stateless; owned by the virtual serial port that made it.
class ApiDevice : public QObject
{
    Q_OBJECT
    Q_DISABLE_COPY_MOVE(ApiDevice)

public:
    explicit ApiDevice(QObject *parent = nullptr);

signals:
    void onGetRemoteAccessSuccess(int status, QString data);
    void onGetRemoteAccessError(int status, QString data);

public slots:
    void getRemoteAccess(QString ip, QString api_key, int src_type);

private slots:
    void getRemoteAccessSuccess(int status, QString data);
    void getRemoteAccessError(int status, QString data);
};
