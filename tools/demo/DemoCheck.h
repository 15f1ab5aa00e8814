#pragma once

#include <QObject>
#include <QString>

class DevToolsPage;

// Walks the main road of the running program through its page, as a user would: log in, open a domain, connect a
// device, watch the traffic box, make a virtual serial port and echo bytes through it, log out; then log in and
// connect again, and leave the program so for its end to take everything down. Reaches the page through the engine's
// remote debugging port and reads the program's state only as the page does, over its channel.
// Main thread; made and run by main().
class DemoCheck : public QObject
{
    Q_OBJECT
    Q_DISABLE_COPY_MOVE(DemoCheck)

public:
    struct Options
    {
        QString username;
        QString password;
        int deviceId = -1;
        QString deviceIp;
        quint16 echoPort = 0;
        // The program's remote debugging port on loopback.
        quint16 devToolsPort = 0;
        // Where the serial pair tool puts the pair links.
        QString serialFolder;
        QString screenshotFolder;
    };

    explicit DemoCheck(const Options &options, QObject *parent = nullptr);
    ~DemoCheck() override;

    // Runs every step in order; stops at the first that fails. Returns the process exit code.
    int run();

private:
    bool login();
    bool openDomain();
    bool connectDevice();
    bool trafficFlows();
    bool serialEcho();
    bool logout();
    bool connectAgain();

    bool enterCredentials();
    bool echoThroughPort(const QString &step);
    bool report(const QString &step, bool ok, const QString &detail = QString());
    void screenshot(const QString &name);
    // Bytes the traffic box shows for "in" or "out", or -1 when it shows nothing readable.
    qint64 shownBytes(const QString &box);
    int domainOfDevice();
    int vpnStatus();

    Options m_options;
    DevToolsPage *m_driver = nullptr;
    QString m_serialName;
    int m_screenshots = 0;
    bool m_screenshotsSaved = true;
};
