#pragma once

#include <array>

#include <QByteArray>

// Blowfish in ECB mode over whole buffers, with optional padding (k bytes of value k).
// A plain value object used by one thread at a time; the settings format makes one per file operation. Large
// buffers are split across Qt's thread pool and the caller's thread, since ECB blocks are independent.
class BlowfishCipher
{
public:
    explicit BlowfishCipher(const QByteArray &key);

    void setPaddingEnabled(bool enabled);
    // Both return an empty array on any failure.
    QByteArray encrypted(const QByteArray &clearText);
    QByteArray decrypted(const QByteArray &cipherText);

private:
    // The schedule as native words, which the block loops read; the byte tables below keep the big-endian form.
    struct Words
    {
        std::array<quint32, 18> p;
        std::array<std::array<quint32, 256>, 4> s;
    };

    bool init();
    void encryptBlock(char *block) const;
    void decryptBlock(char *block) const;
    void encryptBlocks(char *data, qsizetype size) const;
    void decryptBlocks(char *data, qsizetype size) const;
    void storeTables();

    QByteArray key;
    bool initialized = false;
    bool paddingEnabled = false;
    QByteArray pArray;
    QByteArray sBox1;
    QByteArray sBox2;
    QByteArray sBox3;
    QByteArray sBox4;
    Words words = {};
};
