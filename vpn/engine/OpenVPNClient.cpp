#include "vpn/engine/OpenVPNClient.h"

#include <algorithm>
#include <cerrno>
#include <csignal>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <set>
#include <vector>

#include <fcntl.h>
#include <poll.h>
#include <sys/eventfd.h>
#include <sys/prctl.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <sys/un.h>
#include <sys/wait.h>
#include <unistd.h>

#include "vpn/engine/ProfileParser.h"

namespace lumen::engine
{

namespace
{
using Clock = std::chrono::steady_clock;

constexpr int terminateGraceMs = 5000;
constexpr std::size_t maxPendingLineBytes = 1 << 20;

// Directives that run programs, read or write files of the machine, or take the daemon's control away from us.
// A downloaded profile runs as root here, so these are refused rather than passed on.
const std::set<std::string> refusedDirectives = {"up",
                                                 "down",
                                                 "route-up",
                                                 "route-pre-down",
                                                 "ipchange",
                                                 "tls-verify",
                                                 "learn-address",
                                                 "client-connect",
                                                 "client-disconnect",
                                                 "auth-user-pass-verify",
                                                 "plugin",
                                                 "script-security",
                                                 "setenv-safe",
                                                 "management",
                                                 "management-client",
                                                 "management-hold",
                                                 "management-query-passwords",
                                                 "management-query-proxy",
                                                 "management-query-remote",
                                                 "management-external-key",
                                                 "management-external-cert",
                                                 "management-signal",
                                                 "management-forget-disconnect",
                                                 "management-log-cache",
                                                 "config",
                                                 "cd",
                                                 "chroot",
                                                 "daemon",
                                                 "log",
                                                 "log-append",
                                                 "writepid",
                                                 "status",
                                                 "tmp-dir",
                                                 "askpass",
                                                 "iproute",
                                                 "replay-persist",
                                                 "ifconfig-pool-persist",
                                                 "tls-export-cert",
                                                 "capath",
                                                 "pkcs11-providers",
                                                 "providers",
                                                 "engine"};

// Directives whose argument is a file: the profile must carry it inline.
const std::set<std::string> fileDirectives = {"ca",
                                              "cert",
                                              "key",
                                              "extra-certs",
                                              "tls-auth",
                                              "tls-crypt",
                                              "tls-crypt-v2",
                                              "dh",
                                              "pkcs12",
                                              "secret",
                                              "crl-verify",
                                              "auth-user-pass",
                                              "http-proxy-user-pass"};

// Quotes one argument for the management interface, which reads backslash escapes inside double quotes.
std::string quoted(const std::string &value)
{
    std::string out = "\"";
    for (const char c : value) {
        if (c == '\\' || c == '"') {
            out += '\\';
        }
        out += c;
    }
    return out + '"';
}

std::vector<std::string> splitCommas(const std::string &text)
{
    std::vector<std::string> fields;
    std::size_t pos = 0;
    while (true) {
        const std::size_t comma = text.find(',', pos);
        fields.push_back(text.substr(pos, comma == std::string::npos ? std::string::npos : comma - pos));
        if (comma == std::string::npos) {
            return fields;
        }
        pos = comma + 1;
    }
}

bool hasLineBreak(const std::string &text)
{
    return text.find_first_of(std::string("\r\n\0", 3)) != std::string::npos;
}

std::int64_t readCounter(const std::string &path, std::int64_t fallback)
{
    std::ifstream file(path);
    std::int64_t value = 0;
    if (file >> value) {
        return value;
    }
    return fallback;
}
} // namespace

// Everything that belongs to one run of the daemon; only connect()'s thread touches it.
struct OpenVPNClient::Session
{
    std::string folder;
    std::string profilePath;
    std::string socketPath;
    int listenFd = -1;
    int managementFd = -1;
    int outputFd = -1;
    int pidFd = -1;
    pid_t pid = -1;
    std::string managementBuffer;
    std::string outputBuffer;
    bool managementSeen = false;
    bool holdReleased = false;
    bool connected = false;
    bool terminating = false;
    bool cancelled = false;
    bool exited = false;
    int exitStatus = 0;
    Clock::time_point killDeadline = Clock::time_point::max();
    Clock::time_point connectDeadline = Clock::time_point::max();
    Clock::time_point nextTick = Clock::time_point::max();
    Status failure;

