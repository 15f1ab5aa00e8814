#pragma once

#include <QString>

// Masks secrets before they reach the log: a secret shows as its first characters (at most four, never more than a
// quarter of it) and its length, for example abcd…(32). Plain functions, safe on any thread.
class SecretMask
{
public:
    // One secret value: an API key, a password, a token, a file's contents.
    static QString value(const QString &secret);
    // A text that may hold secrets: a reply body (JSON or XML), a URL, a header line. The values of the keys
    // api_key, apikey, password, token, x-access-token and file are masked; everything else stays as it is.
    static QString inText(const QString &text);
};
