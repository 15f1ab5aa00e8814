#pragma once

#include <QByteArray>

// Blowfish in ECB mode over whole buffers, with optional padding (k bytes of value k).
// A plain value object used by one thread at a time; the settings format makes one per file operation.
class BlowfishCipher
{
public:
    explicit BlowfishCipher(const QByteArray &key);

    void setPaddingEnabled(bool enabled);
    // Both return an empty array on any failure.
    QByteArray encrypted(const QByteArray &clearText);
    QByteArray decrypted(const QByteArray &cipherText);

private:
    bool init();
    void encryptBlock(char *block) const;
    void decryptBlock(char *block) const;
    quint32 f(quint32 x) const;

    QByteArray key;
    bool initialized = false;
    bool paddingEnabled = false;
    QByteArray pArray;
    QByteArray sBox1;
    QByteArray sBox2;
    QByteArray sBox3;
    QByteArray sBox4;
};
