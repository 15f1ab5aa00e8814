#pragma once

#include <QByteArray>
#include <QList>
#include <QString>

// Profiles for the tests of the profile reader, the policy and the engine: hostile ones that must be refused
// with the message they name, and valid real-world shapes that must be accepted.
namespace ProfileSamples
{

// What a valid profile needs from its server: the key material and where it listens.
struct Material
{
    QByteArray ca = "-----BEGIN CERTIFICATE-----\nMIIBszCCAVmgAwIBAgIUTest\n-----END CERTIFICATE-----\n";
    QByteArray tlsCrypt = "-----BEGIN OpenVPN Static key V1-----\n0123456789abcdef0123456789abcdef\n"
                          "-----END OpenVPN Static key V1-----\n";
    QByteArray host = "10.0.0.1";
    QByteArray port = "1194";
    QByteArray proto = "udp";
    QByteArray user = "alice";
    QByteArray password = "s3cret";
};

struct Sample
{
    QString name;
    QByteArray text;
    QString message; // for a hostile profile: the refusal names this; for a valid one: empty
};

// Profiles that every reading must refuse, one row per hostile case. Each starts with six valid lines, so the
// hostile part begins on line 7.
QList<Sample> hostile();

// Valid shapes that connect to a server with this material: inline blocks, [inline] markers, a credentials
// line with its block, <connection> blocks, CR LF, comments, a byte-order mark, dashes and quotes.
QList<Sample> valid(const Material &material = Material());

} // namespace ProfileSamples
