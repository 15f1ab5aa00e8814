#include <QtTest>

#include "vpn/engine/ProfileMerge.h"

using lumen::engine::ProfileMerge;

Q_DECLARE_METATYPE(ProfileMerge::Status)

class TestProfileMerge : public QObject
{
    Q_OBJECT

private slots:
    void referencesGoInline();
    void referencesOnlyWhenFollowed();
    void failures_data();
    void failures();
};

namespace
{
constexpr std::size_t maxLine = 512;
constexpr std::size_t maxSize = 262144;

void writeFile(const QString &path, const QByteArray &data)
{
    QFile file(path);
    QVERIFY2(file.open(QIODevice::WriteOnly), qPrintable(path));
    QCOMPARE(file.write(data), data.size());
}

ProfileMerge merge(const QString &path, ProfileMerge::Follow follow = ProfileMerge::FOLLOW_FULL)
{
    return ProfileMerge(path.toStdString(), "ovpn", "", follow, maxLine, maxSize);
}
} // namespace

void TestProfileMerge::referencesGoInline()
{
    QTemporaryDir dir;
    const QString base = dir.path() + QStringLiteral("/profile");
    QVERIFY(QDir().mkpath(base + QStringLiteral("/keys")));
    writeFile(base + QStringLiteral("/ca.crt"), "CA\n");
    writeFile(base + QStringLiteral("/keys/client.crt"), "CERT");
    writeFile(base + QStringLiteral("/keys/client.key"), "KEY\n");
    writeFile(base + QStringLiteral("/extra.pem"), "EXTRA\n");
    writeFile(base + QStringLiteral("/ta key"), "TA\n");
    writeFile(base + QStringLiteral("/crl.pem"), "CRL\n");
    writeFile(base + QStringLiteral("/credentials.txt"), "alice\nsecret\n");
    writeFile(base + QStringLiteral("/client.ovpn"),
              "# comment stays\r\n"
              "client\r\n"
              "ca ca.crt\n"
              "cert keys/client.crt\n"
              "key ./keys/client.key\n"
              "extra-certs extra.pem\n"
              "tls-auth \"ta key\" 1\n"
              "crl-verify crl.pem\n"
              "dh none\n"
              "auth-user-pass credentials.txt\n"
              "<tls-crypt>\nTC\n</tls-crypt>\n"
              "remote 10.0.0.1 1194\n");

    const ProfileMerge result = merge(base + QStringLiteral("/client.ovpn"));
    QCOMPARE(result.status(), ProfileMerge::MERGE_SUCCESS);
    QCOMPARE(QString::fromStdString(result.profile_content()),
             QStringLiteral("# comment stays\n"
                            "client\n"
                            "<ca>\nCA\n</ca>\n"
                            "<cert>\nCERT\n</cert>\n"
                            "<key>\nKEY\n</key>\n"
                            "<extra-certs>\nEXTRA\n</extra-certs>\n"
                            "<tls-auth>\nTA\n</tls-auth>\nkey-direction 1\n"
                            "<crl-verify>\nCRL\n</crl-verify>\n"
                            "dh none\n"
                            "<auth-user-pass>\nalice\nsecret\n</auth-user-pass>\n"
                            "<tls-crypt>\nTC\n</tls-crypt>\n"
                            "remote 10.0.0.1 1194\n"));
    QCOMPARE(result.ref_path_list().size(), std::size_t(7));
}

void TestProfileMerge::referencesOnlyWhenFollowed()
{
    QTemporaryDir dir;
    writeFile(dir.filePath(QStringLiteral("ca.crt")), "CA\n");
    QVERIFY(QDir(dir.path()).mkdir(QStringLiteral("sub")));
    writeFile(dir.filePath(QStringLiteral("sub/key.pem")), "KEY\n");
    writeFile(dir.filePath(QStringLiteral("p.ovpn")), "ca ca.crt\nkey sub/key.pem\n");

    const ProfileMerge none = merge(dir.filePath(QStringLiteral("p.ovpn")), ProfileMerge::FOLLOW_NONE);
    QCOMPARE(none.status(), ProfileMerge::MERGE_SUCCESS);
    QCOMPARE(QString::fromStdString(none.profile_content()), QStringLiteral("ca ca.crt\nkey sub/key.pem\n"));

    const ProfileMerge partial = merge(dir.filePath(QStringLiteral("p.ovpn")), ProfileMerge::FOLLOW_PARTIAL);
    QCOMPARE(partial.status(), ProfileMerge::MERGE_SUCCESS);
    QCOMPARE(QString::fromStdString(partial.profile_content()), QStringLiteral("<ca>\nCA\n</ca>\nkey sub/key.pem\n"));
}