    ~Session()
    {
        for (const int fd : {listenFd, managementFd, outputFd, pidFd}) {
            if (fd >= 0) {
                close(fd);
            }
        }
        if (!socketPath.empty()) {
            unlink(socketPath.c_str());
        }
        if (!profilePath.empty()) {
            unlink(profilePath.c_str());
        }
        if (!folder.empty()) {
            rmdir(folder.c_str());
        }
    }
};

OpenVPNClient::OpenVPNClient()
    : m_wakeFd(eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK))
{}

OpenVPNClient::~OpenVPNClient()
{
    // connect() reaps its daemon before it returns; this only matters when the object goes while it runs.
    pid_t pid = -1;
    {
        const std::lock_guard<std::mutex> lock(m_mutex);
        pid = m_pid;
    }
    if (pid > 0) {
        kill(pid, SIGKILL);
        waitpid(pid, nullptr, 0);
    }
    if (m_wakeFd >= 0) {
        close(m_wakeFd);
    }
}

EvalConfig OpenVPNClient::eval_config(const Config &config)
{
    EvalConfig eval;
    m_configUsable = false;
    m_config = config;
    const auto refuse = [&eval](const std::string &message) {
        eval.error = true;
        eval.message = message;
        return eval;
    };

    if (ProfileParser::trim(config.content).empty()) {
        return refuse("the profile is empty");
    }
    std::vector<ProfileDirective> directives;
    std::string error;
    if (!ProfileParser::parse(config.content, directives, error)) {
        return refuse("the profile cannot be read: " + error);
    }

    bool needsCredentials = false;
    bool inlineCredentials = false;
    bool hasRemote = false;
    bool hasDev = false;
    std::string proto;
    for (const ProfileDirective &directive : directives) {
        const std::string where = " (line " + std::to_string(directive.line) + ")";
        if (refusedDirectives.count(directive.name)) {
            return refuse("the directive '" + directive.name + "' is not supported" + where);
        }
        if (directive.isInline) {
            if (directive.name == "auth-user-pass") {
                inlineCredentials = true;
            } else if (directive.name == "connection" && directive.body.find("remote") != std::string::npos) {
                hasRemote = true;
            } else if (directive.name == "key" && directive.body.find("ENCRYPTED") != std::string::npos) {
                eval.privateKeyPasswordRequired = true;
            }
            continue;
        }
        if (fileDirectives.count(directive.name) && !directive.args.empty() && directive.args[0] != "[inline]"
            && !(directive.name == "dh" && directive.args[0] == "none")) {
            return refuse("'" + directive.name + "' refers to the file '" + directive.args[0]
                          + "'; the profile must carry it inline" + where);
        }
        if (directive.name == "auth-user-pass") {
            needsCredentials = true;
        } else if (directive.name == "remote" && !directive.args.empty()) {
            if (!hasRemote) {
                eval.remoteHost = directive.args[0];
                eval.remotePort = directive.args.size() > 1 ? directive.args[1] : "1194";
                if (directive.args.size() > 2) {
                    eval.remoteProto = directive.args[2];
                }
            }
            hasRemote = true;
        } else if (directive.name == "dev" && !directive.args.empty()) {
            hasDev = true;
        } else if (directive.name == "proto" && !directive.args.empty()) {
            proto = directive.args[0];
        }
    }
    if (!hasRemote) {
        return refuse("the profile names no remote server");
    }
    if (!hasDev) {
        return refuse("the profile names no tunnel device ('dev')");
    }
    if (eval.remoteProto.empty()) {
        eval.remoteProto = proto.empty() ? "udp" : proto;
    }
    eval.autologin = !needsCredentials || inlineCredentials;
    eval.allowPasswordSave = true;
    m_configUsable = true;
    return eval;
}

Status OpenVPNClient::provide_creds(const ProvideCreds &creds)
{
    Status status;
    // The management interface is line based: a line break in a value would end the command early.
    if (hasLineBreak(creds.username) || hasLineBreak(creds.password)) {
        status.error = true;
        status.message = "user name and password must not contain line breaks or NUL characters";
        return status;
    }
    m_creds = creds;
    m_hasCreds = true;
    return status;
}

void OpenVPNClient::stop()
{
    {
        const std::lock_guard<std::mutex> lock(m_mutex);
        m_stopRequested = true;
    }
    const std::uint64_t one = 1;
    if (write(m_wakeFd, &one, sizeof one) < 0) {
        // The counter only saturates; a pending wake-up is as good as a new one.
    }
}

