#pragma once

#include <QByteArray>
#include <QSettings>

// Writes and reads the settings map in exactly the bytes QDataStream gives it (Qt 5.15 stream, big-endian), for
// the value types the program stores, without QDataStream's per-value device calls. Anything else makes it step
// aside (returns false) and the caller takes the QDataStream road, which stays the reference. Plain functions of
// the calling thread.
class SettingsMapCodec
{
public:
    // False, with out unspecified, when the map holds a value this codec does not write.
    [[nodiscard]] static bool encode(const QSettings::SettingsMap &map, QByteArray &out);
    // False, with map cleared, unless the bytes are one well-formed map of the values encode writes, each count
    // and length within the bytes left and the nesting at most maxDepth. Malformed input is left to the caller's
    // checked road, which decides.
    [[nodiscard]] static bool decode(const QByteArray &bytes, QSettings::SettingsMap &map);

    static constexpr int maxDepth = 32;
};
