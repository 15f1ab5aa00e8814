#pragma once

#include <QJsonArray>
#include <QJsonObject>
#include <QString>

#include "tools/testportal/TestPortal.h"

// A test portal on loopback that the program's settings point at, for tests that log in.
// Lives on the test's GUI thread for one test function.
class PortalSession
{
    Q_DISABLE_COPY_MOVE(PortalSession)

public:
    PortalSession();
    ~PortalSession();

    // Starts the portal with the data and stores its address as the portal base address.
    [[nodiscard]] bool start(const QJsonObject &data);
    // The same, with alice/secret stored as an earlier login leaves them: the program logs in by itself.
    [[nodiscard]] bool startLoggedIn(const QJsonObject &data);
    TestPortal &portal();
    int requestCount(TestPortal::Route route) const;

    // Credentials as a successful earlier login leaves them, so the next start logs in by itself.
    static void storeCredentials(const QString &username, const QString &password);
    static void storeLastDomainIdOpened(int domainId);
    // The user of the last successful login, without credentials: a login as that user keeps the stored lists.
    static void storeLastUsername(const QString &username);

    // The user alice with this password, and the domains.
    static QJsonObject data(const QJsonArray &domains, const QString &password = QStringLiteral("pw"));
    static QJsonObject device(int id, const QString &name, int type, int domainId, int vpnStatus);
    // A device named "device <id>" at a VPN address of the test's choosing: remote access on, data delivery off.
    static QJsonObject deviceAt(int id,
                                int domainId,
                                int vpnStatus,
                                const QString &vpnIp,
                                int type = 1,
                                const QString &apiKey = QStringLiteral("k"));
    // Three domains: 10 "Plant North" (VPN; 101 online type 1, 102 offline type 3, 103 online type 5, and 104 of
    // type 2, which the program never offers; the fields given replace or add to its own),
    // 20 "Plant South" (no VPN; 201 online type 3), 30 "Empty site" (VPN, no devices); user alice/secret.
    static QJsonObject sampleData(const QJsonObject &northFields = QJsonObject());
    // Sixteen domains 101 to 116 ("Site 1" to "Site 16") of one online device each (1001 "Unit 1" to 1016
    // "Unit 16"): on a page the last ones lie below the fold. User alice/secret.
    static QJsonObject longData();

private:
    TestPortal m_portal;
};