TransportStats OpenVPNClient::transport_stats() const
{
    TransportStats stats;
    const std::lock_guard<std::mutex> lock(m_mutex);
    if (!m_haveStats) {
        return stats;
    }
    stats.bytesIn = m_bytesIn;
    stats.bytesOut = m_bytesOut;
    const auto since = std::chrono::duration_cast<std::chrono::milliseconds>(Clock::now() - m_lastBytesInGrowth);
    stats.lastPacketReceived = static_cast<int>(std::min<std::int64_t>(since.count() * 1024 / 1000, INT32_MAX));
    if (!m_tunDevice.empty()) {
        // The device goes with the daemon; the last counts read stay then.
        const std::string base = "/sys/class/net/" + m_tunDevice + "/statistics/";
        m_packetsIn = readCounter(base + "rx_packets", m_packetsIn);
        m_packetsOut = readCounter(base + "tx_packets", m_packetsOut);
    }
    stats.packetsIn = m_packetsIn;
    stats.packetsOut = m_packetsOut;
    return stats;
}

bool OpenVPNClient::socket_protect(int socket)
{
    (void)socket;
    return true;
}

void OpenVPNClient::clock_tick() {}

void OpenVPNClient::emitEvent(const std::string &name, const std::string &info, bool error, bool fatal)
{
    Event ev;
    ev.name = name;
    ev.info = info;
    ev.error = error;
    ev.fatal = fatal;
    event(ev);
}

Status OpenVPNClient::connect()
{
    {
        const std::lock_guard<std::mutex> lock(m_mutex);
        if (m_connecting) {
            return {true, "ALREADY_CONNECTING", "connect is already running on this client"};
        }
        m_connecting = true;
        m_haveStats = false;
        m_bytesIn = m_bytesOut = m_packetsIn = m_packetsOut = 0;
        m_tunDevice.clear();
    }
    Session session;
    Status status = run(session);
    {
        // A stop belongs to the connection it was meant for; a later connect starts afresh.
        const std::lock_guard<std::mutex> lock(m_mutex);
        m_connecting = false;
        m_stopRequested = false;
        m_pid = -1;
    }
    return status;
}

