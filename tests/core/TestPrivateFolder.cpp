#include <QtTest>

#include <sys/stat.h>
#include <sys/xattr.h>
#include <unistd.h>

#include "core/PrivateFolder.h"

// Runs as root in CI: "another user" is nobody (65534), made the owner with chown.
class TestPrivateFolder : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase();
    void folders_data();
    void folders();
    void checkCreatesNothing();

private:
    QTemporaryDir m_dir;
};

namespace
{
constexpr uid_t nobody = 65534;

// An access list in the kernel's form: the owner rwx, nobody with `permissions`, the group and others r-x.
QByteArray accessList(int permissions)
{
    QByteArray bytes;
    const auto add = [&bytes](quint32 value, int width) {
        for (int i = 0; i < width; ++i) {
            bytes.append(char((value >> (8 * i)) & 0xff));
        }
    };
    add(2, 4);
    const quint32 none = 0xffffffff;
    const quint32 entries[][3] = {
        {0x01, 7, none}, {0x02, quint32(permissions), nobody}, {0x04, 5, none}, {0x10, 7, none}, {0x20, 5, none}};
    for (const auto &entry : entries) {
        add(entry[0], 2);
        add(entry[1], 2);
        add(entry[2], 4);
    }
    return bytes;
}

// One step of a scene: "d path mode", "l path target", "o path" (owned by nobody), "g path gid", "f path" (a file),
// "a path perms" (an access list giving nobody perms, octal), "A path" (a default list giving nobody rwx).
bool build(const QString &root, const QStringList &steps)
{
    for (const QString &step : steps) {
        const QStringList words = step.split(QLatin1Char(' '));
        const QByteArray path = QFile::encodeName(root + QLatin1Char('/') + words.value(1));
        const QChar kind = words.value(0).at(0);
        bool ok = true;
        if (kind == QLatin1Char('d')) {
            ok = mkdir(path.constData(), 0700) == 0 && chmod(path.constData(), words.value(2).toUInt(nullptr, 8)) == 0;
        } else if (kind == QLatin1Char('l')) {
            const QString target = words.value(2);
            const QByteArray resolved = QFile::encodeName(target.startsWith(QLatin1Char('/')) ? root + target : target);
            ok = symlink(resolved.constData(), path.constData()) == 0;
        } else if (kind == QLatin1Char('o')) {
            ok = lchown(path.constData(), nobody, nobody) == 0;
        } else if (kind == QLatin1Char('g')) {
            ok = lchown(path.constData(), uid_t(-1), words.value(2).toUInt()) == 0;
        } else if (kind == QLatin1Char('a') || kind == QLatin1Char('A')) {
            const QByteArray list = accessList(kind == QLatin1Char('a') ? words.value(2).toInt(nullptr, 8) : 7);
            ok = setxattr(path.constData(),
                          kind == QLatin1Char('a') ? "system.posix_acl_access" : "system.posix_acl_default",
                          list.constData(),
                          size_t(list.size()),
                          0)
                 == 0;
        } else if (kind == QLatin1Char('f')) {
            QFile file(QString::fromLocal8Bit(path));
            ok = file.open(QIODevice::WriteOnly);
        }
        if (!ok) {
            qWarning("scene step failed: %s", qPrintable(step));
            return false;
        }
    }
    return true;
}

mode_t modeOf(const QString &path)
{
    struct stat info
    {
    };

    return lstat(QFile::encodeName(path).constData(), &info) == 0 ? info.st_mode & 07777 : 0;
}
} // namespace

void TestPrivateFolder::initTestCase()
{
    if (geteuid() != 0) {
        QSKIP("needs root to hand folders to another user");
    }
    QVERIFY(m_dir.isValid());
}

