#include "tests/support/ProfileSamples.h"

namespace ProfileSamples
{

namespace
{
const QByteArray prefix = "client\ndev tun\nremote 10.0.0.1 1194\n<ca>\nCA\n</ca>\n";
const QByteArray byteOrderMark = "\xEF\xBB\xBF";

QString notAllowed(const QString &name, int line = 7)
{
    return QStringLiteral("the directive '%1' is not allowed (line %2)").arg(name).arg(line);
}

QByteArray blocks(const Material &m)
{
    return "<ca>\n" + m.ca + "</ca>\n<tls-crypt>\n" + m.tlsCrypt + "</tls-crypt>\n";
}

QByteArray remoteLine(const Material &m)
{
    return "remote " + m.host + ' ' + m.port + '\n';
}
} // namespace

QList<Sample> hostile()
{
    QList<Sample> rows = {
        // The daemon drops "setenv opt" and applies what follows.
        {"setenv opt up", prefix + "setenv opt up /tmp/x.sh\n", notAllowed("setenv")},
        {"setenv opt script-security", prefix + "setenv opt script-security 2\n", notAllowed("setenv")},
        {"setenv opt writepid", prefix + "setenv opt writepid /etc/ld.so.preload\n", notAllowed("setenv")},
        {"setenv opt config", prefix + "setenv opt config /tmp/other.conf\n", notAllowed("setenv")},
        {"setenv opt log-append", prefix + "setenv opt log-append /etc/cron.d/x\n", notAllowed("setenv")},
        {"setenv opt plugin", prefix + "setenv opt plugin /tmp/x.so\n", notAllowed("setenv")},
        {"setenv FORWARD_COMPATIBLE", prefix + "setenv FORWARD_COMPATIBLE 1\n", notAllowed("setenv")},
        {"setenv-safe", prefix + "setenv-safe X y\n", notAllowed("setenv-safe")},
        {"ignore-unknown-option", prefix + "ignore-unknown-option up\n", notAllowed("ignore-unknown-option")},
        // A closing quote ends a word; quotes do not glue words together.
        {"adjacent quoted words", prefix + "\"script-security\"\"2\"\n", notAllowed("script-security")},
        {"quoted name glued to a command", prefix + "\"up\"\"/bin/sh -c id\"\n", notAllowed("up")},
        {"single-quoted name glued to a path", prefix + "'up'/tmp/x.sh\n", notAllowed("up")},
        {"quote closing inside a word", prefix + "\"u\"p /tmp/x\n", notAllowed("u")},
        {"escaped blank inside a name", prefix + "up\\ /bin/sh\n", notAllowed("up /bin/sh")},
        {"quote glued after an argument",
         prefix + "remote 10.0.0.2 \"1194\"up\n",
         "the directive 'remote' does not accept 'up' (line 7)"},
        {"tab between name and argument", prefix + "up\t/bin/sh\n", notAllowed("up")},
        {"dashes before the name", prefix + "--up /bin/sh\n", notAllowed("up")},
        {"quoted dashes before the name", prefix + "\"--script-security\" 2\n", notAllowed("script-security")},
        {"name in another case", prefix + "UP /bin/sh\n", notAllowed("UP")},
        {"escaped quotes around the name", prefix + "\\\"up\\\" /bin/sh\n", notAllowed("\"up\"")},
        {"comment mark inside a word", prefix + "dev tun#x\n", "the directive 'dev' does not accept 'tun#x' (line 7)"},
        {"bad backslash", prefix + "u\\p /bin/sh\n", "line 7: a backslash may only escape"},
        {"unterminated quote", prefix + "up \"/bin/sh\n", "line 7: no closing quotation"},
        {"line ending in a backslash", prefix + "up /bin/sh\\", "line 7: the line ends in a backslash"},
        {"escaped line break in an argument",
         prefix + "verify-x509-name abc\\\n",
         "the directive 'verify-x509-name' does not accept 'abc\\x0A' (line 7)"},
        {"CR LF lines", prefix + "remote 10.0.0.2 1194\r\nup /bin/sh\r\n", notAllowed("up", 8)},
        // The daemon skips a byte-order mark at the start only.
        {"byte-order mark before a refused directive",
         byteOrderMark + "script-security 2\n" + prefix,
         notAllowed("script-security", 1)},
        {"byte-order mark on a later line", prefix + byteOrderMark + "client\n", notAllowed("\\xEF\\xBB\\xBFclient")},
        // A block ends at the first line that starts with its closing tag, whatever follows on it.
        {"text after a closing tag", prefix + "<secret>\nK\n</secret>junk\nup /bin/sh\n", notAllowed("up", 10)},
        {"closing tag after blanks",
         prefix + "<tls-crypt>\nK\n   </tls-crypt> x\nscript-security 2\n",
         notAllowed("script-security", 10)},
        {"closing tag where a long line is cut",
         prefix + "<extra-certs>\n" + QByteArray(255, 'A') + "</extra-certs>\nup /bin/sh\n",
         notAllowed("up", 9)},
        {"text after the closing tag of a connection",
         prefix + "<connection>\nremote 10.0.0.2\n</connection>x\nup /bin/sh\n",
         notAllowed("up", 10)},
        // <connection> bodies go through the same policy.
        {"refused directive in a connection",
         prefix + "<connection>\nremote 10.0.0.2 1194\nup /bin/sh\n</connection>\n",
         "the directive 'up' is not allowed in a <connection> block (line 9)"},
        {"setenv in a connection",
         prefix + "<connection>\nremote 10.0.0.2\nsetenv opt up /bin/sh\n</connection>\n",
         "the directive 'setenv' is not allowed in a <connection> block (line 9)"},
        {"listening port in a connection",
         prefix + "<connection>\nremote 10.0.0.2\nlport 1194\n</connection>\n",
         "the directive 'lport' is not allowed in a <connection> block (line 9)"},
        {"block in a connection",
         prefix + "<connection>\nremote 10.0.0.2\n<up>\n/bin/sh\n</up>\n</connection>\n",
         "line 9: a <connection> block cannot hold the block <up>"},
        {"connection without a remote",
         prefix + "<connection>\nnobind\n</connection>\n",
         "a <connection> block needs exactly one 'remote' (line 7)"},
        {"connection with two remotes",
         prefix + "<connection>\nremote 10.0.0.2\nremote 10.0.0.3\n</connection>\n",
         "a <connection> block needs exactly one 'remote' (line 7)"},
        {"connection as a line", prefix + "connection\n", "'connection' must be a block (line 7)"},
        // Directives that read or write files, listen, or change the daemon's mode.
        {"proxy credentials from a root file",
         prefix + "http-proxy proxy.example 8080 /etc/shadow basic\n",
         "the directive 'http-proxy' takes 2 arguments, not 4 (line 7)"},
        {"socks proxy credentials file",
         prefix + "socks-proxy proxy.example 1080 /etc/shadow\n",
         "the directive 'socks-proxy' takes 1 to 2 arguments, not 3 (line 7)"},
        // The daemon writes proxy options to the proxy as they stand: a header name alone is a line of its own.
        {"header name alone",
         prefix + "http-proxy 127.0.0.1 6379\nhttp-proxy-option CUSTOM-HEADER \"EVAL \\\"x\\\" 0\"\n",
         "the directive 'http-proxy-option CUSTOM-HEADER' takes 2 arguments, not 1 (line 8)"},
        {"header name alone in a connection",
         prefix + "<connection>\nremote 10.0.0.2\nhttp-proxy-option CUSTOM-HEADER QUIT\n</connection>\n",
         "'http-proxy-option CUSTOM-HEADER' takes 2 arguments, not 1 (line 9)"},
        {"header name not a token", prefix + "http-proxy-option CUSTOM-HEADER Host: x\n", "does not accept 'Host:'"},
        {"line break in a header value", prefix + "http-proxy-option CUSTOM-HEADER X a\\\n", "not accept 'a\\x0A'"},
        {"NEL in a header value", prefix + "http-proxy-option CUSTOM-HEADER X a\xC2\x85\n", "accept 'a\\xC2\\x85'"},
        {"agent of two words", prefix + "http-proxy-option AGENT a b\n", "takes 1 argument, not 2"},
        {"version of the request line", prefix + "http-proxy-option VERSION \"1.1 x\"\n", "not accept '1.1 x'"},
        {"genkey over a file", prefix + "genkey secret /etc/passwd\n", notAllowed("genkey")},
        {"device node", prefix + "dev-node /dev/sda\n", notAllowed("dev-node")},
        {"mktun", prefix + "mktun\n", notAllowed("mktun")},
        {"rmtun", prefix + "rmtun\n", notAllowed("rmtun")},
        {"server mode", prefix + "mode server\n", notAllowed("mode")},
        {"listening protocol",
         prefix + "proto tcp-server\n",
         "the directive 'proto' does not accept 'tcp-server' (line 7)"},
        {"listening protocol of a remote",
         prefix + "remote 10.0.0.2 1194 tcp-server\n",
         "the directive 'remote' does not accept 'tcp-server' (line 7)"},
        {"local port", prefix + "lport 1194\n", notAllowed("lport")},
        {"local address", prefix + "local 0.0.0.0\n", notAllowed("local")},
        {"bind", prefix + "bind\n", notAllowed("bind")},
        {"replay-persist", prefix + "replay-persist /etc/x\n", notAllowed("replay-persist")},
        {"verb not a number", prefix + "verb 4x\n", "the directive 'verb' does not accept '4x' (line 7)"},
        {"pull-filter", prefix + "pull-filter accept route\n", notAllowed("pull-filter")},
        {"compression", prefix + "comp-lzo yes\n", "the directive 'comp-lzo' does not accept 'yes' (line 7)"},
        {"allowed compression",
         prefix + "allow-compression yes\n",
         "the directive 'allow-compression' does not accept"},
        {"path as a route gateway",
         prefix + "route 10.9.0.0 255.255.0.0 /etc/passwd\n",
         "the directive 'route' does not accept '/etc/passwd' (line 7)"},
        {"device other than tun or tap", prefix + "dev eth0\n", "the directive 'dev' does not accept 'eth0' (line 7)"},
        {"key direction out of range",
         prefix + "key-direction 2\n",
         "the directive 'key-direction' does not accept '2'"},
        // Key material and credentials come inline, once.
        {"marker without its block",
         prefix + "tls-crypt [inline]\n",
         "'tls-crypt [inline]' has no <tls-crypt> block (line 7)"},
        {"credentials marker without its block",
         prefix + "auth-user-pass [inline]\n",
         "'auth-user-pass [inline]' has no <auth-user-pass> block (line 7)"},
        {"key material given twice", prefix + "<ca>\nB\n</ca>\n", "'ca' is given more than once (line 7)"},
        {"refused directive as a block", prefix + "<up>\n/bin/sh\n</up>\n", notAllowed("up")},
        {"line directive as a block",
         prefix + "<remote>\n10.0.0.2\n</remote>\n",
         "the block <remote> is not allowed (line 7)"},
        {"empty tag", prefix + "<>\nx\n</>\n", notAllowed("")},
        {"control character in a block",
         prefix + "<tls-crypt>\nA\x1b[2J\n</tls-crypt>\n",
         "the block <tls-crypt> contains a control character (line 7)"},
        {"empty block", prefix + "<tls-crypt>\n</tls-crypt>\n", "the block <tls-crypt> is empty (line 7)"},
        {"unclosed block", prefix + "<tls-crypt>\nA\n", "line 7: the block <tls-crypt> is not closed"},
        // What the daemon would cut or stop at.
        {"line longer than the daemon reads",
         prefix + "# " + QByteArray(300, 'x') + "\nup /bin/sh\n",
         "line 7 is longer than 254 characters"},
        {"NUL byte", prefix + QByteArray("up /bin/sh", 10) + '\0' + " x\n", "the profile contains a NUL byte"},
    };
    // Programs, plugins, files of the machine, the management interface, users and privileges.
    const char *const refused[] = {
        "up /tmp/x",
        "down /tmp/x",
        "route-up /tmp/x",
        "route-pre-down /tmp/x",
        "ipchange /tmp/x",
        "tls-verify /tmp/x",
        "learn-address /tmp/x",
        "client-connect /tmp/x",
        "plugin /tmp/x.so",
        "script-security 2",
        "management /tmp/m unix",
        "management-client",
        "log /etc/x",
        "log-append /etc/x",
        "writepid /etc/x",
        "status /etc/x",
        "config /etc/x.conf",
        "cd /tmp",
        "chroot /tmp",
        "daemon",
        "tmp-dir /tmp",
        "askpass /etc/shadow",
        "iproute /tmp/ip",
        "tls-export-cert /tmp",
        "capath /etc/ssl",
        "pkcs11-providers /x.so",
        "providers legacy",
        "engine dynamic",
        "user root",
        "group root",
        "tls-crypt-v2-verify /x",
        "auth-user-pass-verify /x via-env",
        "http-proxy-user-pass /etc/shadow",
        "static-challenge x 1",
        "push-peer-info",
        "allow-recursive-routing",
        "route-noexec",
        "ifconfig 10.0.0.2 10.0.0.1",
        "echo x",
        "keying-material-exporter EXPORTER 32",
        "tls-server",
        "server 10.8.0.0 255.255.255.0",
        "client-config-dir /etc",
        "auth-gen-token-secret /x",
        "x509-username-field CN",
        "dns server 0 address 10.0.0.1",
        "remap-usr1 SIGHUP",
        "mlock",
    };
    for (const char *line : refused) {
        const QByteArray text(line);
        const QString name = QString::fromLatin1(text.left(text.indexOf(' ') < 0 ? text.size() : text.indexOf(' ')));
        rows.append({QStringLiteral("refused ") + name, prefix + text + '\n', notAllowed(name)});
    }
    return rows;
}

QList<Sample> valid(const Material &m)
{
    const QByteArray common = "client\ndev tun\nproto " + m.proto + '\n' + remoteLine(m)
                              + "nobind\nremote-cert-tls server\nconnect-retry 1 5\n";
    QByteArray crlf = byteOrderMark + "# generated for the device network\r\n; second comment\r\n\r\n" + common
                      + "auth-user-pass   # asked over the management interface\r\n" + blocks(m);
    crlf.replace("\r\n", "\n").replace("\n", "\r\n");
    const QByteArray exitNotify = m.proto.startsWith("udp") ? "explicit-exit-notify 1\n" : "";

    return {
        {"inline blocks", common + "auth-user-pass\n" + blocks(m), ""},
        {"[inline] markers before their blocks",
         common + "ca [inline]\ntls-crypt [inline]\nauth-user-pass\n" + blocks(m),
         ""},
        {"credentials line followed by its block",
         common + "auth-user-pass\n<auth-user-pass>\n" + m.user + '\n' + m.password + "\n</auth-user-pass>\n"
             + blocks(m),
         ""},
        {"connection blocks",
         "client\ndev tun\nremote-cert-tls server\nconnect-retry 1 5\nauth-user-pass\n"
         "<connection>\nremote 127.0.0.1 9 tcp-client\nconnect-timeout 5\n</connection>\n"
         "<connection>\nremote "
             + m.host + ' ' + m.port + ' ' + m.proto + "\nnobind\n</connection>\n" + blocks(m),
         ""},
        {"CR LF, comments, blank lines and a byte-order mark", crlf, ""},
        {"dashes and quotes",
         "--client\n\"dev\" tun\nproto '" + m.proto + "'\nremote \"" + m.host + "\" '" + m.port
             + "'\n  nobind\n\tremote-cert-tls server\nverify-x509-name 'server' name\nauth-user-pass\n" + blocks(m),
         ""},
        {"a typical client profile",
         common
             + "resolv-retry infinite\npersist-key\npersist-tun\ndata-ciphers "
               "AES-256-GCM:AES-128-GCM:CHACHA20-POLY1305\n"
               "auth SHA256\ntls-version-min 1.2\nverb 3\nmute 20\nauth-nocache\nkeepalive 10 60\nreneg-sec 0\n"
               "auth-retry interact\n"
             + exitNotify + "auth-user-pass\n" + blocks(m),
         ""},
    };
}

} // namespace ProfileSamples