Status OpenVPNClient::run(Session &session)
{
    if (!m_configUsable) {
        return {true, "CONFIG_ERROR", "no usable configuration: eval_config has not accepted a profile"};
    }
    const std::string daemon = daemon_path();
    if (daemon.empty()) {
        return {true, "DAEMON_NOT_FOUND", "the openvpn program was found neither in PATH nor in /usr/sbin"};
    }

    char folderTemplate[] = "/tmp/lumen-engine-XXXXXX";
    if (!mkdtemp(folderTemplate)) {
        return {true, "DAEMON_START_FAILED", std::string("cannot create a private folder: ") + std::strerror(errno)};
    }
    session.folder = folderTemplate;
    session.profilePath = session.folder + "/profile.ovpn";
    const int profileFd = open(session.profilePath.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0600);
    if (profileFd < 0) {
        return {true, "DAEMON_START_FAILED", std::string("cannot write the profile: ") + std::strerror(errno)};
    }
    const std::string &content = m_config.content;
    const bool written = write(profileFd, content.data(), content.size()) == static_cast<ssize_t>(content.size());
    close(profileFd);
    if (!written) {
        return {true, "DAEMON_START_FAILED", "cannot write the profile"};
    }

    // We listen and the daemon connects to us: no waiting for its socket to appear.
    session.socketPath = session.folder + "/management";
    session.listenFd = socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC | SOCK_NONBLOCK, 0);
    sockaddr_un address = {};
    address.sun_family = AF_UNIX;
    std::strncpy(address.sun_path, session.socketPath.c_str(), sizeof address.sun_path - 1);
    if (session.listenFd < 0 || bind(session.listenFd, reinterpret_cast<sockaddr *>(&address), sizeof address) != 0
        || listen(session.listenFd, 1) != 0) {
        return {true, "DAEMON_START_FAILED", std::string("cannot open the management socket: ") + std::strerror(errno)};
    }

    std::vector<std::string> args = {daemon,
                                     "--config",
                                     session.profilePath,
                                     "--management",
                                     session.socketPath,
                                     "unix",
                                     "--management-client",
                                     "--management-hold",
                                     "--management-query-passwords",
                                     "--management-log-cache",
                                     "100"};
    if (!m_config.guiVersion.empty()) {
        args.insert(args.end(), {"--setenv", "IV_GUI_VER", m_config.guiVersion});
    }
    if (m_config.tunPersist) {
        args.emplace_back("--persist-tun");
    }
    if (!m_config.dco) {
        args.emplace_back("--disable-dco");
    }
    if (m_config.defaultKeyDirection == 0 || m_config.defaultKeyDirection == 1) {
        if (content.find("key-direction") == std::string::npos) {
            args.insert(args.end(), {"--key-direction", std::to_string(m_config.defaultKeyDirection)});
        }
    }
    std::vector<char *> argv;
    for (std::string &arg : args) {
        argv.push_back(arg.data());
    }
    argv.push_back(nullptr);

    int outputPipe[2];
    int execPipe[2];
    if (pipe2(outputPipe, O_CLOEXEC) != 0) {
        return {true, "DAEMON_START_FAILED", std::string("cannot create a pipe: ") + std::strerror(errno)};
    }
    if (pipe2(execPipe, O_CLOEXEC) != 0) {
        close(outputPipe[0]);
        close(outputPipe[1]);
        return {true, "DAEMON_START_FAILED", std::string("cannot create a pipe: ") + std::strerror(errno)};
    }
    bool stoppedBeforeStart = false;
    {
        const std::lock_guard<std::mutex> lock(m_mutex);
        stoppedBeforeStart = m_stopRequested;
    }
    if (stoppedBeforeStart) {
        close(outputPipe[0]);
        close(outputPipe[1]);
        close(execPipe[0]);
        close(execPipe[1]);
        // Stopped before the daemon ran: still end with the one DISCONNECTED the caller waits for.
        emitEvent("DISCONNECTED", "");
        return {};
    }
    {
        // Held across fork so that the destructor sees the daemon's pid as soon as it exists.
        const std::lock_guard<std::mutex> lock(m_mutex);
        const pid_t parent = getpid();
        session.pid = fork();
        if (session.pid == 0) {
            // Child: only async-signal-safe calls from here on.
            setpgid(0, 0);
            prctl(PR_SET_PDEATHSIG, SIGTERM);
            if (getppid() != parent) {
                _exit(127);
            }
            const int null = open("/dev/null", O_RDONLY);
            dup2(null, 0);
            dup2(outputPipe[1], 1);
            dup2(outputPipe[1], 2);
            // Nothing of ours leaks into the daemon; the exec-error pipe closes itself on exec.
            const int keep = dup2(execPipe[1], 3);
            fcntl(keep, F_SETFD, FD_CLOEXEC);
            close_range(4, ~0U, 0);
            execv(argv[0], argv.data());
            const int error = errno;
            if (write(keep, &error, sizeof error) < 0) {
                _exit(126);
            }
            _exit(127);
        }
        m_pid = session.pid;
    }
    close(outputPipe[1]);
    close(execPipe[1]);
    session.outputFd = outputPipe[0];
    if (session.pid < 0) {
        close(execPipe[0]);
        close(session.outputFd);
        session.outputFd = -1;
        return {true, "DAEMON_START_FAILED", std::string("cannot start the daemon: ") + std::strerror(errno)};
    }
    int execError = 0;
    const ssize_t got = read(execPipe[0], &execError, sizeof execError);
    close(execPipe[0]);
    if (got == sizeof execError) {
        waitpid(session.pid, nullptr, 0);
        return {true, "DAEMON_START_FAILED", "cannot run " + daemon + ": " + std::strerror(execError)};
    }
    fcntl(session.outputFd, F_SETFL, O_NONBLOCK);
    // A process descriptor turns the daemon's exit into an ordinary poll event.
    session.pidFd = static_cast<int>(syscall(SYS_pidfd_open, session.pid, 0));

    log(LogInfo("Started " + daemon + " (pid " + std::to_string(session.pid) + ")\n"));
    emitEvent("CONNECTING", "");
    const Clock::time_point start = Clock::now();
    if (m_config.connTimeout > 0) {
        session.connectDeadline = start + std::chrono::seconds(m_config.connTimeout);
    }
    if (m_config.clockTickMS > 0) {
        session.nextTick = start + std::chrono::milliseconds(m_config.clockTickMS);
    }

    while (!session.exited) {
        {
            const std::lock_guard<std::mutex> lock(m_mutex);
            if (m_stopRequested && !session.terminating) {
                session.cancelled = true;
            }
        }
        if (session.cancelled && !session.terminating) {
            terminate(session);
        }
        Clock::time_point now = Clock::now();
        if (now >= session.killDeadline) {
            kill(session.pid, SIGKILL);
            session.killDeadline = Clock::time_point::max();
        }
        if (now >= session.connectDeadline && !session.connected && !session.terminating) {
            session.connectDeadline = Clock::time_point::max();
            pause_on_connection_timeout();
            fail(session, "CONNECTION_TIMEOUT", "no connection within " + std::to_string(m_config.connTimeout) + " s");
        }
        if (now >= session.nextTick) {
            clock_tick();
            session.nextTick = now + std::chrono::milliseconds(m_config.clockTickMS);
        }
        const Clock::time_point wake = std::min({session.killDeadline, session.connectDeadline, session.nextTick});
        int timeoutMs = -1;
        if (wake != Clock::time_point::max()) {
            now = Clock::now();
            timeoutMs =
                wake <= now
                    ? 0
                    : static_cast<int>(std::chrono::duration_cast<std::chrono::milliseconds>(wake - now).count() + 1);
        }
        if (session.pidFd < 0) {
            // Without a process descriptor the exit is only seen by polling.
            timeoutMs = timeoutMs < 0 ? 100 : std::min(timeoutMs, 100);
        }

        pollfd fds[5];
        nfds_t count = 0;
        const int channelFd = session.managementFd >= 0 ? session.managementFd : session.listenFd;
        for (const int fd : {channelFd, session.outputFd, m_wakeFd, session.pidFd}) {
            if (fd >= 0) {
                fds[count++] = {fd, POLLIN, 0};
            }
        }
        const int ready = poll(fds, count, timeoutMs);
        if (ready < 0 && errno != EINTR) {
            fail(session, "ENGINE_ERROR", std::string("poll failed: ") + std::strerror(errno));
            kill(session.pid, SIGKILL);
        }

        if (m_wakeFd >= 0) {
            std::uint64_t value = 0;
            while (read(m_wakeFd, &value, sizeof value) > 0) {
            }
        }
        if (session.managementFd < 0 && session.listenFd >= 0) {
            const int fd = accept4(session.listenFd, nullptr, nullptr, SOCK_CLOEXEC | SOCK_NONBLOCK);
            if (fd >= 0) {
                session.managementFd = fd;
                session.managementSeen = true;
                close(session.listenFd);
                session.listenFd = -1;
                // The daemon has read its configuration by now and reconnects without reading it again: the
                // profile (keys, maybe credentials) should not stay on disk, not even if we are killed.
                unlink(session.socketPath.c_str());
                unlink(session.profilePath.c_str());
                rmdir(session.folder.c_str());
                session.socketPath.clear();
                session.profilePath.clear();
                session.folder.clear();
                sendCommand(session, "state on\nbytecount 1\nlog on all\n");
            }
        }
        for (int *fd : {&session.managementFd, &session.outputFd}) {
            if (*fd < 0) {
                continue;
            }
            std::string &buffer = fd == &session.managementFd ? session.managementBuffer : session.outputBuffer;
            char chunk[4096];
            ssize_t n = 0;
            while ((n = read(*fd, chunk, sizeof chunk)) > 0) {
                buffer.append(chunk, static_cast<std::size_t>(n));
            }
            const bool closed = n == 0;
            std::size_t newline = 0;
            while ((newline = buffer.find('\n')) != std::string::npos) {
                std::string line = buffer.substr(0, newline);
                buffer.erase(0, newline + 1);
                if (!line.empty() && line.back() == '\r') {
                    line.pop_back();
                }
                if (fd == &session.managementFd) {
                    handleLine(session, line);
                } else if (!line.empty() && !session.managementSeen) {
                    // Once the management channel is up it carries the same lines; before, only this pipe does.
                    log(LogInfo(line + '\n'));
                }
            }
            if (buffer.size() > maxPendingLineBytes) {
                buffer.clear();
            }
            if (closed) {
                close(*fd);
                *fd = -1;
                if (&buffer == &session.managementBuffer && !session.terminating) {
                    // The daemon must not outlive its controller: no channel, no daemon.
                    session.terminating = true;
                    kill(session.pid, SIGTERM);
                    session.killDeadline = Clock::now() + std::chrono::milliseconds(terminateGraceMs);
                }
            }
        }
        int waitStatus = 0;
        if (waitpid(session.pid, &waitStatus, WNOHANG) == session.pid) {
            session.exited = true;
            session.exitStatus = waitStatus;
        }
    }

    // Lines the daemon wrote just before it ended.
    for (const int fd : {session.managementFd, session.outputFd}) {
        if (fd < 0) {
            continue;
        }
        std::string &buffer = fd == session.managementFd ? session.managementBuffer : session.outputBuffer;
        char chunk[4096];
        ssize_t n = 0;
        while ((n = read(fd, chunk, sizeof chunk)) > 0) {
            buffer.append(chunk, static_cast<std::size_t>(n));
        }
        std::size_t newline = 0;
        while ((newline = buffer.find('\n')) != std::string::npos) {
            const std::string line = buffer.substr(0, newline);
            buffer.erase(0, newline + 1);
            if (fd == session.managementFd) {
                handleLine(session, line);
            } else if (!line.empty() && !session.managementSeen) {
                log(LogInfo(line + '\n'));
            }
        }
    }
    {
        const std::lock_guard<std::mutex> lock(m_mutex);
        m_pid = -1;
    }

    std::string exitText;
    if (WIFEXITED(session.exitStatus)) {
        exitText = "exit code " + std::to_string(WEXITSTATUS(session.exitStatus));
    } else if (WIFSIGNALED(session.exitStatus)) {
        exitText = "signal " + std::to_string(WTERMSIG(session.exitStatus));
    }
    log(LogInfo("Daemon ended: " + exitText + "\n"));
    emitEvent("DISCONNECTED", "");

    if (session.failure.error) {
        return session.failure;
    }
    const bool clean = WIFEXITED(session.exitStatus) && WEXITSTATUS(session.exitStatus) == 0;
    if (!clean && !session.cancelled) {
        return {true, "DAEMON_FAILED", "the daemon ended with " + exitText};
    }
    return {};
}

