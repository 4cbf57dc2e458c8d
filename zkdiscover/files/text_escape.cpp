#include "text_escape.h"

namespace zkd {

namespace {

void put_hex_byte(std::string &out, unsigned char c)
{
    static const char kHex[] = "0123456789ABCDEF";
    out += "\\x";
    out += kHex[c >> 4];
    out += kHex[c & 15];
}

// Length of the well-formed UTF-8 sequence at text[i] (1 to 4), or 0 when
// the byte there does not start one (overlong forms, surrogates and code
// points past U+10FFFF are not well formed).
size_t utf8_length(std::string_view text, size_t i)
{
    auto byte = [&](size_t k) { return static_cast<unsigned char>(text[k]); };
    unsigned char c = byte(i);
    if (c < 0x80)
        return 1;
    size_t n = c >= 0xC2 && c <= 0xDF ? 2 : c >= 0xE0 && c <= 0xEF ? 3 : c >= 0xF0 && c <= 0xF4 ? 4 : 0;
    if (n == 0 || i + n > text.size())
        return 0;
    unsigned char low = 0x80, high = 0xBF;   // the second byte's range
    if (c == 0xE0)
        low = 0xA0;
    else if (c == 0xED)
        high = 0x9F;
    else if (c == 0xF0)
        low = 0x90;
    else if (c == 0xF4)
        high = 0x8F;
    if (byte(i + 1) < low || byte(i + 1) > high)
        return 0;
    for (size_t k = 2; k < n; ++k)
        if (byte(i + k) < 0x80 || byte(i + k) > 0xBF)
            return 0;
    return n;
}

int hex_value(char c)
{
    if (c >= '0' && c <= '9')
        return c - '0';
    if (c >= 'a' && c <= 'f')
        return c - 'a' + 10;
    if (c >= 'A' && c <= 'F')
        return c - 'A' + 10;
    return -1;
}

}  // namespace

std::string escape_text(const char *data, size_t size)
{
    std::string out;
    out.reserve(size);
    for (size_t i = 0; i < size; ++i) {
        unsigned char c = static_cast<unsigned char>(data[i]);
        if (c == '\\')
            out += "\\\\";
        else if (c >= 0x20 && c < 0x7F)
            out += static_cast<char>(c);
        else
            put_hex_byte(out, c);
    }
    return out;
}

bool json_text_differs(std::string_view bytes)
{
    for (size_t i = 0; i < bytes.size();) {
        size_t n = bytes[i] == '\\' ? 0 : utf8_length(bytes, i);
        if (n == 0)
            return true;
        i += n;
    }
    return false;
}

std::string json_text(std::string_view bytes)
{
    std::string out;
    out.reserve(bytes.size());
    for (size_t i = 0; i < bytes.size();) {
        size_t n = bytes[i] == '\\' ? 0 : utf8_length(bytes, i);
        if (n > 0) {
            out.append(bytes.data() + i, n);
            i += n;
        } else {
            if (bytes[i] == '\\')
                out += "\\\\";
            else
                put_hex_byte(out, static_cast<unsigned char>(bytes[i]));
            ++i;
        }
    }
    return out;
}

std::string bytes_of_json_text(std::string_view text)
{
    std::string out;
    out.reserve(text.size());
    for (size_t i = 0; i < text.size(); ++i) {
        if (text[i] == '\\' && i + 1 < text.size() && text[i + 1] == '\\') {
            out += '\\';
            ++i;
        } else if (text[i] == '\\' && i + 3 < text.size() && text[i + 1] == 'x' &&
                   hex_value(text[i + 2]) >= 0 && hex_value(text[i + 3]) >= 0) {
            out += static_cast<char>(hex_value(text[i + 2]) * 16 + hex_value(text[i + 3]));
            i += 3;
        } else {
            out += text[i];   // written by another program: taken as it is
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

std::string terminal_shell_quote(std::string_view value)
{
    bool printable = true;
    for (char c : value)
        printable = printable && c >= 0x20 && c < 0x7F;
    if (printable)
        return shell_quote(value);
    std::string out = "$'";
    for (char c : value) {
        if (c == '\'' || c == '\\')
            out += {'\\', c};
        else if (c >= 0x20 && c < 0x7F)
            out += c;
        else
            put_hex_byte(out, static_cast<unsigned char>(c));
    }
    return out + "'";
}

}  // namespace zkd