void TestProfileMerge::failures_data()
{
    QTest::addColumn<QString>("profileName");
    QTest::addColumn<QByteArray>("profile");
    // Extra files: "name=content" with the name relative to the profile's folder; "@name=target" makes a symlink.
    QTest::addColumn<QStringList>("files");
    QTest::addColumn<ProfileMerge::Status>("status");
    QTest::addColumn<QString>("errorPart");

    const QByteArray longLine = "setenv X " + QByteArray(600, 'a') + '\n';
    const QByteArray exactLine = "setenv X " + QByteArray(512 - 9, 'a') + '\n';
    QTest::newRow("wrong extension") << "client.conf" << QByteArray("client\n") << QStringList()
                                     << ProfileMerge::MERGE_OVPN_EXT_FAIL << "extension";
    QTest::newRow("profile missing") << "" << QByteArray() << QStringList() << ProfileMerge::MERGE_OVPN_FILE_FAIL
                                     << "cannot read profile";
    QTest::newRow("profile too big") << "client.ovpn" << QByteArray(int(maxSize) + 1, '#') << QStringList()
                                     << ProfileMerge::MERGE_OVPN_FILE_FAIL << "larger than 262144";
    QTest::newRow("profile at the size limit is read")
        << "client.ovpn" << QByteArray(int(maxSize) - 1, '#') + '\n'
        << QStringList() << ProfileMerge::MERGE_EXCEPTION << "longer than 512";
    QTest::newRow("line one over the limit") << "client.ovpn" << QByteArray("client\n") + longLine << QStringList()
                                             << ProfileMerge::MERGE_EXCEPTION << "line 2 is longer than 512";
    QTest::newRow("line at the limit") << "client.ovpn" << exactLine << QStringList() << ProfileMerge::MERGE_SUCCESS
                                       << "";
    QTest::newRow("referenced file missing") << "client.ovpn" << QByteArray("ca missing.crt\n") << QStringList()
                                             << ProfileMerge::MERGE_REF_FAIL << "missing.crt";
    QTest::newRow("reference with ..") << "client.ovpn" << QByteArray("key ../outside.key\n") << QStringList()
                                       << ProfileMerge::MERGE_REF_FAIL << "outside the profile's folder";
    QTest::newRow("absolute reference elsewhere") << "client.ovpn" << QByteArray("ca /etc/hostname\n") << QStringList()
                                                  << ProfileMerge::MERGE_REF_FAIL << "outside the profile's folder";
    QTest::newRow("symlink leading out") << "client.ovpn" << QByteArray("key link.key\n")
                                         << QStringList{QStringLiteral("@link.key=../outside.key")}
                                         << ProfileMerge::MERGE_REF_FAIL << "outside the profile's folder";
    QTest::newRow("referenced folder") << "client.ovpn" << QByteArray("ca sub\n")
                                       << QStringList{QStringLiteral("sub/file=x")} << ProfileMerge::MERGE_REF_FAIL
                                       << "not a regular file";
    QTest::newRow("referenced file too big")
        << "client.ovpn" << QByteArray("ca big.crt\n")
        << QStringList{QStringLiteral("big.crt=") + QString(int(maxSize) + 1, QLatin1Char('x'))}
        << ProfileMerge::MERGE_REF_FAIL << "larger than";
    QTest::newRow("merged profile too big") << "client.ovpn" << QByteArray("ca a.crt\ncert b.crt\n")
                                            << QStringList{QStringLiteral("a.crt=") + QString(200000, QLatin1Char('x')),
                                                           QStringLiteral("b.crt=") + QString(200000, QLatin1Char('x'))}
                                            << ProfileMerge::MERGE_EXCEPTION << "merged profile is larger";
    QTest::newRow("closing tag inside a referenced file")
        << "client.ovpn" << QByteArray("ca ca.crt\n")
        << QStringList{QStringLiteral("ca.crt=A\n</ca>\nup /bin/sh\n<ca>")} << ProfileMerge::MERGE_REF_FAIL
        << "closing tag";
    QTest::newRow("directive twice") << "client.ovpn" << QByteArray("ca ca.crt\nca ca.crt\n")
                                     << QStringList{QStringLiteral("ca.crt=A")} << ProfileMerge::MERGE_MULTIPLE_REF_FAIL
                                     << "'ca' is given more than once";
    QTest::newRow("file and inline block")
        << "client.ovpn" << QByteArray("<ca>\nA\n</ca>\nca ca.crt\n") << QStringList{QStringLiteral("ca.crt=A")}
        << ProfileMerge::MERGE_MULTIPLE_REF_FAIL << "'ca' is given more than once";
    QTest::newRow("unclosed inline block")
        << "client.ovpn" << QByteArray("<ca>\nA\n") << QStringList() << ProfileMerge::MERGE_EXCEPTION << "not closed";
    QTest::newRow("unterminated quote") << "client.ovpn" << QByteArray("ca \"ca.crt\n") << QStringList()
                                        << ProfileMerge::MERGE_EXCEPTION << "unterminated quote";
}

void TestProfileMerge::failures()
{
    QFETCH(QString, profileName);
    QFETCH(QByteArray, profile);
    QFETCH(QStringList, files);
    QFETCH(ProfileMerge::Status, status);
    QFETCH(QString, errorPart);

    QTemporaryDir dir;
    const QString folder = dir.path() + QStringLiteral("/profile");
    QVERIFY(QDir().mkpath(folder));
    writeFile(dir.path() + QStringLiteral("/outside.key"), "private\n");
    for (const QString &file : files) {
        const QString name = file.section(QLatin1Char('='), 0, 0);
        const QString content = file.section(QLatin1Char('='), 1);
        if (name.startsWith(QLatin1Char('@'))) {
            QVERIFY(QFile::link(content, folder + QLatin1Char('/') + name.mid(1)));
            continue;
        }
        const QString path = folder + QLatin1Char('/') + name;
        QVERIFY(QDir().mkpath(QFileInfo(path).path()));
        writeFile(path, content.toUtf8());
    }
    QString path = folder + QStringLiteral("/missing.ovpn");
    if (!profileName.isEmpty()) {
        path = folder + QLatin1Char('/') + profileName;
        writeFile(path, profile);
    }

    const ProfileMerge result = merge(path);
    QCOMPARE(result.status(), status);
    QVERIFY2(QString::fromStdString(result.error()).contains(errorPart), result.error().c_str());
    if (status != ProfileMerge::MERGE_SUCCESS) {
        QVERIFY(result.profile_content().empty());
    }
}

QTEST_GUILESS_MAIN(TestProfileMerge)
#include "TestProfileMerge.moc"
