#include "text_escape.h"

namespace zkd {

std::string escape_text(const char *data, size_t size)
{
    static const char kHex[] = "0123456789ABCDEF";
    std::string out;
    out.reserve(size);
    for (size_t i = 0; i < size; ++i) {
        unsigned char c = static_cast<unsigned char>(data[i]);
        if (c >= 0x20 && c < 0x7F && c != '\\') {
            out += static_cast<char>(c);
        } else {
            out += "\\x";
            out += kHex[c >> 4];
            out += kHex[c & 15];
        }
    }
    return out;
}

std::string shell_quote(std::string_view value)
{
    std::string out = "'";
    for (char c : value) {
        if (c == '\'')
            out += "'\\''";
        else
            out += c;
    }
    out += '\'';
    return out;
}

}  // namespace zkd
