// Text that came from a device, a file or a path, made safe to show: in a
// terminal it can neither move the cursor nor forge a line, and in a shell
// it is data, never code.
#ifndef ZKDISCOVER_TEXT_ESCAPE_H
#define ZKDISCOVER_TEXT_ESCAPE_H

#include <cstddef>
#include <string>
#include <string_view>

namespace zkd {

// Printable ASCII as it is; every other byte, and the backslash itself, as
// \xHH (so the escaped text maps back to the bytes one to one).
std::string escape_text(const char *data, size_t size);
inline std::string escape_text(std::string_view text)
{
    return escape_text(text.data(), text.size());
}

// The value as one shell word that sh, bash and dash read back byte for
// byte: single-quoted, each ' written as '\''. Control bytes stay as they
// are inside the quotes (eval gives them back); escape_text the result for
// a terminal if needed.
std::string shell_quote(std::string_view value);

}  // namespace zkd

#endif
