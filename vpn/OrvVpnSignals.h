#pragma once

#include <QObject>

// Carries the VPN library's events from the worker thread to the GUI thread (queued, no arguments).
// The one instance is created before main and lives for the whole run.
class OrvVpnSignals : public QObject
{
    Q_OBJECT
    Q_DISABLE_COPY_MOVE(OrvVpnSignals)

public:
    explicit OrvVpnSignals(QObject *parent = nullptr);

signals:
    void connecting();
    void connected();
    void disconnected();
    void operationNotPermitted();
};

extern OrvVpnSignals *orvVpnSignals;
