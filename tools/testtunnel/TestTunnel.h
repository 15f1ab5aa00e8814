#pragma once

#include <QProcess>
#include <QString>
#include <QStringList>
#include <QTemporaryDir>

// A real OpenVPN 2 server in a network namespace of its own, reached over a veth pair, with a tiny PKI and
// a user name/password check, for tests that run a real tunnel. Main thread; owned by the test that made it.
// Call isolateProcess() first thing in main(): the test then runs in a network and mount namespace of its own,
// so neither the client's tunnel nor the veth pair touch the host, and all of it goes when the process ends.
class TestTunnel
{
    Q_DISABLE_COPY_MOVE(TestTunnel)

public:
    enum class Protocol
    {
        Udp,
        Tcp,
        Udp6 // UDP over IPv6: the pair has IPv6 addresses too, and the server listens on its own
    };

    enum class ProfileStyle
    {
        Inline,         // ca and tls-crypt key inside the profile
        FileReferences, // ca, cert, key and tls-crypt key next to the profile, referenced by name
        CredentialsFile // as FileReferences, and the user name and password in credentials.txt next to it
    };

    explicit TestTunnel(Protocol protocol = Protocol::Udp);
    ~TestTunnel();

    // Moves this process into fresh network and mount namespaces; must run before any thread exists.
    // Returns an empty string, or why it could not be done.
    static QString isolateProcess();
    static bool isProcessIsolated();
    // Empty when tunnels can be built here; otherwise the reason (for QSKIP).
    static QString unavailableReason();
    // Removes namespaces left by earlier runs that were killed (same prefix, owning process gone).
    static void removeLeftovers();

    // Before start(): the server also listens on an address of its own that we reach through the veth pair as
    // our default gateway, as a server on the Internet is reached (instead of on the pair itself). An IPv6 server
    // keeps its address on the pair; the pair is our IPv4 default gateway all the same.
    void setBehindGateway(bool behind);
    // Before start() or startServer(): options the server pushes to its clients ("route 10.1.0.0 255.255.0.0").
    void setPushedOptions(const QStringList &options);
    // Before start(): the common name of the server's certificate, which the client's daemon writes into its log.
    void setServerName(const QString &name);

    // Makes the PKI, the namespace and the veth pair, and starts the server.
    [[nodiscard]] bool start();
    QString errorString() const;

    Protocol protocol() const;
    QString namespaceName() const;
    QString hostAddress() const;         // our end of the veth pair
    QString serverAddress() const;       // the server's end of the veth pair
    QString remoteAddress() const;       // where the server's daemon listens and the client connects (IPv6 for Udp6)
    QString serverTunnelAddress() const; // the server inside the tunnel: the device address seen through it
    quint16 serverPort() const;
    QString user() const;
    QString password() const;
    // The pair the server accepts from now on.
    [[nodiscard]] bool setAcceptedCredentials(const QString &user, const QString &password);

    QString profileText() const; // inline style
    // Writes client.ovpn (and for the file styles its files) into folder; returns the profile's path or empty.
    QString writeProfile(const QString &folder, ProfileStyle style = ProfileStyle::Inline) const;
    QString pkiFolder() const;

    [[nodiscard]] bool startServer();
    void killServer();
    bool isServerRunning() const;
    QString serverLog();

    // Runs a command inside the server's namespace and waits for it (up to 30 s).
    [[nodiscard]] bool runInNamespace(const QStringList &command, QString *output = nullptr);

private:
    bool makePki();
    bool makeNetwork();
    bool makeVethPair();
    void removeNetwork();
    bool run(const QString &program, const QStringList &arguments, QString *output = nullptr);
    bool fail(const QString &error);
    QString clientProfile(ProfileStyle style) const;
    QString ipv6Address(int end) const; // of the pair, for Udp6: 1 is our end, 2 the server's

    Protocol m_protocol;
    int m_index = 0;
    QTemporaryDir m_dir;
    QString m_namespace;
    QString m_hostLink;
    QString m_serverLink;
    QString m_user = QStringLiteral("alice");
    QString m_password = QStringLiteral("s3cret \"quoted\" \\ back");
    QString m_error;
    QProcess m_server;
    QString m_serverLog;
    bool m_networkMade = false;
    bool m_behindGateway = false;
    QStringList m_pushed;
    QString m_serverName = QStringLiteral("server");
};
