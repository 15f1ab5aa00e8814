#include "vpn/engine/OpenVPNClient.h"

#include <algorithm>
#include <cerrno>
#include <csignal>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <vector>

#include <fcntl.h>
#include <poll.h>
#include <pthread.h>
#include <sched.h>
#include <sys/eventfd.h>
#include <sys/prctl.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <sys/un.h>
#include <sys/wait.h>
#include <unistd.h>

#include "vpn/engine/ProfileParser.h"
#include "vpn/engine/ProfilePolicy.h"
#include "vpn/engine/RouteJournal.h"
#include "vpn/engine/RouteLookup.h"
#include "vpn/engine/TunCounters.h"

namespace lumen::engine
{

namespace
{
using Clock = std::chrono::steady_clock;

constexpr int terminateGraceMs = 5000;
// The daemon's log as it reaches ours: a connection's burst in full (verb 4 writes some 350 lines), then a steady
// rate. A daemon kept busy refusing packets (from the server, or from anyone on this host) would otherwise write a
// line for each, and the program's log, and every thread that writes to it, would drown.
constexpr double logBurstLines = 1000;
constexpr double logLinesPerSecond = 100;
constexpr std::size_t maxPendingLineBytes = 1 << 20;
// The daemon's launcher runs on a stack of its own until it execs; a few frames of plain system calls.
constexpr std::size_t launchStackBytes = 64 * 1024;
// The daemon's management interface reads a command of at most 1023 bytes and a parameter of at most 256.
constexpr std::size_t maxManagementLineBytes = 1023;
constexpr std::size_t maxManagementValueBytes = 256;
// The daemon gets this environment and nothing of ours.
constexpr const char *daemonEnvironmentPath = "PATH=/usr/sbin:/usr/bin:/sbin:/bin";

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

// Why a value cannot go over the management interface, or nothing. The interface drops control characters
// and starts a new command when a line overflows, so such a value would not arrive as given.
std::string managementValueProblem(const std::string &what, const std::string &value)
{
    for (const char c : value) {
        const auto byte = static_cast<unsigned char>(c);
        if (byte < 0x20 || byte == 0x7f) {
            return what + " must not contain line breaks or other control characters";
        }
    }
    const std::size_t line = std::string("password \"Private Key\" \n").size() + quoted(value).size();
    if (value.size() > maxManagementValueBytes || line > maxManagementLineBytes) {
        return what + " is longer than the " + std::to_string(maxManagementValueBytes)
               + " bytes the daemon's management interface carries";
    }
    return {};
}

// Whether an <auth-user-pass> block gives both lines the daemon reads: the user name and the password.
bool holdsUserAndPassword(const std::string &body)
{
    const std::size_t userEnd = body.find('\n');
    if (userEnd == std::string::npos) {
        return false;
    }
    std::size_t passwordEnd = body.find('\n', userEnd + 1);
    passwordEnd = passwordEnd == std::string::npos ? body.size() : passwordEnd;
    const auto length = [&body](std::size_t begin, std::size_t end) {
        return end > begin && body[end - 1] == '\r' ? end - begin - 1 : end - begin;
    };
    return length(0, userEnd) > 0 && length(userEnd + 1, passwordEnd) > 0;
}

bool isBlankText(const std::string &text)
{
    return std::all_of(text.begin(), text.end(), [](char c) { return ProfileParser::isBlank(c); });
}

// Every directive of the profile, those inside <connection> blocks included, in order.
template <typename Visit>
void forEachDirective(const std::vector<ProfileDirective> &directives, Visit visit)
{
    for (const ProfileDirective &directive : directives) {
        visit(directive);
        for (const ProfileDirective &child : directive.children) {
            visit(child);
        }
    }
}

// The servers the daemon may reach over IPv4, in <connection> blocks too: a remote whose protocol (its own, its
// block's, or else the profile's) is IPv6's alone is left out.
std::vector<std::string> ipv4Servers(const std::vector<ProfileDirective> &directives)
{
    const auto ipv6Only = [](const std::string &proto) {
        return proto.find('6') != std::string::npos;
    };
    std::string profileProto;
    for (const ProfileDirective &directive : directives) {
        if (directive.name == "proto") {
            profileProto = directive.args[0];
        }
    }
    std::vector<std::string> servers;
    const auto add = [&](const ProfileDirective &remote, const std::string &proto) {
        if (!ipv6Only(remote.args.size() > 2 ? remote.args[2] : proto)) {
            servers.push_back(remote.args[0]);
        }
    };
    for (const ProfileDirective &directive : directives) {
        if (directive.name == "remote") {
            add(directive, profileProto);
        }
        std::string blockProto = profileProto;
        for (const ProfileDirective &child : directive.children) {
            blockProto = child.name == "proto" ? child.args[0] : blockProto;
        }
        for (const ProfileDirective &child : directive.children) {
            if (child.name == "remote") {
                add(child, blockProto);
            }
        }
    }
    return servers;
}

// The forked child's part: set up and replace itself with the daemon; only async-signal-safe calls here.
[[noreturn]] void execDaemon(char *const argv[], char *const environment[], int outputFd, int execErrorFd, pid_t parent)
{
    setpgid(0, 0);
    prctl(PR_SET_PDEATHSIG, SIGTERM);
    if (getppid() != parent) {
        _exit(127);
    }
    umask(077);
    if (chdir("/") != 0) {
        _exit(127);
    }
    const int null = open("/dev/null", O_RDONLY);
    dup2(null, 0);
    dup2(outputFd, 1);
    dup2(outputFd, 2);
    // Nothing of ours leaks into the daemon; the exec-error pipe closes itself on exec.
    const int keep = dup2(execErrorFd, 3);
    fcntl(keep, F_SETFD, FD_CLOEXEC);
    close_range(4, ~0U, 0);
    execve(argv[0], argv, environment);
    const int error = errno;
    if (write(keep, &error, sizeof error) < 0) {
        _exit(126);
    }
    _exit(127);
}

struct DaemonLaunch
{
    char *const *argv;
    char *const *environment;
    int outputFd;
    int execErrorFd;
    pid_t parent;
    sigset_t signalMask;
};

// The child of clone(CLONE_VM | CLONE_VFORK): it shares our memory, on a stack of its own, until it execs, so no
// copy of this large process is made for a program that replaces itself at once. Our signal handlers live in that
// shared memory: the child puts the defaults back before it lets signals in again.
int launchDaemon(void *data)
{
    const auto *launch = static_cast<const DaemonLaunch *>(data);
    struct sigaction fallback = {};
    fallback.sa_handler = SIG_DFL;
    for (int number = 1; number < NSIG; ++number) {
        struct sigaction current = {};
        if (sigaction(number, nullptr, &current) == 0 && current.sa_handler != SIG_IGN
            && current.sa_handler != SIG_DFL) {
            sigaction(number, &fallback, nullptr);
        }
    }
    sigprocmask(SIG_SETMASK, &launch->signalMask, nullptr);
    execDaemon(launch->argv, launch->environment, launch->outputFd, launch->execErrorFd, launch->parent);
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
    double logAllowance = logBurstLines;
    Clock::time_point logRefilled = Clock::now();
    std::uint64_t logLeftOut = 0;
    Clock::time_point logLeftOutSaid = Clock::now() - std::chrono::seconds(1);
    // The tun device as last read. A reconnect may give the daemon a new one, whose counters start at zero: what
    // the earlier devices counted is kept in the base, so the packets span the whole session, as the bytes do.
    int tunIndex = 0;
    std::uint64_t tunPacketsIn = 0;
    std::uint64_t tunPacketsOut = 0;
    std::uint64_t packetsBaseIn = 0;
    std::uint64_t packetsBaseOut = 0;
    RouteJournal routes;

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
    m_profile.clear();
    m_remoteHosts.clear();
    const auto refuse = [&eval](const std::string &message) {
        eval.error = true;
        eval.message = message;
        return eval;
    };

    if (isBlankText(config.content)) {
        return refuse("the profile is empty");
    }
    std::vector<ProfileDirective> directives;
    std::string error;
    if (!ProfileParser::parse(config.content, directives, error)) {
        return refuse("the profile cannot be read: " + error);
    }
    const ProfilePolicy::Result policy = ProfilePolicy::rebuild(directives);
    if (policy.verdict != ProfilePolicy::Verdict::Accepted) {
        return refuse(policy.error);
    }

    bool asksCredentials = false;
    bool carriesCredentials = false;
    bool hasDev = false;
    std::string proto;
    m_hasKeyDirection = false;
    m_remoteHosts = ipv4Servers(directives);
    forEachDirective(directives, [&](const ProfileDirective &directive) {
        const std::string &name = directive.name;
        if (name == "auth-user-pass") {
            asksCredentials = true;
            // A block with the user name alone still has the daemon ask for the password.
            carriesCredentials = carriesCredentials || (directive.isInline && holdsUserAndPassword(directive.body));
        } else if (name == "key" && directive.isInline && directive.body.find("ENCRYPTED") != std::string::npos) {
            eval.privateKeyPasswordRequired = true;
        } else if (name == "remote" && eval.remoteHost.empty()) {
            eval.remoteHost = directive.args[0];
            eval.remotePort = directive.args.size() > 1 ? directive.args[1] : "1194";
            if (directive.args.size() > 2) {
                eval.remoteProto = directive.args[2];
            }
        } else if (name == "dev") {
            hasDev = true;
        } else if (name == "proto" && proto.empty()) {
            proto = directive.args[0];
        } else if (name == "key-direction" || ((name == "tls-auth" || name == "secret") && directive.args.size() > 1)) {
            m_hasKeyDirection = true;
        }
    });
    if (eval.remoteHost.empty()) {
        return refuse("the profile names no remote server");
    }
    if (!hasDev) {
        return refuse("the profile names no tunnel device ('dev')");
    }
    if (eval.remoteProto.empty()) {
        eval.remoteProto = proto.empty() ? "udp" : proto;
    }
    eval.autologin = !asksCredentials || carriesCredentials;
    eval.allowPasswordSave = true;
    m_profile = policy.profile;
    m_configUsable = true;
    return eval;
}

Status OpenVPNClient::provide_creds(const ProvideCreds &creds)
{
    Status status;
    for (const std::string &problem : {managementValueProblem("the user name", creds.username),
                                       managementValueProblem("the password", creds.password)}) {
        if (!problem.empty()) {
            status.error = true;
            status.message = problem;
            return status;
        }
    }
    m_creds = creds;
    m_hasCreds = true;
    return status;
}

bool OpenVPNClient::isStopRequested() const
{
    const std::lock_guard<std::mutex> lock(m_mutex);
    return m_stopRequested;
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

std::string OpenVPNClient::tun_device() const
{
    const std::lock_guard<std::mutex> lock(m_mutex);
    return m_tunDevice;
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
    // Read on the connection's own thread as the daemon reports its byte count: this call never waits on I/O.
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
        m_tunDevice.clear();
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
        return {true,
                "DAEMON_NOT_FOUND",
                "the openvpn program is not at " + std::string(installed_daemon_path())
                    + ", or users other than root could change it"};
    }
    Status status = prepareSession(session);
    if (status.error) {
        return status;
    }
    if (!startDaemon(session, daemon, status)) {
        return status;
    }
    runEventLoop(session);
    return endSession(session);
}

Status OpenVPNClient::prepareSession(Session &session)
{
    char folderTemplate[] = "/tmp/lumen-engine-XXXXXX";
    if (!mkdtemp(folderTemplate)) {
        return {true, "DAEMON_START_FAILED", std::string("cannot create a private folder: ") + std::strerror(errno)};
    }
    session.folder = folderTemplate;
    session.profilePath = session.folder + "/profile.ovpn";
    // The daemon reads the profile rebuilt from what the policy accepted, never the text we were given.
    const int profileFd = open(session.profilePath.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0600);
    if (profileFd < 0) {
        return {true, "DAEMON_START_FAILED", std::string("cannot write the profile: ") + std::strerror(errno)};
    }
    const bool written = write(profileFd, m_profile.data(), m_profile.size()) == static_cast<ssize_t>(m_profile.size());
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
    return {};
}

std::vector<std::string> OpenVPNClient::daemonArguments(const Session &session, const std::string &daemon)
{
    // Options before the profile are defaults for its <connection> blocks as well; options after it win
    // over anything it says.
    std::vector<std::string> args = {daemon,
                                     "--nobind",
                                     "--config",
                                     session.profilePath,
                                     "--script-security",
                                     "0",
                                     "--management",
                                     session.socketPath,
                                     "unix",
                                     "--management-client",
                                     "--management-hold",
                                     "--management-query-passwords",
                                     "--management-log-cache",
                                     "100",
                                     // What the server may not change: how much the daemon logs (verb 7 writes the
                                     // keys, verb 9 and above floods the log), how long it waits to notify the
                                     // server when told to stop, and whether it keeps its tun device and routes
                                     // while it reconnects (a reconnect may wait on a lookup, through the tunnel,
                                     // that a stop cannot cut short). The filters compare the pushed text, so
                                     // options whose name comes quoted or after an escaped blank (\ verb), which
                                     // no server needs, are ignored as well.
                                     "--pull-filter",
                                     "ignore",
                                     "verb",
                                     "--pull-filter",
                                     "ignore",
                                     "mute",
                                     "--pull-filter",
                                     "ignore",
                                     "explicit-exit-notify",
                                     "--pull-filter",
                                     "ignore",
                                     "persist-tun",
                                     "--pull-filter",
                                     "ignore",
                                     "persist-key",
                                     "--pull-filter",
                                     "ignore",
                                     "\"",
                                     "--pull-filter",
                                     "ignore",
                                     "'",
                                     "--pull-filter",
                                     "ignore",
                                     "\\"};
    // A pushed route that covers the server must not take the tunnel's own path: a host route keeps the server on
    // the default gateway it is reached by now. A server reached another way (on a network of this host, through
    // another gateway) keeps that way; a host route through the default gateway would cut it off.
    // The route is IPv4's: for an IPv6 server the daemon adds a host route itself where a route covers the server.
    // Looking up the servers' names may take the resolver's time-outs: a stop does not wait for them (the daemon is
    // then not started at all).
    switch (RouteLookup::serversBehindDefaultGateway(m_remoteHosts, m_wakeFd)) {
    case RouteLookup::ServerRoute::ThroughDefaultGateway:
        args.insert(args.end(), {"--route", "remote_host", "255.255.255.255", "net_gateway"});
        break;
    case RouteLookup::ServerRoute::OtherWay:
        log(LogInfo("The server is not reached through the default gateway: no host route is added for it\n"));
        break;
    case RouteLookup::ServerRoute::NoIpv4Address:
        log(LogInfo("The server is not reached over IPv4: no IPv4 host route is added for it\n"));
        break;
    case RouteLookup::ServerRoute::NotLookedUp:
        if (!isStopRequested()) {
            log(LogInfo("The servers' names are still being looked up for earlier starts: no host route is added "
                        "for them\n"));
        }
        break;
    }
    // The daemon keeps root: dropped to another user it could not reopen the tun device when a reconnect brings
    // changed options from the server, and the tunnel would end instead.
    if (m_config.tunPersist) {
        args.emplace_back("--persist-tun");
    }
    if (!m_config.guiVersion.empty()) {
        args.insert(args.end(), {"--setenv", "IV_GUI_VER", m_config.guiVersion});
    }
    if (!m_config.dco) {
        args.emplace_back("--disable-dco");
    }
    if ((m_config.defaultKeyDirection == 0 || m_config.defaultKeyDirection == 1) && !m_hasKeyDirection) {
        args.insert(args.end(), {"--key-direction", std::to_string(m_config.defaultKeyDirection)});
    }
    return args;
}

bool OpenVPNClient::startDaemon(Session &session, const std::string &daemon, Status &status)
{
    std::vector<std::string> args = daemonArguments(session, daemon);
    std::vector<char *> argv;
    for (std::string &arg : args) {
        argv.push_back(arg.data());
    }
    argv.push_back(nullptr);
    std::string pathVariable = daemonEnvironmentPath;
    char *const environment[] = {pathVariable.data(), nullptr};

    int outputPipe[2];
    int execPipe[2];
    if (pipe2(outputPipe, O_CLOEXEC) != 0) {
        status = {true, "DAEMON_START_FAILED", std::string("cannot create a pipe: ") + std::strerror(errno)};
        return false;
    }
    if (pipe2(execPipe, O_CLOEXEC) != 0) {
        close(outputPipe[0]);
        close(outputPipe[1]);
        status = {true, "DAEMON_START_FAILED", std::string("cannot create a pipe: ") + std::strerror(errno)};
        return false;
    }
    if (isStopRequested()) {
        close(outputPipe[0]);
        close(outputPipe[1]);
        close(execPipe[0]);
        close(execPipe[1]);
        // Stopped before the daemon ran: still end with the one DISCONNECTED the caller waits for.
        emitEvent("DISCONNECTED", "");
        status = {};
        return false;
    }
    std::string journalError;
    if (!session.routes.begin(journalError)) {
        log(LogInfo(journalError + ": what the daemon leaves changed is not undone\n"));
    }
    {
        // Held across the start so that the destructor sees the daemon's pid as soon as it exists.
        const std::lock_guard<std::mutex> lock(m_mutex);
        DaemonLaunch launch = {argv.data(), environment, outputPipe[1], execPipe[1], getpid(), {}};
        sigset_t all;
        sigfillset(&all);
        pthread_sigmask(SIG_SETMASK, &all, &launch.signalMask);
        std::vector<char> stack(launchStackBytes);
        // The stack grows down; its top, aligned for the call the child starts with.
        void *top = reinterpret_cast<void *>(reinterpret_cast<std::uintptr_t>(stack.data() + stack.size())
                                             & ~std::uintptr_t{15});
        session.pid = clone(launchDaemon, top, CLONE_VM | CLONE_VFORK | SIGCHLD, &launch);
        const int cloneError = errno;
        pthread_sigmask(SIG_SETMASK, &launch.signalMask, nullptr);
        errno = cloneError;
        m_pid = session.pid;
    }
    session.routes.follow(session.pid);
    close(outputPipe[1]);
    close(execPipe[1]);
    session.outputFd = outputPipe[0];
    if (session.pid < 0) {
        close(execPipe[0]);
        close(session.outputFd);
        session.outputFd = -1;
        status = {true, "DAEMON_START_FAILED", std::string("cannot start the daemon: ") + std::strerror(errno)};
        return false;
    }
    int execError = 0;
    const ssize_t got = read(execPipe[0], &execError, sizeof execError);
    close(execPipe[0]);
    if (got == sizeof execError) {
        waitpid(session.pid, nullptr, 0);
        status = {true, "DAEMON_START_FAILED", "cannot run " + daemon + ": " + std::strerror(execError)};
        return false;
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
    return true;
}

void OpenVPNClient::runEventLoop(Session &session)
{
    while (!session.exited) {
        const int timeoutMs = handleDeadlines(session);
        waitForActivity(session, timeoutMs);
        acceptManagement(session);
        readChannels(session);
        session.routes.read();
        int waitStatus = 0;
        if (waitpid(session.pid, &waitStatus, WNOHANG) == session.pid) {
            session.exited = true;
            session.exitStatus = waitStatus;
        }
    }
}

int OpenVPNClient::handleDeadlines(Session &session)
{
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
    return timeoutMs;
}

void OpenVPNClient::waitForActivity(Session &session, int timeoutMs)
{
    pollfd fds[5];
    nfds_t count = 0;
    const int channelFd = session.managementFd >= 0 ? session.managementFd : session.listenFd;
    for (const int fd : {channelFd, session.outputFd, m_wakeFd, session.pidFd, session.routes.fd()}) {
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
}

void OpenVPNClient::acceptManagement(Session &session)
{
    if (session.managementFd >= 0 || session.listenFd < 0) {
        return;
    }
    const int fd = accept4(session.listenFd, nullptr, nullptr, SOCK_CLOEXEC | SOCK_NONBLOCK);
    if (fd < 0) {
        return;
    }
    session.managementFd = fd;
    session.managementSeen = true;
    close(session.listenFd);
    session.listenFd = -1;
    // The daemon has read its configuration by now and reconnects without reading it again: the profile
    // (keys, maybe credentials) should not stay on disk, not even if we are killed.
    unlink(session.socketPath.c_str());
    unlink(session.profilePath.c_str());
    rmdir(session.folder.c_str());
    session.socketPath.clear();
    session.profilePath.clear();
    session.folder.clear();
    sendCommand(session, "state on\nbytecount 1\nlog on all\n");
}

void OpenVPNClient::readChannels(Session &session)
{
    for (int *fd : {&session.managementFd, &session.outputFd}) {
        if (*fd < 0) {
            continue;
        }
        const bool management = fd == &session.managementFd;
        std::string &buffer = management ? session.managementBuffer : session.outputBuffer;
        const bool closed = readAvailable(*fd, buffer);
        takeLines(session, buffer, management);
        if (buffer.size() > maxPendingLineBytes) {
            buffer.clear();
        }
        if (!closed) {
            continue;
        }
        close(*fd);
        *fd = -1;
        if (management && !session.terminating) {
            // The daemon must not outlive its controller: no channel, no daemon.
            session.terminating = true;
            kill(session.pid, SIGTERM);
            session.killDeadline = Clock::now() + std::chrono::milliseconds(terminateGraceMs);
        }
    }
}

bool OpenVPNClient::readAvailable(int fd, std::string &buffer)
{
    char chunk[4096];
    ssize_t n = 0;
    while ((n = read(fd, chunk, sizeof chunk)) > 0) {
        buffer.append(chunk, static_cast<std::size_t>(n));
    }
    return n == 0;
}

void OpenVPNClient::takeLines(Session &session, std::string &buffer, bool management)
{
    std::size_t newline = 0;
    while ((newline = buffer.find('\n')) != std::string::npos) {
        std::string line = buffer.substr(0, newline);
        buffer.erase(0, newline + 1);
        if (!line.empty() && line.back() == '\r') {
            line.pop_back();
        }
        if (management) {
            handleLine(session, line);
        } else if (!line.empty() && !session.managementSeen) {
            // Once the management channel is up it carries the same lines; before, only this pipe does.
            logDaemonLine(session, line);
        }
    }
}

Status OpenVPNClient::endSession(Session &session)
{
    // Lines the daemon wrote just before it ended.
    if (session.managementFd >= 0) {
        readAvailable(session.managementFd, session.managementBuffer);
        takeLines(session, session.managementBuffer, true);
    }
    if (session.outputFd >= 0) {
        readAvailable(session.outputFd, session.outputBuffer);
        takeLines(session, session.outputBuffer, false);
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
    if (session.logLeftOut > 0) {
        log(LogInfo(std::to_string(session.logLeftOut) + " lines of the daemon's log left out\n"));
    }
    log(LogInfo("Daemon ended: " + exitText + "\n"));
    undoRouteChanges(session);
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

void OpenVPNClient::undoRouteChanges(Session &session)
{
    // A daemon that ends by itself takes its routes down; one killed, or crashed, leaves them for us.
    const RouteJournal::Undone undone = session.routes.undo();
    if (undone.removed > 0 || undone.restored > 0) {
        log(LogInfo("The daemon left the host's routes changed: removed " + std::to_string(undone.removed)
                    + " routes or addresses it had added, put back " + std::to_string(undone.restored)
                    + " it had removed\n"));
    }
    if (undone.failed > 0) {
        log(LogInfo(std::to_string(undone.failed) + " of the daemon's route changes could not be undone\n"));
    }
    if (!undone.complete && session.routes.fd() >= 0) {
        log(LogInfo("Some route changes went unseen: the host's routes may not be as before the start\n"));
    }
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
    if (session.cancelled && !TunCounters::of(session.pid).found) {
        // Without a tun device the daemon has changed nothing here yet, and it may be waiting on the resolver, which
        // it leaves for a SIGTERM only once the resolver's time-outs have passed.
        kill(session.pid, SIGKILL);
        return;
    }
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
        logDaemonLine(session, payload.substr(textStart));
    } else if (kind == "BYTECOUNT") {
        handleByteCount(payload);
        samplePackets(session);
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
        logDaemonLine(session, payload);
    }
}

void OpenVPNClient::logDaemonLine(Session &session, const std::string &text)
{
    const Clock::time_point now = Clock::now();
    const double seconds = std::chrono::duration<double>(now - session.logRefilled).count();
    session.logAllowance = std::min(logBurstLines, session.logAllowance + seconds * logLinesPerSecond);
    session.logRefilled = now;
    if (session.logAllowance < 1) {
        ++session.logLeftOut;
        return;
    }
    session.logAllowance -= 1;
    // What was left out is said once a second at most, so that the count does not double the lines.
    if (session.logLeftOut > 0 && now - session.logLeftOutSaid >= std::chrono::seconds(1)) {
        log(LogInfo(std::to_string(session.logLeftOut) + " lines of the daemon's log left out\n"));
        session.logLeftOut = 0;
        session.logLeftOutSaid = now;
    }
    log(LogInfo(text + '\n'));
}

void OpenVPNClient::handleState(Session &session, const std::string &payload)
{
    const std::vector<std::string> fields = splitCommas(payload);
    if (fields.size() < 2) {
        return;
    }
    const std::string &name = fields[1];
    const std::string reason = fields.size() > 2 ? fields[2] : std::string();
    if (name == "CONNECTED" || name == "RECONNECTING" || name == "EXITING") {
        // The device as it comes up, and its last counts before a restart or the end may close it.
        samplePackets(session);
    }
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
        if (m_config.privateKeyPassword.empty()
            || !managementValueProblem("the private key password", m_config.privateKeyPassword).empty()) {
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

void OpenVPNClient::samplePackets(Session &session)
{
    const TunCounters::Reading reading = TunCounters::of(session.pid);
    if (!reading.found) {
        // No device yet, or it is gone: the last figures stand.
        const std::lock_guard<std::mutex> lock(m_mutex);
        m_tunDevice.clear();
        return;
    }
    if (reading.interfaceIndex != session.tunIndex || reading.packetsIn < session.tunPacketsIn
        || reading.packetsOut < session.tunPacketsOut) {
        session.packetsBaseIn += session.tunPacketsIn;
        session.packetsBaseOut += session.tunPacketsOut;
    }
    session.tunIndex = reading.interfaceIndex;
    session.tunPacketsIn = reading.packetsIn;
    session.tunPacketsOut = reading.packetsOut;
    const std::lock_guard<std::mutex> lock(m_mutex);
    m_tunDevice = reading.name;
    m_packetsIn = static_cast<std::int64_t>(session.packetsBaseIn + session.tunPacketsIn);
    m_packetsOut = static_cast<std::int64_t>(session.packetsBaseOut + session.tunPacketsOut);
}

} // namespace lumen::engine
