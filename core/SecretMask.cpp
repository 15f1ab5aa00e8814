#include "core/SecretMask.h"

#include <QRegularExpression>

namespace
{
constexpr int shownCharsMax = 4;
constexpr int shownFractionDivisor = 4;

const QString secretKeys = QStringLiteral("api_key|apikey|password|token|x-access-token|file");

// Each form keeps what precedes the value in group 1 and the value in group 2.
const QRegularExpression &jsonValue()
{
    static const QRegularExpression expression(
        QStringLiteral("(\"(?:%1)\"\\s*:\\s*\")((?:[^\"\\\\]++|\\\\.)*+)").arg(secretKeys),
        QRegularExpression::CaseInsensitiveOption);
    return expression;
}

const QRegularExpression &xmlValue()
{
    static const QRegularExpression expression(QStringLiteral("(<(?:%1)>)([^<]*)").arg(secretKeys),
                                               QRegularExpression::CaseInsensitiveOption);
    return expression;
}

// Query parameters and header lines: key=value, key: value.
const QRegularExpression &parameterValue()
{
    static const QRegularExpression expression(
        QStringLiteral("((?:^|[?&;,\\s])(?:%1)(?:=|:\\s*))([^&#\\s\"<]*)").arg(secretKeys),
        QRegularExpression::CaseInsensitiveOption);
    return expression;
}

QString maskMatches(const QString &text, const QRegularExpression &expression)
{
    QString result;
    int copied = 0;
    QRegularExpressionMatchIterator it = expression.globalMatch(text);
    while (it.hasNext()) {
        const QRegularExpressionMatch match = it.next();
        if (match.capturedLength(2) == 0) {
            continue;
        }
        result += text.midRef(copied, match.capturedStart(2) - copied);
        result += SecretMask::value(match.captured(2));
        copied = match.capturedEnd(2);
    }
    if (copied == 0) {
        return text;
    }
    result += text.midRef(copied);
    return result;
}
} // namespace

QString SecretMask::value(const QString &secret)
{
    if (secret.isEmpty()) {
        return secret;
    }
    // A short password must not be given away by its first four characters.
    int shown = qMin(shownCharsMax, secret.size() / shownFractionDivisor);
    if (shown > 0 && secret.at(shown - 1).isHighSurrogate()) {
        --shown;
    }
    return secret.left(shown) + QChar(0x2026) + QLatin1Char('(') + QString::number(secret.size()) + QLatin1Char(')');
}

QString SecretMask::inText(const QString &text)
{
    return maskMatches(maskMatches(maskMatches(text, jsonValue()), xmlValue()), parameterValue());
}
