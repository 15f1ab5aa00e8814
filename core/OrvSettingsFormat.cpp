#include "core/OrvSettingsFormat.h"

#include <string>

#include <QCoreApplication>
#include <QDataStream>
#include <QFile>
#include <QFileDevice>
#include <QFileInfo>
#include <QIODevice>
#include <QMetaType>
#include <QtEndian>

#include "core/BlowfishCipher.h"
#include "core/PrivateFolder.h"
#include "core/SettingsMapCodec.h"
#include "core/StaticInitOrder.h"

const char orvSettingsKey[] = "Lq7#vR2!mZ9@xT4$kW8&pN3*e";

// Invalid until registered, in its place among the program's globals (core/StaticInitOrder.h).
QSettings::Format orvSettingsFormat = QSettings::InvalidFormat;

[[gnu::constructor(settingsFormatInitPriority)]] static void registerOrvSettingsFormat()
{
    orvSettingsFormat =
        QSettings::registerFormat(QStringLiteral("orv"), readOrvSettingsFile, writeOrvSettingsFile, Qt::CaseSensitive);
}

namespace
{
constexpr int orvSettingsKeyLength = 25;
static_assert(sizeof(orvSettingsKey) == orvSettingsKeyLength + 1, "the settings key is 25 characters");

QByteArray settingsKey()
{
    return QByteArray(orvSettingsKey, orvSettingsKeyLength);
}

// The file holds the stored login password: it, and the organisation folder it lies in, stay the user's alone,
// whatever the umask. A file in a folder that another user could change (or reach through a link) is neither read
// nor written: OrvSettings never opens one, and a plain QSettings on the format is held to the same rule here.
// The file's own permissions go through the open descriptor of the QSaveFile QSettings writes with, so they apply
// to the temporary file and survive the rename at commit.
bool inPrivateFolder(QIODevice &device, bool closeOrganisationFolder)
{
    const auto *file = qobject_cast<QFileDevice *>(&device);
    if (!file) {
        return true;
    }
    const QFileInfo folder(QFileInfo(file->fileName()).absolutePath());
    const std::string path = QFile::encodeName(folder.absoluteFilePath()).toStdString();
    // Only the organisation folder is ours to close, and only when writing; any other folder must already be
    // private as it is.
    return closeOrganisationFolder && folder.fileName() == QCoreApplication::organizationName()
               ? PrivateFolder::ensure(path)
               : PrivateFolder::check(path);
}

// Walks a serialised settings map before QDataStream reads it. Qt's container readers reserve whatever count the
// stream claims (a list claiming 2^31 entries asks for 16 GB at once) and recurse without limit, so a damaged or
// crafted file could take the program down at every start. Only the value types a settings map can sensibly hold
// are accepted; every count and length must fit in the bytes that remain.
class SettingsMapScanner
{
public:
    explicit SettingsMapScanner(const QByteArray &bytes)
        : m_next(reinterpret_cast<const uchar *>(bytes.constData()))
        , m_end(m_next + bytes.size())
    {}

    bool scanMap()
    {
        return map(0);
    }

private:
    bool skip(quint64 count)
    {
        if (count > static_cast<quint64>(m_end - m_next)) {
            return false;
        }
        m_next += count;
        return true;
    }

    bool number(quint32 &value)
    {
        if (m_end - m_next < 4) {
            return false;
        }
        value = qFromBigEndian<quint32>(m_next);
        m_next += 4;
        return true;
    }

    // QString and QByteArray: a byte length (0xFFFFFFFF for null), then the bytes.
    bool bytes()
    {
        quint32 length = 0;
        return number(length) && (length == nullLength || skip(length));
    }

    bool map(int depth)
    {
        quint32 count = 0;
        if (depth > maxDepth || !number(count)) {
            return false;
        }
        for (quint32 i = 0; i < count; ++i) {
            if (!bytes() || !variant(depth + 1)) {
                return false;
            }
        }
        return true;
    }

    bool list(int depth, bool variants)
    {
        quint32 count = 0;
        if (depth > maxDepth || !number(count)) {
            return false;
        }
        for (quint32 i = 0; i < count; ++i) {
            if (!(variants ? variant(depth + 1) : bytes())) {
                return false;
            }
        }
        return true;
    }

