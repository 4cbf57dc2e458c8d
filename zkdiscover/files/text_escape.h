// Text that came from a device, a file or a path, made safe to show: in a
// terminal it can neither move the cursor nor forge a line, and in a shell
// it is data, never code.
#ifndef ZKDISCOVER_TEXT_ESCAPE_H
#define ZKDISCOVER_TEXT_ESCAPE_H

#include <cstddef>
#include <string>
#include <string_view>

namespace zkd {

// Printable ASCII as it is, the backslash as \\, every other byte as \xHH
// (so the escaped text maps back to the bytes one to one, and the text
// "\xc3" shows as \\xc3, never as an escape).
std::string escape_text(const char *data, size_t size);
inline std::string escape_text(std::string_view text)
{
    return escape_text(text.data(), text.size());
}

// A string of the JSON report: valid UTF-8 as it is, each byte that is not
// part of a valid UTF-8 sequence as \xHH (two hex digits), and the backslash
// as \\. bytes_of_json_text turns it back into the very bytes, so a path or
// an INQUIRY field that is no UTF-8 reads back as it was.
std::string json_text(std::string_view bytes);
std::string bytes_of_json_text(std::string_view text);
// Whether json_text changes the bytes at all (most strings: no).
bool json_text_differs(std::string_view bytes);

// The value as one shell word that sh, bash and dash read back byte for
// byte: single-quoted, each ' written as '\''. Control bytes stay as they
// are inside the quotes (eval gives them back); escape_text the result for
// a terminal if needed.
std::string shell_quote(std::string_view value);

// The value as one word for a terminal: shell_quote when it is printable
// ASCII; otherwise $'...' with every other byte as \xHH (and \\, \'), so
// no control byte reaches the terminal and bash, zsh and ksh read the word
// back byte for byte.
std::string terminal_shell_quote(std::string_view value);

}  // namespace zkd

#endif
