#include "tests/support/OrvDriver.h"

#include <QSignalSpy>
#include <QTest>

#include "controller/Orv.h"
#include "portal/Auth.h"
#include "vpn/OrvVpn.h"

namespace
{
constexpr int disconnectedStatus = 1;
constexpr int connectedStatus = 3;
} // namespace

OrvVpn *OrvDriver::vpnOf(Orv *orv)
{
    return orv->property("vpn").value<OrvVpn *>();
}

bool OrvDriver::logIn(Orv &orv, int timeoutMs, const QString &password)
{
    QSignalSpy loaded(&orv, &Orv::onLoadDomainsSuccess);
    QSignalSpy failed(&orv, &Orv::onLoadDomainsError);
    orv.property("auth").value<Auth *>()->login(QStringLiteral("alice"), password);
    const bool answered = QTest::qWaitFor([&] { return loaded.count() + failed.count() > 0; }, timeoutMs);
    return answered && loaded.count() == 1;
}

bool OrvDriver::connectDevice(Orv &orv, int deviceId, int timeoutMs)
{
    OrvVpn *vpn = vpnOf(&orv);
    QSignalSpy connected(vpn, &OrvVpn::onConnected);
    orv.startVpnDevice(deviceId);
    return connected.wait(timeoutMs) && connected.last().at(0).toInt() == deviceId
           && vpn->getStatus() == connectedStatus;
}

bool OrvDriver::stopTunnel(Orv &orv, int timeoutMs)
{
    OrvVpn *vpn = vpnOf(&orv);
    if (vpn->getStatus() == disconnectedStatus) {
        return true;
    }
    orv.stopVpn();
    return QTest::qWaitFor([vpn] { return vpn->getStatus() == disconnectedStatus; }, timeoutMs);
}
