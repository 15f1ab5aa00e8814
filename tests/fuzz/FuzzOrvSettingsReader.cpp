#include <cstddef>
#include <cstdint>
#include <cstdlib>

#include <QBuffer>
#include <QDataStream>
#include <QSettings>

#include "core/BlowfishCipher.h"
#include "core/OrvSettingsFormat.h"
#include "core/SettingsMapCodec.h"

namespace
{
void quiet(QtMsgType, const QMessageLogContext &, const QString &) {}

bool read(const QByteArray &file, QSettings::SettingsMap &map)
{
    QBuffer buffer;
    buffer.setData(file);
    buffer.open(QIODevice::ReadOnly);
    return readOrvSettingsFile(buffer, map);
}

// Random bytes almost never survive the padding check, so the input is also tried as the clear text of a
// well-formed file: that reaches the map reader behind the cipher.
QByteArray sealed(const QByteArray &clearText)
{
    BlowfishCipher cipher{QByteArray(orvSettingsKey)};
    cipher.setPaddingEnabled(true);
    QByteArray file;
    QDataStream stream(&file, QIODevice::WriteOnly);
    stream << cipher.encrypted(clearText);
    return file;
}

void check(const QByteArray &file)
{
    QSettings::SettingsMap map;
    if (!read(file, map)) {
        return;
    }
    // Whatever was read must write and read back.
    QBuffer written;
    written.open(QIODevice::WriteOnly);
    if (!writeOrvSettingsFile(written, map)) {
        std::abort();
    }
    QSettings::SettingsMap again;
    if (!read(written.data(), again) || again.size() != map.size()) {
        std::abort();
    }
}

QByteArray streamed(const QSettings::SettingsMap &map)
{
    QByteArray bytes;
    QDataStream stream(&bytes, QIODevice::WriteOnly);
    stream << map;
    return bytes;
}

// Whatever the fast codec accepts, QDataStream must read to the same map, and the codec must write it back in
// QDataStream's bytes. Compared as bytes, so that NaN values compare too.
void compareCodecWithStream(const QByteArray &clearText)
{
    QSettings::SettingsMap fast;
    if (!SettingsMapCodec::decode(clearText, fast)) {
        return;
    }
    QSettings::SettingsMap reference;
    QDataStream stream(clearText);
    stream >> reference;
    QByteArray encoded;
    if (stream.status() != QDataStream::Ok || streamed(reference) != streamed(fast)
        || !SettingsMapCodec::encode(fast, encoded) || encoded != streamed(fast)) {
        std::abort();
    }
}
} // namespace

extern "C" int LLVMFuzzerInitialize(int *, char ***)
{
    qInstallMessageHandler(quiet);
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    const QByteArray input(reinterpret_cast<const char *>(data), static_cast<int>(size));
    check(input);
    check(sealed(input));
    compareCodecWithStream(input);
    return 0;
}
