#include <cstddef>
#include <cstdint>
#include <cstdlib>

#include <QBuffer>
#include <QDataStream>
#include <QSettings>

#include "core/BlowfishCipher.h"
#include "core/OrvSettingsFormat.h"

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
    return 0;
}
