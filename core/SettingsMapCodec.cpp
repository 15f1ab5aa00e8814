#include "core/SettingsMapCodec.h"

#include <cstring>
#include <limits>
#include <string_view>
#include <unordered_map>

#include <QMetaType>
#include <QPoint>
#include <QSize>
#include <QVector>
#include <QtEndian>

#include "core/ParallelWork.h"

namespace
{
constexpr quint32 nullLength = 0xFFFFFFFF;
// A variant's smallest form: its type and its null flag.
constexpr quint32 variantHeaderBytes = 5;
// Map keys repeat once per record ("id", "name", ...): equal keys share one string.
constexpr quint32 internedKeyBytes = 64;

// A list this long is sized and written in parts on a few threads; its elements are independent.
constexpr qsizetype parallelListElements = 256;

// Bytes a value takes in the stream, or -1 when the codec does not write it.
qsizetype encodedSize(const QVariant &value, int depth);

qsizetype stringSize(const QString &text)
{
    return 4 + (text.isNull() ? 0 : 2 * qsizetype(text.size()));
}

qsizetype mapSize(const QVariantMap &map, int depth)
{
    if (depth > SettingsMapCodec::maxDepth) {
        return -1;
    }
    qsizetype size = 4;
    for (auto it = map.constBegin(); it != map.constEnd(); ++it) {
        const qsizetype value = encodedSize(it.value(), depth + 1);
        if (value < 0) {
            return -1;
        }
        size += stringSize(it.key()) + value;
    }
    return size;
}

// The bytes of elements [begin, end) of a list.
qsizetype elementsSize(const QVariantList &list, qsizetype begin, qsizetype end, int depth)
{
    qsizetype size = 0;
    for (qsizetype i = begin; i < end; ++i) {
        const qsizetype element = encodedSize(list.at(int(i)), depth + 1);
        if (element < 0) {
            return -1;
        }
        size += element;
    }
    return size;
}

// The sizes of a long list's parts, measured on as many threads.
QVector<qsizetype> partSizes(const QVariantList &list, int parts, int depth)
{
    QVector<qsizetype> sizes(parts);
    ParallelWork::run(parts, [&](int part) {
        sizes[part] = elementsSize(list,
                                   ParallelWork::partBegin(list.size(), parts, part),
                                   ParallelWork::partBegin(list.size(), parts, part + 1),
                                   depth);
    });
    return sizes;
}

qsizetype listSize(const QVariantList &list, int depth)
{
    if (depth > SettingsMapCodec::maxDepth) {
        return -1;
    }
    qsizetype size = 4;
    const int parts = ParallelWork::partsFor(list.size(), parallelListElements);
    for (const qsizetype part : partSizes(list, parts, depth)) {
        if (part < 0) {
            return -1;
        }
        size += part;
    }
    return size;
}

qsizetype encodedSize(const QVariant &value, int depth)
{
    // A variant made null on purpose carries a flag that only QDataStream writes faithfully.
    if (value.data_ptr().is_null) {
        return -1;
    }
    constexpr qsizetype header = 5;
    switch (value.userType()) {
    case QMetaType::Bool:
        return header + 1;
    case QMetaType::Int:
        return header + 4;
    case QMetaType::LongLong:
    case QMetaType::Double:
    case QMetaType::QSize:
    case QMetaType::QPoint:
        return header + 8;
    case QMetaType::QString:
        return header + stringSize(*static_cast<const QString *>(value.constData()));
    case QMetaType::QVariantMap: {
        const qsizetype map = mapSize(*static_cast<const QVariantMap *>(value.constData()), depth);
        return map < 0 ? -1 : header + map;
    }
    case QMetaType::QVariantList: {
        const qsizetype list = listSize(*static_cast<const QVariantList *>(value.constData()), depth);
        return list < 0 ? -1 : header + list;
    }
    default:
        return -1;
    }
}

// Writes values already sized by encodedSize() into room made for them.
class Writer
{
public:
    explicit Writer(char *at)
        : m_at(at)
    {}

    void map(const QVariantMap &map, int depth)
    {
        number(static_cast<quint32>(map.size()));
        // QDataStream writes a map from its last key to its first.
        for (auto it = map.constEnd(); it != map.constBegin();) {
            --it;
            string(it.key());
            variant(it.value(), depth + 1);
        }
    }

private:
    void byte(quint8 value)
    {
        *m_at++ = static_cast<char>(value);
    }

    void number(quint32 value)
    {
        qToBigEndian(value, m_at);
        m_at += 4;
    }

    void number64(quint64 value)
    {
        qToBigEndian(value, m_at);
        m_at += 8;
    }

    void string(const QString &text)
    {
        if (text.isNull()) {
            number(nullLength);
            return;
        }
        const qsizetype units = text.size();
        number(static_cast<quint32>(2 * units));
        qToBigEndian<quint16>(text.utf16(), units, m_at);
        m_at += 2 * units;
    }

    void header(int type)
    {
        number(static_cast<quint32>(type));
        byte(0);
    }

    void variant(const QVariant &value, int depth)
    {
        const int type = value.userType();
        header(type);
        switch (type) {
        case QMetaType::Bool:
            byte(value.toBool() ? 1 : 0);
            break;
        case QMetaType::Int:
            number(static_cast<quint32>(value.toInt()));
            break;
        case QMetaType::LongLong:
            number64(static_cast<quint64>(value.toLongLong()));
            break;
        case QMetaType::Double: {
            const double real = value.toDouble();
            quint64 bits = 0;
            std::memcpy(&bits, &real, sizeof bits);
            number64(bits);
            break;
        }
        case QMetaType::QString:
            string(*static_cast<const QString *>(value.constData()));
            break;
        case QMetaType::QSize: {
            const QSize size = value.toSize();
            number(static_cast<quint32>(size.width()));
            number(static_cast<quint32>(size.height()));
            break;
        }
        case QMetaType::QPoint: {
            const QPoint point = value.toPoint();
            number(static_cast<quint32>(point.x()));
            number(static_cast<quint32>(point.y()));
            break;
        }
        case QMetaType::QVariantMap:
            map(*static_cast<const QVariantMap *>(value.constData()), depth);
            break;
        case QMetaType::QVariantList:
            list(*static_cast<const QVariantList *>(value.constData()), depth);
            break;
        default:
            Q_UNREACHABLE();
        }
    }

    void list(const QVariantList &list, int depth)
    {
        number(static_cast<quint32>(list.size()));
        const int parts = ParallelWork::partsFor(list.size(), parallelListElements);
        if (parts == 1) {
            for (const QVariant &element : list) {
                variant(element, depth + 1);
            }
            return;
        }
        // Each part writes its elements at its own offset.
        const QVector<qsizetype> sizes = partSizes(list, parts, depth);
        QVector<char *> starts(parts);
        for (int part = 0; part < parts; ++part) {
            starts[part] = m_at;
            m_at += sizes.at(part);
        }
        ParallelWork::run(parts, [&](int part) {
            Writer writer(starts.at(part));
            const qsizetype end = ParallelWork::partBegin(list.size(), parts, part + 1);
            for (qsizetype i = ParallelWork::partBegin(list.size(), parts, part); i < end; ++i) {
                writer.variant(list.at(int(i)), depth + 1);
            }
        });
    }

    char *m_at;
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
    const qsizetype size = mapSize(map, 0);
    if (size < 0 || size > std::numeric_limits<int>::max()) {
        return false;
    }
    out.resize(static_cast<int>(size));
    Writer(out.data()).map(map, 0);
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
