#pragma once

#include <cstdint>
#include <string>

// Value types of the tunnel engine's client interface. The engine drives the OpenVPN 2 daemon; these
// structures keep the shape its callers use, so the code above it does not depend on how the tunnel runs.
namespace lumen::engine
{

struct Config
{
    std::string content; // the whole profile text, every referenced file inline
    std::string guiVersion;
    std::string serverOverride;
    std::string portOverride;
    std::string protoOverride;
    std::string privateKeyPassword;
    std::string externalPkiAlias;
    int connTimeout = 0; // seconds until CONNECTED, 0 for no limit
    int sslDebugLevel = 0;
    int defaultKeyDirection = -1;
    int clockTickMS = 0; // period of clock_tick, 0 for none
    bool tunPersist = false;
    bool googleDnsFallback = false;
    bool autologinSessions = false;
    bool disableClientCert = false;
    bool forceAesCbcCiphersuites = false;
    bool altProxy = false;
    bool dco = true;
    bool info = false;
};

struct EvalConfig
{
    bool error = false;
    std::string message;
    std::string userlockedUsername;
    std::string profileName;
    std::string friendlyName;
    bool autologin = false;
    bool externalPki = false;
    bool privateKeyPasswordRequired = false;
    bool allowPasswordSave = false;
    std::string remoteHost;
    std::string remotePort;
    std::string remoteProto;
};

struct ProvideCreds
{
    std::string username;
    std::string password;
    std::string response;
    std::string dynamicChallengeCookie;
    bool replacePasswordWithSessionID = false;
    bool cachePassword = false;
};

struct Status
{
    bool error = false;
    std::string status;
    std::string message;
};

struct Event
{
    bool error = false;
    bool fatal = false;
    std::string name;
    std::string info;
};

struct LogInfo
{
    LogInfo() = default;

    explicit LogInfo(std::string line)
        : text(std::move(line))
    {}

    std::string text;
};

struct TransportStats
{
    std::int64_t bytesIn = 0;
    std::int64_t bytesOut = 0;
    std::int64_t packetsIn = 0;
    std::int64_t packetsOut = 0;
    int lastPacketReceived = -1; // 1/1024 s since bytes in last grew, -1 while undefined
};

struct ExternalPKIRequestBase
{
    bool error = false;
    std::string errorText;
    bool invalidAlias = false;
    std::string alias;
};

struct ExternalPKICertRequest : ExternalPKIRequestBase
{
    std::string cert;
    std::string supportingChain;
};

struct ExternalPKISignRequest : ExternalPKIRequestBase
{
    std::string data;
    std::string sig;
    std::string algorithm;
    std::string hashalg;
    std::string saltlen;
};

// Process-wide set-up; safe to call more than once and from any thread.
void init_process();

// The current local time in asctime form, without the trailing newline.
std::string date_time();

// The daemon is the installed one, at its absolute path, checked once and never searched for in PATH: it
// runs as root. An explicit path wins (for tests; empty restores the installed one).
void set_daemon_path(const std::string &path);
// Empty when the installed daemon is missing or anyone but root could change it.
std::string daemon_path();
const char *installed_daemon_path();

} // namespace lumen::engine
