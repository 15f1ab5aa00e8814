#pragma once

#include <chrono>
#include <mutex>
#include <string>
#include <vector>

#include <sys/types.h>

#include "vpn/engine/ClientApi.h"

namespace lumen::engine
{

// Runs one tunnel connection with the OpenVPN 2 daemon, driven through its management interface. eval_config
// accepts a profile only under the profile policy, and the daemon reads the profile rebuilt from it.
// connect() blocks on the calling thread and calls the callbacks there; stop() and transport_stats()
// may be called from any other thread meanwhile. The daemon never outlives the connect() that started it.
class OpenVPNClient
{
public:
    OpenVPNClient();
    virtual ~OpenVPNClient();

    OpenVPNClient(const OpenVPNClient &) = delete;
    OpenVPNClient &operator=(const OpenVPNClient &) = delete;

    EvalConfig eval_config(const Config &config);
    Status provide_creds(const ProvideCreds &creds);
    Status connect();
    void stop();
    TransportStats transport_stats() const;
    // The tun device the daemon holds, as the kernel names it, from the CONNECTED event on; empty before, and once
    // the device or the daemon is gone.
    std::string tun_device() const;

    virtual bool socket_protect(int socket);
    virtual bool pause_on_connection_timeout() = 0;
    virtual void event(const Event &event) = 0;
    virtual void log(const LogInfo &info) = 0;
    virtual void external_pki_cert_request(ExternalPKICertRequest &request) = 0;
    virtual void external_pki_sign_request(ExternalPKISignRequest &request) = 0;
    virtual void clock_tick();

private:
    struct Session;

    // One session, step by step: the private folder with the rebuilt profile and the management socket, the
    // daemon, the event loop until the daemon has ended, and the end.
    Status run(Session &session);
    Status prepareSession(Session &session);
    std::vector<std::string> daemonArguments(const Session &session, const std::string &daemon);
    bool startDaemon(Session &session, const std::string &daemon, Status &status);
    void runEventLoop(Session &session);
    int handleDeadlines(Session &session);
    void waitForActivity(Session &session, int timeoutMs);
    void acceptManagement(Session &session);
    void readChannels(Session &session);
    static bool readAvailable(int fd, std::string &buffer);
    void takeLines(Session &session, std::string &buffer, bool management);
    Status endSession(Session &session);
    // The host's routes and addresses as before the start, whatever the daemon left.
    void undoRouteChanges(Session &session);
    void handleLine(Session &session, const std::string &line);
    // One line of the daemon's log, passed on within the log's budget.
    void logDaemonLine(Session &session, const std::string &text);
    void handleState(Session &session, const std::string &payload);
    void handlePassword(Session &session, const std::string &payload);
    void handleFatal(Session &session, const std::string &message);
    void handleByteCount(const std::string &payload);
    void samplePackets(Session &session);
    void fail(Session &session, const std::string &name, const std::string &message);
    void terminate(Session &session);
    void emitEvent(const std::string &name, const std::string &info, bool error = false, bool fatal = false);
    bool isStopRequested() const;
    void sendCommand(Session &session, const std::string &command);

    Config m_config;
    std::string m_profile; // what the daemon reads: rebuilt from the directives the policy accepted
    bool m_hasKeyDirection = false;
    std::vector<std::string> m_remoteHosts; // the servers the daemon may reach over IPv4
    bool m_configUsable = false;
    bool m_autologin = false;
    ProvideCreds m_creds;
    bool m_hasCreds = false;
    int m_wakeFd = -1;

    // Shared with stop() and transport_stats() on other threads.
    mutable std::mutex m_mutex;
    bool m_stopRequested = false;
    bool m_connecting = false;
    pid_t m_pid = -1;
    bool m_haveStats = false;
    std::int64_t m_bytesIn = 0;
    std::int64_t m_bytesOut = 0;
    std::int64_t m_packetsIn = 0;
    std::int64_t m_packetsOut = 0;
    std::string m_tunDevice;
    std::chrono::steady_clock::time_point m_lastBytesInGrowth;
};

} // namespace lumen::engine