void TestPrivateFolder::folders_data()
{
    QTest::addColumn<QStringList>("scene");
    QTest::addColumn<QString>("path");
    QTest::addColumn<QString>("refusal"); // empty: accepted, the folder ends up 0700

    QTest::newRow("missing folder and parents are made") << QStringList{} << "a/b/c"
                                                         << "";
    QTest::newRow("an open folder of ours is closed") << QStringList{"d a 755"} << "a"
                                                      << "";
    QTest::newRow("folder writable by others") << QStringList{"d a 777"} << "a"
                                               << "writable by others";
    QTest::newRow("folder of another user") << QStringList{"d a 700", "o a"} << "a"
                                            << "owned by another user";
    QTest::newRow("the folder is a link") << QStringList{"d real 700", "l a /real"} << "a"
                                          << "is a symbolic link";
    QTest::newRow("a file in its place") << QStringList{"f a"} << "a"
                                         << "is not a folder";
    QTest::newRow("parent of another user") << QStringList{"d p 755", "o p"} << "p/a"
                                            << "owned by another user";
    QTest::newRow("parent writable by others") << QStringList{"d p 777"} << "p/a"
                                               << "writable by others";
    // Root's group is root's own: no member, no other account's primary group.
    QTest::newRow("folder writable by our own group") << QStringList{"d a 775"} << "a"
                                                      << "";
    QTest::newRow("parent writable by a group another account has as its own")
        << QStringList{"d p 775", "g p 65534"} << "p/a"
        << "writable by others";
    QTest::newRow("sticky shared parent, our folder") << QStringList{"d t 1777", "d t/a 700"} << "t/a"
                                                      << "";
    QTest::newRow("sticky shared parent, folder planted by another")
        << QStringList{"d t 1777", "d t/a 700", "o t/a"} << "t/a"
        << "owned by another user";
    QTest::newRow("sticky shared parent, link planted by another")
        << QStringList{"d t 1777", "d real 700", "l t/x /real", "o t/x"} << "t/x/a"
        << "owned by another user in a shared folder";
    QTest::newRow("link above, to a folder of ours") << QStringList{"d real 700", "l p /real"} << "p/a"
                                                     << "";
    QTest::newRow("link above, to a folder of another user")
        << QStringList{"d real 755", "o real", "l p /real"} << "p/a"
        << "owned by another user";
    QTest::newRow("relative link above that climbs into a shared folder")
        << QStringList{"d open 777", "d open/in 700", "d q 700", "l q/p ../open/in"} << "q/p/a"
        << "writable by others";
    // The mode tells only part of it: an access list may let another user in.
    QTest::newRow("parent of root's that a list lets another user write") << QStringList{"d p 755", "a p 7"} << "p/a"
                                                                          << "writable by others";
    QTest::newRow("folder a list lets another user write") << QStringList{"d a 700", "a a 7"} << "a"
                                                           << "writable by others";
    QTest::newRow("our folder that a list lets another user read is closed") << QStringList{"d a 700", "a a 5"} << "a"
                                                                             << "";
    QTest::newRow("made below a folder whose default list lets another user in")
        << QStringList{"d p 700", "A p"} << "p/a/b"
        << "";
}

void TestPrivateFolder::folders()
{
    QFETCH(QStringList, scene);
    QFETCH(QString, path);
    QFETCH(QString, refusal);

    QTemporaryDir root(m_dir.path() + QStringLiteral("/case-XXXXXX"));
    QVERIFY(build(root.path(), scene));
    const QString folder = root.path() + QLatin1Char('/') + path;
    std::string error;
    const bool accepted = PrivateFolder::ensure(QFile::encodeName(folder).toStdString(), &error);
    if (refusal.isEmpty()) {
        QVERIFY2(accepted, error.c_str());
        QCOMPARE(modeOf(folder), mode_t(0700));
        QVERIFY(PrivateFolder::check(QFile::encodeName(folder).toStdString()));
    } else {
        QVERIFY(!accepted);
        QVERIFY2(QString::fromStdString(error).contains(refusal), error.c_str());
    }
}

void TestPrivateFolder::checkCreatesNothing()
{
    QTemporaryDir root(m_dir.path() + QStringLiteral("/case-XXXXXX"));
    QVERIFY(build(root.path(), {QStringLiteral("d open 755")}));
    std::string error;
    QVERIFY(!PrivateFolder::check(QFile::encodeName(root.path() + QStringLiteral("/new")).toStdString(), &error));
    QVERIFY(!QFileInfo::exists(root.path() + QStringLiteral("/new")));
    QVERIFY(PrivateFolder::check(QFile::encodeName(root.path() + QStringLiteral("/open")).toStdString()));
    QCOMPARE(modeOf(root.path() + QStringLiteral("/open")), mode_t(0755));
    // A list that lets another user read is not private, and check() leaves it as it is.
    QVERIFY(build(root.path(), {QStringLiteral("d listed 700"), QStringLiteral("a listed 5")}));
    QVERIFY(!PrivateFolder::check(QFile::encodeName(root.path() + QStringLiteral("/listed")).toStdString(), &error));
    QVERIFY2(QString::fromStdString(error).contains(QStringLiteral("access list")), error.c_str());
    QVERIFY(getxattr(QFile::encodeName(root.path() + QStringLiteral("/listed")).constData(),
                     "system.posix_acl_access",
                     nullptr,
                     0)
            > 0);
    QVERIFY(!PrivateFolder::check("relative/path", &error));
    QVERIFY(QString::fromStdString(error).contains(QStringLiteral("absolute")));
}

QTEST_GUILESS_MAIN(TestPrivateFolder)
#include "TestPrivateFolder.moc"
