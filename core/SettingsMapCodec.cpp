#include "core/SettingsMapCodec.h"

#include <cstring>
#include <string_view>
#include <unordered_map>

#include <QMetaType>
#include <QPoint>
#include <QSize>
#include <QtEndian>

namespace
{
constexpr quint32 nullLength = 0xFFFFFFFF;
// A variant's smallest form: its type and its null flag.
constexpr quint32 variantHeaderBytes = 5;
// Map keys repeat once per record ("id", "name", ...): equal keys share one string.
constexpr quint32 internedKeyBytes = 64;

class Writer
{
public:
    explicit Writer(QByteArray &out)
        : m_out(out)
    {
        m_out.resize(1 << 16);
    }

    void finish()
    {
        m_out.resize(static_cast<int>(m_size));
    }

    bool map(const QVariantMap &map, int depth)
    {
        if (depth > SettingsMapCodec::maxDepth) {
            return false;
        }
        number(static_cast<quint32>(map.size()));
        // QDataStream writes a map from its last key to its first.
        for (auto it = map.constEnd(); it != map.constBegin();) {
            --it;
            string(it.key());
            if (!variant(it.value(), depth + 1)) {
                return false;
            }
        }
        return true;
    }

private:
    char *room(qsizetype bytes)
    {
        if (m_size + bytes > m_out.size()) {
            m_out.resize(static_cast<int>(std::max<qsizetype>(2 * m_out.size(), m_size + bytes)));
        }
        char *at = m_out.data() + m_size;
        m_size += bytes;
        return at;
    }

    void byte(quint8 value)
    {
        *room(1) = static_cast<char>(value);
    }

    void number(quint32 value)
    {
        qToBigEndian(value, room(4));
    }

    void number64(quint64 value)
    {
        qToBigEndian(value, room(8));
    }

    void string(const QString &text)
    {
        if (text.isNull()) {
            number(nullLength);
            return;
        }
        const qsizetype units = text.size();
        number(static_cast<quint32>(2 * units));
        qToBigEndian<quint16>(text.utf16(), units, room(2 * units));
    }

    bool variant(const QVariant &value, int depth)
    {
        // A variant made null on purpose carries a flag that only QDataStream writes faithfully.
        if (value.data_ptr().is_null) {
            return false;
        }
        const int type = value.userType();
        switch (type) {
        case QMetaType::Bool:
            header(type);
            byte(value.toBool() ? 1 : 0);
            return true;
        case QMetaType::Int:
            header(type);
            number(static_cast<quint32>(value.toInt()));
            return true;
        case QMetaType::LongLong:
            header(type);
            number64(static_cast<quint64>(value.toLongLong()));
            return true;
        case QMetaType::Double: {
            header(type);
            const double real = value.toDouble();
            quint64 bits = 0;
            std::memcpy(&bits, &real, sizeof bits);
            number64(bits);
            return true;
        }
        case QMetaType::QString:
            header(type);
            string(*static_cast<const QString *>(value.constData()));
            return true;
        case QMetaType::QSize: {
            header(type);
            const QSize size = value.toSize();
            number(static_cast<quint32>(size.width()));
            number(static_cast<quint32>(size.height()));
            return true;
        }
        case QMetaType::QPoint: {
            header(type);
            const QPoint point = value.toPoint();
            number(static_cast<quint32>(point.x()));
            number(static_cast<quint32>(point.y()));
            return true;
        }
        case QMetaType::QVariantMap:
            header(type);
            return map(*static_cast<const QVariantMap *>(value.constData()), depth);
        case QMetaType::QVariantList: {
            if (depth > SettingsMapCodec::maxDepth) {
                return false;
            }
            header(type);
            const auto &list = *static_cast<const QVariantList *>(value.constData());
            number(static_cast<quint32>(list.size()));
            for (const QVariant &element : list) {
                if (!variant(element, depth + 1)) {
                    return false;
                }
            }
            return true;
        }
        default:
            return false;
        }
    }

    void header(int type)
    {
        number(static_cast<quint32>(type));
        byte(0);
    }

    QByteArray &m_out;
    qsizetype m_size = 0;
};

class Reader
{
public:
    explicit Reader(const QByteArray &bytes)
        : m_next(reinterpret_cast<const uchar *>(bytes.constData()))
        , m_end(m_next + bytes.size())
    {}

