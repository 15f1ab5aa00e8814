#include "vpn/engine/ProfilePolicy.h"

#include <algorithm>
#include <array>
#include <cstdlib>
#include <cstring>
#include <map>

#include <arpa/inet.h>

#include "core/PrintableText.h"

namespace lumen::engine
{

const std::string ProfilePolicy::inlineMarker = "[inline]";

namespace
{
enum class Kind
{
    None,
    Words,       // one of a blank-separated list
    Number,      // a decimal number in [min, max], or one of the words
    Host,        // a host name or an address
    Ipv4,        // a dotted IPv4 address, or one of the words
    Ipv6Prefix,  // an IPv6 address with an optional /bits
    Ipv6,        // an IPv6 address, or one of the words
    Device,      // tun or tap, optionally numbered
    Token,       // cipher, digest and curve names and lists
    Text,        // printable ASCII, blanks included: no control character and no byte above 0x7e; never opened
    FieldName,   // an HTTP header name: RFC 9110 token characters only
    HttpVersion, // digit.digit, as the request line carries it
    Hex,         // hexadecimal bytes, optionally colon-separated
    Marker,      // "[inline]": the content follows as a block
};

struct Check
{
    Kind kind = Kind::None;
    const char *words = "";
    long long min = 0;
    long long max = 0;
};

enum Flag : unsigned
{
    Line = 1,         // may be written as a line
    Block = 2,        // may be written as an inline block
    Content = 4,      // key material or credentials: a block, its line only the "[inline]" marker
    InConnection = 8, // allowed inside a <connection> block
};

struct Rule
{
    const char *name;
    int minArgs;
    int maxArgs;
    std::array<Check, 4> checks; // a check for each argument; the last given one covers further arguments
    unsigned flags;
};

constexpr Check words(const char *list)
{
    return {Kind::Words, list, 0, 0};
}

constexpr Check number(long long min, long long max, const char *alternatives = "")
{
    return {Kind::Number, alternatives, min, max};
}

constexpr Check kind(Kind k, const char *alternatives = "")
{
    return {k, alternatives, 0, 0};
}

constexpr long long maxSeconds = 31536000;
constexpr long long maxInt = 2147483647;
constexpr long long maxNumber = 999999999999999LL; // fifteen digits, as isDecimal() reads them
constexpr const char *clientProtocols = "udp udp4 udp6 tcp tcp4 tcp6 tcp-client tcp4-client tcp6-client";
constexpr const char *gatewayFlags = "local autolocal def1 bypass-dhcp bypass-dns block-local ipv6 !ipv4";
constexpr const char *dhcpOptions = "DOMAIN ADAPTER_DOMAIN_SUFFIX DOMAIN-SEARCH DNS DNS6 WINS NBDD NTP NBT NBS NBSCOPE "
                                    "DISABLE-NBT";

// The policy. Everything not listed here is refused: scripts, plugins, files to read or write, the management
// interface, listening, users, privileges, environment, options that change how the rest is read.
const Rule rules[] = {
    // connection
    {"client", 0, 0, {}, Line},
    {"tls-client", 0, 0, {}, Line},
    {"pull", 0, 0, {}, Line},
    {"nobind", 0, 0, {}, Line | InConnection},
    {"dev", 1, 1, {kind(Kind::Device)}, Line},
    {"dev-type", 1, 1, {words("tun tap")}, Line},
    {"topology", 1, 1, {words("net30 p2p subnet")}, Line},
    {"proto", 1, 1, {words(clientProtocols)}, Line | InConnection},
    {"remote", 1, 3, {kind(Kind::Host), number(1, 65535), words(clientProtocols)}, Line | InConnection},
    {"remote-random", 0, 0, {}, Line},
    {"remote-random-hostname", 0, 0, {}, Line},
    {"resolv-retry", 1, 1, {number(0, maxSeconds, "infinite")}, Line},
    {"connect-retry", 1, 2, {number(0, 86400), number(0, 86400)}, Line | InConnection},
    {"connect-retry-max", 1, 1, {number(1, 1000000)}, Line | InConnection},
    {"connect-timeout", 1, 1, {number(1, 3600)}, Line | InConnection},
    {"server-poll-timeout", 1, 1, {number(1, 3600)}, Line | InConnection},
    {"port", 1, 1, {number(1, 65535)}, Line | InConnection},
    {"rport", 1, 1, {number(1, 65535)}, Line | InConnection},
    {"float", 0, 0, {}, Line | InConnection},
    {"http-proxy", 2, 2, {kind(Kind::Host), number(1, 65535)}, Line | InConnection},
    {"http-proxy-option", 2, 3, {kind(Kind::Text)}, Line | InConnection}, // and one of its forms below
    {"socks-proxy", 1, 2, {kind(Kind::Host), number(1, 65535)}, Line | InConnection},
    {"explicit-exit-notify", 0, 1, {number(0, 10)}, Line | InConnection}, // tamed() lowers it
    // crypto and TLS: key material inline only
    {"ca", 1, 1, {kind(Kind::Marker)}, Line | Block | Content},
    {"cert", 1, 1, {kind(Kind::Marker)}, Line | Block | Content},
    {"key", 1, 1, {kind(Kind::Marker)}, Line | Block | Content},
    {"extra-certs", 1, 1, {kind(Kind::Marker)}, Line | Block | Content},
    {"pkcs12", 1, 1, {kind(Kind::Marker)}, Line | Block | Content},
    {"tls-auth", 1, 2, {kind(Kind::Marker), words("0 1")}, Line | Block | Content},
    {"tls-crypt", 1, 1, {kind(Kind::Marker)}, Line | Block | Content},
    {"tls-crypt-v2", 1, 1, {kind(Kind::Marker)}, Line | Block | Content},
    {"secret", 1, 2, {kind(Kind::Marker), words("0 1")}, Line | Block | Content},
    {"crl-verify", 1, 1, {kind(Kind::Marker)}, Line | Block | Content},
    {"dh", 1, 1, {kind(Kind::Marker, "none")}, Line | Block | Content},
    {"verify-hash", 1, 2, {kind(Kind::Hex), words("SHA1 SHA256")}, Line | Block},
    {"peer-fingerprint", 1, 1, {kind(Kind::Hex)}, Line | Block},
    {"key-direction", 1, 1, {words("0 1")}, Line | InConnection},
    {"remote-cert-tls", 1, 1, {words("server client")}, Line},
    {"remote-cert-ku", 0, 8, {kind(Kind::Hex)}, Line},
    {"remote-cert-eku", 1, 1, {kind(Kind::Text)}, Line},
    {"verify-x509-name", 1, 2, {kind(Kind::Text), words("subject name name-prefix")}, Line},
    {"tls-version-min", 1, 2, {words("1.0 1.1 1.2 1.3"), words("or-highest")}, Line},
    {"tls-version-max", 1, 1, {words("1.0 1.1 1.2 1.3")}, Line},
    {"tls-cipher", 1, 1, {kind(Kind::Token)}, Line},
    {"tls-ciphersuites", 1, 1, {kind(Kind::Token)}, Line},
    {"tls-groups", 1, 1, {kind(Kind::Token)}, Line},
    {"tls-cert-profile", 1, 1, {words("insecure legacy preferred suiteb")}, Line},
    {"ecdh-curve", 1, 1, {kind(Kind::Token)}, Line},
    {"cipher", 1, 1, {kind(Kind::Token)}, Line},
    {"data-ciphers", 1, 1, {kind(Kind::Token)}, Line},
    {"ncp-ciphers", 1, 1, {kind(Kind::Token)}, Line},
    {"data-ciphers-fallback", 1, 1, {kind(Kind::Token)}, Line},
    {"auth", 1, 1, {kind(Kind::Token)}, Line},
    {"reneg-sec", 1, 2, {number(0, maxInt), number(0, maxInt)}, Line},
    {"reneg-bytes", 1, 1, {number(0, maxNumber)}, Line},
    {"reneg-pkts", 1, 1, {number(0, maxNumber)}, Line},
    {"tls-timeout", 1, 1, {number(1, 3600)}, Line},
    {"hand-window", 1, 1, {number(1, 3600)}, Line},
    {"tran-window", 1, 1, {number(1, 3600)}, Line},
    {"replay-window", 1, 2, {number(0, 65536), number(0, 3600)}, Line},
    {"mute-replay-warnings", 0, 0, {}, Line},
    // session
    {"auth-user-pass", 0, 1, {kind(Kind::Marker)}, Line | Block | Content},
    {"auth-nocache", 0, 0, {}, Line},
    {"auth-retry", 1, 1, {words("none nointeract interact")}, Line},
    {"route-nopull", 0, 0, {}, Line},
    {"route",
     1,
     4,
     {kind(Kind::Host), kind(Kind::Ipv4, "default"), kind(Kind::Host), number(0, maxInt, "default")},
     Line},
    {"route-ipv6", 1, 3, {kind(Kind::Ipv6Prefix), kind(Kind::Ipv6, "default"), number(0, maxInt)}, Line},
    {"route-metric", 1, 1, {number(0, maxInt)}, Line},
    {"route-delay", 0, 2, {number(0, 3600), number(0, 3600)}, Line},
    {"route-gateway", 1, 1, {kind(Kind::Ipv4, "dhcp")}, Line},
    {"redirect-gateway", 0, 8, {words(gatewayFlags)}, Line},
    {"redirect-private", 0, 8, {words(gatewayFlags)}, Line},
    {"block-ipv6", 0, 0, {}, Line},
    {"dhcp-option", 1, 2, {words(dhcpOptions), kind(Kind::Host)}, Line},
    {"keepalive", 2, 2, {number(0, 86400), number(0, 86400)}, Line},
    {"ping", 1, 1, {number(0, 86400)}, Line},
    {"ping-restart", 1, 1, {number(0, 86400)}, Line},
    {"ping-exit", 1, 1, {number(0, 86400)}, Line},
    {"ping-timer-rem", 0, 0, {}, Line},
    {"inactive", 1, 2, {number(0, maxInt), number(0, maxInt)}, Line},
    {"tun-mtu", 1, 2, {number(68, 65535), number(68, 65535)}, Line | InConnection},
    {"tun-mtu-extra", 1, 1, {number(0, 65535)}, Line | InConnection},
    {"link-mtu", 1, 1, {number(68, 65535)}, Line | InConnection},
    {"mssfix", 0, 2, {number(0, 65535), words("mtu fixed")}, Line | InConnection},
    {"fragment", 1, 2, {number(68, 65535), words("mtu")}, Line | InConnection},
    {"mtu-disc", 1, 1, {words("no maybe yes")}, Line | InConnection},
    {"persist-key", 0, 0, {}, Line},
    {"persist-tun", 0, 0, {}, Line},
    {"comp-lzo", 1, 1, {words("no")}, Line},
    {"allow-compression", 1, 1, {words("no")}, Line},
    {"compress", 0, 1, {words("stub stub-v2")}, Line},
    {"verb", 1, 1, {number(0, maxNumber)}, Line}, // tamed() lowers it
    {"mute", 1, 1, {number(0, 1000000)}, Line},
    {"disable-dco", 0, 0, {}, Line},
    {"sndbuf", 1, 1, {number(0, 67108864)}, Line},
    {"rcvbuf", 1, 1, {number(0, 67108864)}, Line},
    {"tcp-nodelay", 0, 0, {}, Line},
    {"connection", 0, 0, {}, Block},
};

// The daemon sends these to the proxy as they stand: VERSION in the request line, AGENT as the User-Agent line,
// a custom header as "name: value", or a name given alone as a whole line of its own. Each form therefore has a
// fixed shape, and none can hold a line break or a byte a proxy might take for one.
const Rule proxyOptions[] = {
    {"VERSION", 1, 1, {kind(Kind::HttpVersion)}, 0},
    {"AGENT", 1, 1, {kind(Kind::Text)}, 0},
    {"CUSTOM-HEADER", 2, 2, {kind(Kind::FieldName), kind(Kind::Text)}, 0},
};

template <std::size_t count>
const Rule *findIn(const Rule (&table)[count], const std::string &name)
{
    for (const Rule &rule : table) {
        if (name == rule.name) {
            return &rule;
        }
    }
    return nullptr;
}

const Rule *findRule(const std::string &name)
{
    return findIn(rules, name);
}

// A name or argument as it may appear in a message: printable, short.
std::string shown(const std::string &text)
{
    constexpr std::size_t maxShown = 40;
    const std::string out = printableText(text.substr(0, maxShown));
    return text.size() > maxShown ? out + "..." : out;
}

std::string where(int line)
{
    return " (line " + std::to_string(line) + ")";
}

bool inList(const std::string &value, const char *list)
{
    const std::string all = list;
    std::size_t pos = 0;
    while (pos <= all.size()) {
        std::size_t end = all.find(' ', pos);
        if (end == std::string::npos) {
            end = all.size();
        }
        if (end > pos && all.compare(pos, end - pos, value) == 0 && value.size() == end - pos) {
            return true;
        }
        pos = end + 1;
    }
    return false;
}

// ASCII only, whatever locale the program runs in.
bool isAlnum(unsigned char c)
{
    return (c >= '0' && c <= '9') || (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z');
}

// RFC 9110 tchar.
bool isTokenChar(unsigned char c)
{
    return isAlnum(c) || (c != '\0' && std::strchr("!#$%&'*+-.^_`|~", c) != nullptr);
}

bool isHexDigit(unsigned char c)
{
    return (c >= '0' && c <= '9') || (c >= 'a' && c <= 'f') || (c >= 'A' && c <= 'F');
}

bool onlyOf(const std::string &value, bool (*allowed)(unsigned char), std::size_t maxLength)
{
    if (value.empty() || value.size() > maxLength) {
        return false;
    }
    return std::all_of(
        value.begin(), value.end(), [allowed](char c) { return allowed(static_cast<unsigned char>(c)); });
}

bool isDecimal(const std::string &value, long long min, long long max)
{
    if (value.empty() || value.size() > 15
        || !std::all_of(value.begin(), value.end(), [](char c) { return c >= '0' && c <= '9'; })) {
        return false;
    }
    const long long n = std::strtoll(value.c_str(), nullptr, 10);
    return n >= min && n <= max;
}

bool isIpv4(const std::string &value)
{
    in_addr address = {};
    return value.size() <= 15 && inet_pton(AF_INET, value.c_str(), &address) == 1;
}

bool isIpv6(const std::string &value)
{
    in6_addr address = {};
    return value.size() <= 45 && inet_pton(AF_INET6, value.c_str(), &address) == 1;
}

bool isHost(const std::string &value)
{
    const bool chars = onlyOf(
        value, [](unsigned char c) { return isAlnum(c) || c == '.' || c == '-' || c == '_' || c == ':'; }, 253);
    return chars && value.front() != '-' && value.front() != '.';
}

bool matches(const std::string &value, const Check &check)
{
    const bool alternative = check.words[0] != '\0' && inList(value, check.words);
    switch (check.kind) {
    case Kind::None:
        return false;
    case Kind::Words:
        return alternative;
    case Kind::Number:
        return alternative || isDecimal(value, check.min, check.max);
    case Kind::Host:
        return isHost(value);
    case Kind::Ipv4:
        return alternative || isIpv4(value);
    case Kind::Ipv6:
        return alternative || isIpv6(value);
    case Kind::Ipv6Prefix: {
        const std::size_t slash = value.find('/');
        if (slash == std::string::npos) {
            return isIpv6(value);
        }
        return isIpv6(value.substr(0, slash)) && isDecimal(value.substr(slash + 1), 0, 128);
    }
    case Kind::Device: {
        if (value.size() < 3 || value.size() > 6
            || (value.compare(0, 3, "tun") != 0 && value.compare(0, 3, "tap") != 0)) {
            return false;
        }
        return std::all_of(value.begin() + 3, value.end(), [](char c) { return c >= '0' && c <= '9'; });
    }
    case Kind::Token:
        return onlyOf(
                   value,
                   [](unsigned char c) {
                       return isAlnum(c) || c == '-' || c == '_' || c == '.' || c == ':' || c == '+' || c == '!'
                              || c == '@' || c == '=';
                   },
                   200)
               && value.front() != '-';
    case Kind::Text:
        return onlyOf(
            value, [](unsigned char c) { return c >= 0x20 && c < 0x7f; }, 200);
    case Kind::FieldName:
        return onlyOf(value, isTokenChar, 200);
    case Kind::HttpVersion:
        return value.size() == 3 && value[0] >= '0' && value[0] <= '9' && value[1] == '.' && value[2] >= '0'
               && value[2] <= '9';
    case Kind::Hex:
        return onlyOf(
            value, [](unsigned char c) { return isHexDigit(c) || c == ':'; }, 200);
    case Kind::Marker:
        return alternative || value == ProfilePolicy::inlineMarker;
    }
    return false;
}

// Writes one directive as a line: the name as the table spells it, every argument quoted.
std::string lineOf(const std::string &name, const std::vector<std::string> &args)
{
    std::string line = name;
    for (const std::string &arg : args) {
        line += " \"";
        for (const char c : arg) {
            if (c == '\\' || c == '"') {
                line += '\\';
            }
            line += c;
        }
        line += '"';
    }
    return line + '\n';
}

constexpr long long maxVerb = 4;         // from 5 on the daemon logs every packet
constexpr long long minRetrySeconds = 1; // the daemon's default pause between tries
// A stop gives the daemon 5 s before it is killed; it spends this long telling the server it goes, and a little more.
constexpr long long maxExitNotifySeconds = 3;

// A number the rules accepted, brought into [low, high].
std::string within(const std::string &value, long long low, long long high)
{
    return std::to_string(std::clamp(std::strtoll(value.c_str(), nullptr, 10), low, high));
}

// Values the daemon would take as they stand but that would have it log every packet, reconnect without pause, outlast
// a stop's grace saying goodbye, or open a tun or tap device that exists already: written as the nearest value that
// does none of that, so that the profile still connects.
std::vector<std::string> tamed(const std::string &name, std::vector<std::string> args)
{
    if (name == "dev") {
        // "tun" or "tap" alone has the kernel make a new device.
        args.front().resize(3);
    } else if (name == "verb") {
        args.front() = within(args.front(), 0, maxVerb);
    } else if (name == "connect-retry") {
        for (std::string &seconds : args) {
            seconds = within(seconds, minRetrySeconds, maxNumber);
        }
    } else if (name == "explicit-exit-notify" && !args.empty()) {
        args.front() = within(args.front(), 0, maxExitNotifySeconds);
    }
    return args;
}

class Builder
{
public:
    explicit Builder(const std::vector<ProfileDirective> &directives)
        : m_directives(directives)
    {}

    ProfilePolicy::Result run()
    {
        ProfilePolicy::Result result;
        for (const ProfileDirective &directive : m_directives) {
            if (directive.isInline && ProfilePolicy::takesContent(directive.name) && ++m_blocks[directive.name] > 1) {
                result.verdict = ProfilePolicy::Verdict::GivenTwice;
                result.error = "'" + directive.name + "' is given more than once" + where(directive.line);
                return result;
            }
        }
        for (const ProfileDirective &directive : m_directives) {
            if (!add(directive)) {
                result.error = m_error;
                return result;
            }
        }
        result.verdict = ProfilePolicy::Verdict::Accepted;
        result.profile = m_out;
        return result;
    }

private:
    bool refuse(const std::string &message, int line)
    {
        m_error = message + where(line);
        return false;
    }

    bool add(const ProfileDirective &directive)
    {
        const Rule *rule = findRule(directive.name);
        if (!rule) {
            return refuse("the directive '" + shown(directive.name) + "' is not allowed", directive.line);
        }
        if (directive.isInline) {
            if (!(rule->flags & Block)) {
                return refuse("the block <" + directive.name + "> is not allowed", directive.line);
            }
            return directive.name == "connection" ? addConnection(directive) : addBlock(directive);
        }
        if (!(rule->flags & Line)) {
            return refuse("'" + directive.name + "' must be a block", directive.line);
        }
        if (!checkArguments(*rule, directive)) {
            return false;
        }
        if (rule->flags & Content) {
            return addContentLine(directive);
        }
        return emit(lineOf(directive.name, tamed(directive.name, directive.args)), directive);
    }

    bool checkArguments(const Rule &rule, const ProfileDirective &directive)
    {
        const int count = static_cast<int>(directive.args.size());
        if (count < rule.minArgs || count > rule.maxArgs) {
            const std::string expected = rule.minArgs == rule.maxArgs
                                             ? std::to_string(rule.minArgs)
                                             : std::to_string(rule.minArgs) + " to " + std::to_string(rule.maxArgs);
            return refuse("the directive '" + directive.name + "' takes " + expected + " argument"
                              + (rule.maxArgs == 1 ? "" : "s") + ", not " + std::to_string(count),
                          directive.line);
        }
        for (std::size_t i = 0; i < directive.args.size(); ++i) {
            std::size_t index = std::min<std::size_t>(i, rule.checks.size() - 1);
            while (index > 0 && rule.checks[index].kind == Kind::None) {
                --index;
            }
            const std::string &arg = directive.args[i];
            if (matches(arg, rule.checks[index])) {
                continue;
            }
            if ((rule.flags & Content) && i == 0) {
                return refuse("'" + directive.name + "' names the file '" + shown(arg)
                                  + "'; the profile must carry it inline",
                              directive.line);
            }
            return refuse("the directive '" + directive.name + "' does not accept '" + shown(arg) + "'",
                          directive.line);
        }
        if (&rule == findRule("http-proxy-option")) {
            // The first argument names the form the rest must take.
            const Rule *form = findIn(proxyOptions, directive.args.front());
            ProfileDirective rest = directive;
            rest.name += " " + rest.args.front();
            rest.args.erase(rest.args.begin());
            return form ? checkArguments(*form, rest)
                        : refuse("the directive '" + directive.name + "' does not accept '"
                                     + shown(directive.args.front()) + "'",
                                 directive.line);
        }
        return true;
    }

    // The line of a block directive: "[inline]" pointing at its block, or a form that needs none.
    bool addContentLine(const ProfileDirective &directive)
    {
        const std::string &name = directive.name;
        const bool hasBlock = m_blocks.count(name) > 0;
        if (name == "auth-user-pass" && directive.args.empty()) {
            // Without a block the daemon asks for the credentials over the management interface.
            if (!hasBlock && !m_promptWritten) {
                m_promptWritten = true;
                return emit(lineOf(name, {}), directive);
            }
            return true;
        }
        if (name == "dh" && directive.args.front() == "none") {
            return emit(lineOf(name, directive.args), directive);
        }
        if (!hasBlock) {
            return refuse("'" + name + " " + ProfilePolicy::inlineMarker + "' has no <" + name + "> block",
                          directive.line);
        }
        if (directive.args.size() == 2) {
            // "tls-auth [inline] 1" sets the key direction, as the directive of its own does.
            return emit(lineOf("key-direction", {directive.args[1]}), directive);
        }
        return true;
    }

    bool addBlock(const ProfileDirective &directive)
    {
        std::string body;
        for (std::size_t i = 0; i < directive.body.size(); ++i) {
            const char c = directive.body[i];
            const auto byte = static_cast<unsigned char>(c);
            if (c == '\r' && i + 1 < directive.body.size() && directive.body[i + 1] == '\n') {
                continue;
            }
            if ((byte < 0x20 && c != '\n' && c != '\t') || byte == 0x7f) {
                return refuse("the block <" + directive.name + "> contains a control character", directive.line);
            }
            body += c;
        }
        if (body.find_first_not_of(" \t\n") == std::string::npos) {
            return refuse("the block <" + directive.name + "> is empty", directive.line);
        }
        if (body.back() != '\n') {
            body += '\n';
        }
        if (ProfileParser::closesBlock(body, directive.name)) {
            return refuse("the block <" + directive.name + "> would end early", directive.line);
        }
        m_out += "<" + directive.name + ">\n" + body + "</" + directive.name + ">\n";
        return true;
    }

    bool addConnection(const ProfileDirective &connection)
    {
        std::string lines;
        int remotes = 0;
        for (const ProfileDirective &child : connection.children) {
            const Rule *rule = findRule(child.name);
            if (!rule || !(rule->flags & InConnection)) {
                return refuse("the directive '" + shown(child.name) + "' is not allowed in a <connection> block",
                              child.line);
            }
            if (!checkArguments(*rule, child)) {
                return false;
            }
            const std::string line = lineOf(child.name, tamed(child.name, child.args));
            if (line.size() > ProfileParser::maxLineBytes) {
                return refuse("the directive '" + child.name + "' is too long", child.line);
            }
            lines += line;
            remotes += child.name == "remote" ? 1 : 0;
        }
        if (remotes != 1) {
            return refuse("a <connection> block needs exactly one 'remote'", connection.line);
        }
        m_out += "<connection>\n" + lines + "</connection>\n";
        return true;
    }

    bool emit(const std::string &line, const ProfileDirective &directive)
    {
        if (line.size() > ProfileParser::maxLineBytes) {
            return refuse("the directive '" + directive.name + "' is too long", directive.line);
        }
        m_out += line;
        return true;
    }

    const std::vector<ProfileDirective> &m_directives;
    std::map<std::string, int> m_blocks;
    bool m_promptWritten = false;
    std::string m_out;
    std::string m_error;
};
} // namespace

ProfilePolicy::Result ProfilePolicy::rebuild(const std::vector<ProfileDirective> &directives)
{
    return Builder(directives).run();
}

bool ProfilePolicy::takesContent(const std::string &name)
{
    const Rule *rule = findRule(name);
    return rule && (rule->flags & Content);
}

bool ProfilePolicy::namesFile(const ProfileDirective &directive)
{
    if (directive.isInline || !takesContent(directive.name) || directive.args.empty()) {
        return false;
    }
    const std::string &first = directive.args.front();
    return first != inlineMarker && !(directive.name == "dh" && first == "none");
}

} // namespace lumen::engine