    bool variant(int depth)
    {
        quint32 type = 0;
        if (!number(type) || !skip(1)) {
            return false;
        }
        switch (type) {
        case QMetaType::UnknownType:
        case QMetaType::Nullptr:
            return true;
        case QMetaType::Bool:
            return skip(1);
        case QMetaType::QChar:
            return skip(2);
        case QMetaType::Int:
        case QMetaType::UInt:
        case QMetaType::QTime:
            return skip(4);
        case QMetaType::LongLong:
        case QMetaType::ULongLong:
        case QMetaType::Double:
        case QMetaType::QDate:
        case QMetaType::QSize:
        case QMetaType::QPoint:
            return skip(8);
        case QMetaType::QRect:
        case QMetaType::QSizeF:
        case QMetaType::QLine:
        case QMetaType::QPointF:
        case QMetaType::QUuid:
            return skip(16);
        case QMetaType::QRectF:
        case QMetaType::QLineF:
            return skip(32);
        case QMetaType::QString:
        case QMetaType::QByteArray:
        case QMetaType::QUrl:
        case QMetaType::QLocale:
            return bytes();
        case QMetaType::QBitArray: {
            quint32 bits = 0;
            return number(bits) && skip((quint64(bits) + 7) / 8);
        }
        case QMetaType::QDateTime:
            return dateTime();
        case QMetaType::QVariantMap:
        case QMetaType::QVariantHash:
            return map(depth);
        case QMetaType::QVariantList:
            return list(depth, true);
        case QMetaType::QStringList:
        case QMetaType::QByteArrayList:
            return list(depth, false);
        default:
            return false;
        }
    }

    // Date, time and Qt::TimeSpec; an offset follows for Qt::OffsetFromUTC. Time zones are not accepted.
    bool dateTime()
    {
        if (!skip(12) || m_next == m_end) {
            return false;
        }
        const uchar timeSpec = *m_next++;
        switch (timeSpec) {
        case Qt::LocalTime:
        case Qt::UTC:
            return true;
        case Qt::OffsetFromUTC:
            return skip(4);
        default:
            return false;
        }
    }

    static constexpr quint32 nullLength = 0xFFFFFFFF;
    // The records nest four deep; anything near this is not ours.
    static constexpr int maxDepth = SettingsMapCodec::maxDepth;

    const uchar *m_next;
    const uchar *m_end;
};
} // namespace

bool readOrvSettingsFile(QIODevice &device, QSettings::SettingsMap &map)
{
    if (!inPrivateFolder(device, false)) {
        map.clear();
        return false;
    }
    QDataStream fileStream(&device);
    QByteArray cipherText;
    fileStream >> cipherText;

    BlowfishCipher cipher(settingsKey());
    cipher.setPaddingEnabled(true);
    // A short or damaged outer record leaves the cipher text empty, so the map stream below fails.
    const QByteArray clearText = cipher.decrypted(cipherText);
    if (SettingsMapCodec::decode(clearText, map)) {
        return true;
    }
    if (!SettingsMapScanner(clearText).scanMap()) {
        map.clear();
        return false;
    }

    QDataStream mapStream(clearText);
    mapStream >> map;
    return mapStream.status() == QDataStream::Ok;
}

bool writeOrvSettingsFile(QIODevice &device, const QSettings::SettingsMap &map)
{
    QByteArray clearText;
    if (!SettingsMapCodec::encode(map, clearText)) {
        clearText.clear();
        QDataStream mapStream(&clearText, QIODevice::WriteOnly);
        mapStream << map;
    }

    // QSettings commits nothing when this returns false.
    if (!inPrivateFolder(device, true)) {
        return false;
    }
    if (auto *file = qobject_cast<QFileDevice *>(&device)) {
        file->setPermissions(QFileDevice::ReadOwner | QFileDevice::WriteOwner);
    }

    BlowfishCipher cipher(settingsKey());
    cipher.setPaddingEnabled(true);
    QDataStream fileStream(&device);
    fileStream << cipher.encrypted(clearText);
    // QSettings commits the save file only when this returns true, so a failed write keeps the previous file.
    return fileStream.status() == QDataStream::Ok;
}