void OpenVPNClient::sendCommand(Session &session, const std::string &command)
{
    if (session.managementFd < 0) {
        return;
    }
    std::size_t done = 0;
    while (done < command.size()) {
        const ssize_t n = send(session.managementFd, command.data() + done, command.size() - done, MSG_NOSIGNAL);
        if (n < 0) {
            if (errno == EINTR) {
                continue;
            }
            if (errno == EAGAIN) {
                pollfd fd = {session.managementFd, POLLOUT, 0};
                poll(&fd, 1, 1000);
                continue;
            }
            return;
        }
        done += static_cast<std::size_t>(n);
    }
}

void OpenVPNClient::terminate(Session &session)
{
    if (session.terminating) {
        return;
    }
    session.terminating = true;
    if (session.managementFd >= 0) {
        sendCommand(session, "signal SIGTERM\n");
    } else {
        kill(session.pid, SIGTERM);
    }
    session.killDeadline = Clock::now() + std::chrono::milliseconds(terminateGraceMs);
}

void OpenVPNClient::fail(Session &session, const std::string &name, const std::string &message)
{
    if (session.failure.error || session.cancelled) {
        return;
    }
    session.failure = {true, name, message};
    emitEvent(name, message, true, true);
    terminate(session);
}

void OpenVPNClient::handleLine(Session &session, const std::string &line)
{
    if (line.empty() || line.front() != '>') {
        if (line.rfind("ERROR:", 0) == 0) {
            log(LogInfo("management: " + line + '\n'));
        }
        return;
    }
    const std::size_t colon = line.find(':');
    if (colon == std::string::npos) {
        return;
    }
    const std::string kind = line.substr(1, colon - 1);
    const std::string payload = line.substr(colon + 1);
    if (kind == "STATE") {
        handleState(session, payload);
    } else if (kind == "LOG") {
        const std::vector<std::string> fields = splitCommas(payload);
        if (fields.size() < 3) {
            return;
        }
        const std::size_t textStart = fields[0].size() + fields[1].size() + 2;
        const std::string text = payload.substr(textStart);
        const std::string opened = "TUN/TAP device ";
        const std::size_t at = text.find(opened);
        if (at != std::string::npos && text.find(" opened", at) != std::string::npos) {
            const std::size_t begin = at + opened.size();
            const std::lock_guard<std::mutex> lock(m_mutex);
            m_tunDevice = text.substr(begin, text.find(' ', begin) - begin);
        }
        log(LogInfo(text + '\n'));
    } else if (kind == "BYTECOUNT") {
        handleByteCount(payload);
    } else if (kind == "HOLD") {
        if (!session.holdReleased) {
            // Without "hold off" every restart would wait for us and we would release it at once, skipping
            // the daemon's back-off between reconnects.
            session.holdReleased = true;
            sendCommand(session, "hold off\nhold release\n");
        }
    } else if (kind == "PASSWORD") {
        handlePassword(session, payload);
    } else if (kind == "FATAL") {
        handleFatal(session, payload);
    } else if (kind == "INFO" || kind == "INFOMSG" || kind == "NOTIFY") {
        log(LogInfo(payload + '\n'));
    }
}

