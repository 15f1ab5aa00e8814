#pragma once

#include <QString>

class Orv;
class OrvVpn;

// The steps tests take with a real controller: log in and wait for the domain list, connect a device and wait for
// its tunnel, stop the tunnel. Plain functions for the test's thread.
class OrvDriver
{
public:
    static OrvVpn *vpnOf(Orv *orv);
    // Logs alice in and waits for the domain load that follows; false when it failed or did not come in time.
    [[nodiscard]] static bool logIn(Orv &orv, int timeoutMs, const QString &password = QStringLiteral("pw"));
    // Starts the device's tunnel; true once it is up, for that device.
    [[nodiscard]] static bool connectDevice(Orv &orv, int deviceId, int timeoutMs);
    // Stops a tunnel that is not down; true once it is.
    [[nodiscard]] static bool stopTunnel(Orv &orv, int timeoutMs);
};
