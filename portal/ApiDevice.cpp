#include "portal/ApiDevice.h"

#include <QDebug>

#include "core/SecretMask.h"
#include "portal/HttpRequest.h"

ApiDevice::ApiDevice(QObject *parent)
    : QObject(parent)
{}

void ApiDevice::getRemoteAccess(QString ip, QString api_key, int src_type)
{
    auto *request = new HttpRequest;
    connect(request, SIGNAL(success(int, QString)), this, SLOT(getRemoteAccessSuccess(int, QString)));
    connect(request, SIGNAL(error(int, QString)), this, SLOT(getRemoteAccessError(int, QString)));
    // Devices serve self-signed certificates.
    request->ignoreSslErrors = true;
    request->get(QStringLiteral("https://") + ip + QStringLiteral("/api/v1/") + QStringLiteral("remote/access/")
                 + QString::number(src_type) + QStringLiteral("?api_key=") + api_key);
}

void ApiDevice::getRemoteAccessSuccess(int status, QString data)
{
    qDebug() << SecretMask::inText(data);
    emit onGetRemoteAccessSuccess(status, data);
}

void ApiDevice::getRemoteAccessError(int status, QString data)
{
    emit onGetRemoteAccessError(status, data);
}