void OpenVPNClient::handleState(Session &session, const std::string &payload)
{
    const std::vector<std::string> fields = splitCommas(payload);
    if (fields.size() < 2) {
        return;
    }
    const std::string &name = fields[1];
    const std::string reason = fields.size() > 2 ? fields[2] : std::string();
    if (name == "CONNECTED") {
        session.connected = true;
        std::string info;
        if (fields.size() > 5) {
            info = fields[4] + ":" + fields[5] + " (" + fields[3] + ")";
        }
        emitEvent("CONNECTED", info);
    } else if (name == "RECONNECTING") {
        session.connected = false;
        if (reason == "auth-failure") {
            fail(session, "AUTH_FAILED", reason);
        } else if (!session.terminating) {
            emitEvent("RECONNECTING", reason);
        }
    } else if (name == "EXITING") {
        if (reason == "auth-failure") {
            fail(session, "AUTH_FAILED", reason);
        }
    } else if (name != "CONNECTING") {
        // The daemon's own steps (RESOLVE, TCP_CONNECT, WAIT, AUTH, GET_CONFIG, ASSIGN_IP, ADD_ROUTES, ...).
        emitEvent(name, reason);
    }
}

void OpenVPNClient::handlePassword(Session &session, const std::string &payload)
{
    if (payload.rfind("Verification Failed", 0) == 0) {
        fail(session, "AUTH_FAILED", payload);
        return;
    }
    if (payload.rfind("Need 'Auth'", 0) == 0) {
        if (session.terminating) {
            return;
        }
        if (!m_hasCreds) {
            fail(session, "NEED_CREDS", "the server asks for a user name and password and none were provided");
            return;
        }
        sendCommand(session,
                    "username \"Auth\" " + quoted(m_creds.username) + "\npassword \"Auth\" " + quoted(m_creds.password)
                        + "\n");
        return;
    }
    if (payload.rfind("Need 'Private Key'", 0) == 0) {
        if (m_config.privateKeyPassword.empty() || hasLineBreak(m_config.privateKeyPassword)) {
            fail(session, "PRIVATE_KEY_PASSWORD_ERROR", "the private key needs a password and none was provided");
            return;
        }
        sendCommand(session, "password \"Private Key\" " + quoted(m_config.privateKeyPassword) + "\n");
        return;
    }
    if (payload.rfind("Need '", 0) == 0) {
        fail(session, "NEED_CREDS", payload);
    }
}