    // Keys arrive from the last to the first: strictly falling keys give the map QDataStream would build, with
    // each insertion at the front. Anything else (a repeated key) is left to QDataStream.
    bool map(QVariantMap &map, int depth)
    {
        quint32 count = 0;
        if (depth > SettingsMapCodec::maxDepth || !number(count) || count > left() / (4 + variantHeaderBytes)) {
            return false;
        }
        QString key;
        QString previous;
        for (quint32 i = 0; i < count; ++i) {
            QVariant value;
            if (!mapKey(key) || (i > 0 && !(key < previous)) || !variant(value, depth + 1)) {
                return false;
            }
            map.insert(map.constBegin(), key, value);
            previous = key;
        }
        return true;
    }

private:
    quint32 left() const
    {
        return static_cast<quint32>(std::min<qsizetype>(m_end - m_next, nullLength - 1));
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

    bool number64(quint64 &value)
    {
        if (m_end - m_next < 8) {
            return false;
        }
        value = qFromBigEndian<quint64>(m_next);
        m_next += 8;
        return true;
    }

    bool byte(quint8 &value)
    {
        if (m_next == m_end) {
            return false;
        }
        value = *m_next++;
        return true;
    }

    bool string(QString &text)
    {
        quint32 length = 0;
        if (!number(length)) {
            return false;
        }
        if (length == nullLength) {
            text = QString();
            return true;
        }
        if (length % 2 != 0 || length > left()) {
            return false;
        }
        if (length == 0) {
            text = QString(QLatin1String("")); // empty, not null, as QDataStream reads it
            return true;
        }
        text = QString(static_cast<int>(length / 2), Qt::Uninitialized);
        qFromBigEndian<quint16>(m_next, length / 2, text.data());
        m_next += length;
        return true;
    }

    bool mapKey(QString &key)
    {
        if (m_end - m_next < 4) {
            return false;
        }
        const quint32 length = qFromBigEndian<quint32>(m_next);
        if (length > internedKeyBytes || length > left() - 4) {
            return string(key);
        }
        const std::string_view bytes(reinterpret_cast<const char *>(m_next), 4 + length);
        const auto found = m_keys.find(bytes);
        if (found != m_keys.end()) {
            m_next += bytes.size();
            key = found->second;
            return true;
        }
        if (!string(key)) {
            return false;
        }
        m_keys.emplace(bytes, key);
        return true;
    }

    bool variant(QVariant &value, int depth)
    {
        quint32 type = 0;
        quint8 null = 0;
        if (!number(type) || !byte(null) || null != 0) {
            return false;
        }
        switch (type) {
        case QMetaType::Bool: {
            quint8 flag = 0;
            if (!byte(flag)) {
                return false;
            }
            value = QVariant(flag != 0);
            return true;
        }
        case QMetaType::Int: {
            quint32 word = 0;
            if (!number(word)) {
                return false;
            }
            value = QVariant(static_cast<qint32>(word));
            return true;
        }
        case QMetaType::LongLong: {
            quint64 word = 0;
            if (!number64(word)) {
                return false;
            }
            value = QVariant(static_cast<qlonglong>(word));
            return true;
        }
        case QMetaType::Double: {
            quint64 bits = 0;
            if (!number64(bits)) {
                return false;
            }
            double real = 0;
            std::memcpy(&real, &bits, sizeof real);
            value = QVariant(real);
            return true;
        }
        case QMetaType::QString: {
            QString text;
            if (!string(text)) {
                return false;
            }
            value = QVariant(text);
            return true;
        }
        case QMetaType::QSize:
        case QMetaType::QPoint: {
            quint32 first = 0;
            quint32 second = 0;
            if (!number(first) || !number(second)) {
                return false;
            }
            const int a = static_cast<qint32>(first);
            const int b = static_cast<qint32>(second);
            value = type == QMetaType::QSize ? QVariant(QSize(a, b)) : QVariant(QPoint(a, b));
            return true;
        }
        case QMetaType::QVariantMap: {
            QVariantMap nested;
            if (!map(nested, depth)) {
                return false;
            }
            value = QVariant(nested);
            return true;
        }
        case QMetaType::QVariantList:
            return list(value, depth);
        default:
            return false;
        }
    }

    bool list(QVariant &value, int depth)
    {
        quint32 count = 0;
        if (depth > SettingsMapCodec::maxDepth || !number(count) || count > left() / variantHeaderBytes) {
            return false;
        }
        QVariantList list;
        list.reserve(static_cast<int>(count));
        for (quint32 i = 0; i < count; ++i) {
            list.append(QVariant());
            if (!variant(list.last(), depth + 1)) {
                return false;
            }
        }
        value = QVariant(list);
        return true;
    }

    const uchar *m_next;
    const uchar *m_end;
    std::unordered_map<std::string_view, QString> m_keys;
};
} // namespace

bool SettingsMapCodec::encode(const QSettings::SettingsMap &map, QByteArray &out)
{
    Writer writer(out);
    if (!writer.map(map, 0)) {
        return false;
    }
    writer.finish();
    return true;
}

bool SettingsMapCodec::decode(const QByteArray &bytes, QSettings::SettingsMap &map)
{
    map.clear();
    if (!Reader(bytes).map(map, 0)) {
        map.clear();
        return false;
    }
    return true;
}
