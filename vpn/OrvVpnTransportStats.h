#pragma once

#include <QObject>

// One snapshot of the tunnel's traffic counters; made on request, deleted by whoever asked for it.
class OrvVpnTransportStats : public QObject
{
    Q_OBJECT
    Q_DISABLE_COPY_MOVE(OrvVpnTransportStats)

public:
    explicit OrvVpnTransportStats(QObject *parent = nullptr);

    qint64 bytesIn = 0;
    qint64 bytesOut = 0;
    qint64 packetsIn = 0;
    qint64 packetsOut = 0;
    qint32 lastPacketReceived = 0; // 1/1024 s since the last packet came in; -1 when undefined
};
