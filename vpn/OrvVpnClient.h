#pragma once

#include <QString>

#include "vpn/engine/OpenVPNClient.h"

// The VPN library client of one tunnel connection: turns the library's events into the relay's signals
// and writes its log lines. Not a Qt object; one lives inside each worker thread, its callbacks run there.
class OrvVpnClient : public lumen::engine::OpenVPNClient
{
public:
    OrvVpnClient() = default;

    bool socket_protect(int socket) override;
    bool pause_on_connection_timeout() override;
    void event(const lumen::engine::Event &ev) override;
    void external_pki_cert_request(lumen::engine::ExternalPKICertRequest &request) override;
    void external_pki_sign_request(lumen::engine::ExternalPKISignRequest &request) override;
    void clock_tick() override;
    void log(const lumen::engine::LogInfo &info) override;

    // Reads a profile and puts the files it references inline; empty on any failure.
    static QString readProfile(QString path);
};