void OpenVPNClient::handleFatal(Session &session, const std::string &message)
{
    log(LogInfo("FATAL: " + message + '\n'));
    if (session.terminating) {
        // Our own SIGTERM during a prompt ends as "could not read ... password": a cancel, not a failure.
        return;
    }
    const bool tunFailure = message.find("TUN/TAP") != std::string::npos
                            || message.find("TUNSETIFF") != std::string::npos
                            || message.find("/dev/net/tun") != std::string::npos;
    if (tunFailure) {
        fail(session, "TUN_SETUP_FAILED", message);
    } else {
        fail(session, "FATAL_ERR", message);
    }
}

void OpenVPNClient::handleByteCount(const std::string &payload)
{
    const std::vector<std::string> fields = splitCommas(payload);
    if (fields.size() < 2) {
        return;
    }
    const std::int64_t in = std::strtoll(fields[0].c_str(), nullptr, 10);
    const std::int64_t out = std::strtoll(fields[1].c_str(), nullptr, 10);
    const std::lock_guard<std::mutex> lock(m_mutex);
    if (!m_haveStats || in > m_bytesIn) {
        m_lastBytesInGrowth = Clock::now();
    }
    m_haveStats = true;
    m_bytesIn = in;
    m_bytesOut = out;
}

} // namespace lumen::engine
