#pragma once

#include <string>

// Text from outside (an argument, an environment name, a path, a profile's word) as a message may carry it:
// every byte outside printable ASCII is written as \xNN, so it can neither end the line nor drive a terminal.
inline std::string printableText(const std::string &text)
{
    static const char hex[] = "0123456789ABCDEF";
    std::string out;
    out.reserve(text.size());
    for (const char c : text) {
        const auto byte = static_cast<unsigned char>(c);
        if (byte >= 0x20 && byte < 0x7f) {
            out += c;
        } else {
            out += "\\x";
            out += hex[byte >> 4];
            out += hex[byte & 15];
        }
    }
    return out;
}
