#include "vpn/OrvVpnThread.h"

#include <exception>

#include "core/Log.h"
#include "vpn/OrvVpnTransportStats.h"

namespace
{
// GUI thread only, like every start and deletion of a worker.
OrvVpnThread *runningWorker = nullptr;
bool ending = false;
} // namespace

OrvVpnThread::OrvVpnThread()
    : QThread(nullptr)
{}

OrvVpnThread::~OrvVpnThread()
{
    if (runningWorker == this) {
        runningWorker = nullptr;
    }
}

bool OrvVpnThread::startTunnel()
{
    if (ending || (runningWorker != nullptr && runningWorker != this)) {
        return false;
    }
    runningWorker = this;
    start(QThread::InheritPriority);
    return true;
}

OrvVpnThread *OrvVpnThread::running()
{
    return runningWorker;
}

bool OrvVpnThread::finishAll(int timeoutMs)
{
    ending = true;
    if (runningWorker == nullptr) {
        return true;
    }
    runningWorker->stop();
    return runningWorker->wait(static_cast<unsigned long>(timeoutMs));
}

void OrvVpnThread::run()
{
    writeLog(4, "orv_vpn", "OrvVpnThread::run", QStringLiteral("Connecting..."));
    try {
        const lumen::engine::Status status = client.connect();
        if (status.error) {
            writeLog(2, "orv_vpn", "OrvVpnThread::run", QStringLiteral("Connect error"));
            if (!status.status.empty()) {
                writeLog(2,
                         "orv_vpn",
                         "OrvVpnThread::run",
                         QStringLiteral("Error status: ") + QString::fromStdString(status.status));
            }
            writeLog(2,
                     "orv_vpn",
                     "OrvVpnThread::run",
                     QStringLiteral("Error message: ") + QString::fromStdString(status.message));
        }
    } catch (const std::exception &e) {
        writeLog(
            1, "orv_vpn", "OrvVpnThread::run", QStringLiteral("Connect exception: ") + QString::fromUtf8(e.what()));
    }
    writeLog(4, "orv_vpn", "OrvVpnThread::run", QStringLiteral("Worker finished"));
}

bool OrvVpnThread::stop()
{
    try {
        writeLog(4, "orv_vpn", "OrvVpnThread::stop", QStringLiteral("Stopping..."));
        client.stop();
        writeLog(4, "orv_vpn", "OrvVpnThread::stop", QStringLiteral("Stopped"));
        return true;
    } catch (const std::exception &e) {
        writeLog(1, "orv_vpn", "OrvVpnThread::stop", QStringLiteral("Stop exception: ") + QString::fromUtf8(e.what()));
        return false;
    }
}

OrvVpnTransportStats *OrvVpnThread::getTransportStats()
{
    const lumen::engine::TransportStats stats = client.transport_stats();
    auto *result = new OrvVpnTransportStats;
    result->bytesIn = stats.bytesIn;
    result->bytesOut = stats.bytesOut;
    result->packetsIn = stats.packetsIn;
    result->packetsOut = stats.packetsOut;
    result->lastPacketReceived = stats.lastPacketReceived;
    return result;
}
