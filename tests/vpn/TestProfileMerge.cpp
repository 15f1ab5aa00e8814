#include <QtTest>

#include "vpn/engine/ProfileMerge.h"

using lumen::engine::ProfileMerge;

Q_DECLARE_METATYPE(ProfileMerge::Status)

class TestProfileMerge : public QObject
{
    Q_OBJECT

private slots:
    void referencesGoInline();
    void pkcs12BecomesBase64();
    void referencesOnlyWhenFollowed_data();
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
    // The result is the rebuilt profile: no comments, arguments quoted, every file a block.
    QCOMPARE(QString::fromStdString(result.profile_content()),
             QStringLiteral("client\n"
                            "<ca>\nCA\n</ca>\n"
                            "<cert>\nCERT\n</cert>\n"
                            "<key>\nKEY\n</key>\n"
                            "<extra-certs>\nEXTRA\n</extra-certs>\n"
                            "<tls-auth>\nTA\n</tls-auth>\nkey-direction \"1\"\n"
                            "<crl-verify>\nCRL\n</crl-verify>\n"
                            "dh \"none\"\n"
                            "<auth-user-pass>\nalice\nsecret\n</auth-user-pass>\n"
                            "<tls-crypt>\nTC\n</tls-crypt>\n"
                            "remote \"10.0.0.1\" \"1194\"\n"));
    QCOMPARE(result.ref_path_list().size(), std::size_t(7));
}

void TestProfileMerge::pkcs12BecomesBase64()
{
    // The daemon reads an inline PKCS#12 bundle as Base64; the file itself is binary.
    QTemporaryDir dir;
    QByteArray bundle;
    for (int i = 0; i < 100; ++i) {
        bundle += char(i * 7);
    }
    writeFile(dir.filePath(QStringLiteral("client.p12")), bundle);
    writeFile(dir.filePath(QStringLiteral("p.ovpn")), "client\npkcs12 client.p12\n");
    const ProfileMerge result = merge(dir.filePath(QStringLiteral("p.ovpn")));
    QCOMPARE(result.status(), ProfileMerge::MERGE_SUCCESS);
    const QByteArray base64 = bundle.toBase64();
    QCOMPARE(QByteArray::fromStdString(result.profile_content()),
             "client\n<pkcs12>\n" + base64.left(64) + '\n' + base64.mid(64, 64) + '\n' + base64.mid(128)
                 + "\n</pkcs12>\n");
}

void TestProfileMerge::referencesOnlyWhenFollowed_data()
{
    QTest::addColumn<int>("follow");
    QTest::addColumn<QByteArray>("profile");
    QTest::addColumn<QString>("result");
    QTest::addColumn<QString>("error");

    // A reference that is not followed cannot reach the daemon: it would read the file itself.
    QTest::newRow("none") << int(ProfileMerge::FOLLOW_NONE) << QByteArray("ca ca.crt\n") << ""
                          << "'ca.crt' of 'ca' is a reference that is not followed here";
    QTest::newRow("partial, plain name") << int(ProfileMerge::FOLLOW_PARTIAL) << QByteArray("ca ca.crt\n")
                                         << "<ca>\nCA\n</ca>\n"
                                         << "";
    QTest::newRow("partial, name in a folder")
        << int(ProfileMerge::FOLLOW_PARTIAL) << QByteArray("ca ca.crt\nkey sub/key.pem\n") << ""
        << "'sub/key.pem' of 'key' is a reference that is not followed here";
    QTest::newRow("full, name in a folder")
        << int(ProfileMerge::FOLLOW_FULL) << QByteArray("key sub/key.pem\n") << "<key>\nKEY\n</key>\n"
        << "";
}

void TestProfileMerge::referencesOnlyWhenFollowed()
{
    QFETCH(int, follow);
    QFETCH(QByteArray, profile);
    QFETCH(QString, result);
    QFETCH(QString, error);

    QTemporaryDir dir;
    writeFile(dir.filePath(QStringLiteral("ca.crt")), "CA\n");
    QVERIFY(QDir(dir.path()).mkdir(QStringLiteral("sub")));
    writeFile(dir.filePath(QStringLiteral("sub/key.pem")), "KEY\n");
    writeFile(dir.filePath(QStringLiteral("p.ovpn")), profile);

    const ProfileMerge merged = merge(dir.filePath(QStringLiteral("p.ovpn")), ProfileMerge::Follow(follow));
    QCOMPARE(merged.status(), error.isEmpty() ? ProfileMerge::MERGE_SUCCESS : ProfileMerge::MERGE_REF_FAIL);
    QCOMPARE(QString::fromStdString(merged.profile_content()), result);
    QCOMPARE(QString::fromStdString(merged.error()), error);
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
    // The daemon reads directive lines of at most 254 characters; block lines may be as long as the limit here.
    const QByteArray exactLine = "<ca>\n" + QByteArray(512, 'a') + "\n</ca>\n";
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
                                        << ProfileMerge::MERGE_EXCEPTION << "line 1: no closing quotation";
    QTest::newRow("closing tag after blanks in a referenced file")
        << "client.ovpn" << QByteArray("ca ca.crt\n") << QStringList{QStringLiteral("ca.crt=A\n  </ca>\nup /bin/sh\n")}
        << ProfileMerge::MERGE_REF_FAIL << "contains a closing tag";
    QTest::newRow("closing tag with text after it in a referenced file")
        << "client.ovpn" << QByteArray("tls-crypt tc.key\n")
        << QStringList{QStringLiteral("tc.key=A\n</tls-crypt>x\nup /bin/sh\n")} << ProfileMerge::MERGE_REF_FAIL
        << "'tc.key' of 'tls-crypt' contains a closing tag";
    QTest::newRow("binary referenced file")
        << "client.ovpn" << QByteArray("key client.key\n")
        << QStringList{QStringLiteral("client.key=A") + QChar(0) + QStringLiteral("B")} << ProfileMerge::MERGE_REF_FAIL
        << "'client.key' of 'key' is not a text file";
    QTest::newRow("credentials file and credentials block")
        << "client.ovpn" << QByteArray("auth-user-pass creds.txt\n<auth-user-pass>\nu\np\n</auth-user-pass>\n")
        << QStringList{QStringLiteral("creds.txt=u\np\n")} << ProfileMerge::MERGE_MULTIPLE_REF_FAIL
        << "'auth-user-pass' is given more than once";
    QTest::newRow("crl folder") << "client.ovpn" << QByteArray("crl-verify crls dir\n")
                                << QStringList{QStringLiteral("crls/a=x")} << ProfileMerge::MERGE_REF_FAIL
                                << "crl-verify with a folder cannot be put inline";
    QTest::newRow("refused directive") << "client.ovpn" << QByteArray("client\nup /bin/sh\n") << QStringList()
                                       << ProfileMerge::MERGE_EXCEPTION << "the directive 'up' is not allowed (line 2)";
    QTest::newRow("direction out of range after a merged file")
        << "client.ovpn" << QByteArray("tls-auth ta.key 2\n") << QStringList{QStringLiteral("ta.key=T\n")}
        << ProfileMerge::MERGE_EXCEPTION << "the directive 'key-direction' does not accept '2' (line 1)";
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
