// Identifier text and message output: bascii_copy, strcpy_nb, ddlmsg.
#include "zkDGCclariion.h"

#include <ctype.h>
#include <stdarg.h>
#include <stdio.h>
#include <stdlib.h>

namespace {

constexpr char kHexDigits[] = "0123456789ABCDEF";

// Variable that names the file ddlmsg appends to instead of stderr.
constexpr char kDebugFileVariable[] = "ZK_DEBUG_FILE";

bool is_printable(unsigned char byte) { return isprint(byte) != 0; }
bool is_white(char byte) { return isspace(static_cast<unsigned char>(byte)) != 0; }

}  // namespace

extern "C" {

// Writes the count identifier bytes of source into target as text: the
// bytes themselves when all are printable (or all but a single zero byte at
// the end), otherwise two upper-case hex digits per byte. target_size counts
// the terminator. Returns 0, or -1 when the text does not fit (target's
// contents are then unspecified). A count of 0 or less gives an empty text,
// provided there is room for its terminator.
int bascii_copy(char *target, const unsigned char *source, int count,
                int target_size)
{
    if (count < 0)
        count = 0;
    if (count >= target_size)
        return -1;

    int scanned = 0;
    while (scanned < count && is_printable(source[scanned])) {
        target[scanned] = static_cast<char>(source[scanned]);
        ++scanned;
    }
    if (scanned == count) {
        target[count] = '\0';
        return 0;
    }
    if (scanned == count - 1 && source[scanned] == 0) {
        target[scanned] = '\0';
        return 0;
    }

    if (2LL * count >= target_size)
        return -1;
    for (int i = 0; i < count; ++i) {
        target[2 * i] = kHexDigits[source[i] >> 4];
        target[2 * i + 1] = kHexDigits[source[i] & 0x0F];
    }
    target[2 * count] = '\0';
    return 0;
}

// Copies source up to its first white-space byte, at most size - 1 bytes
// (a zero byte does not stop the copy), and terminates target. Returns the
// position in source of the first byte not copied. With size 1 target
// becomes empty; with size 0 or less nothing is written at all.
const char *strcpy_nb(const char *source, char *target, int size)
{
    if (size <= 0)
        return source;
    int limit = size - 1;
    int copied = 0;
    while (copied < limit && !is_white(source[copied])) {
        target[copied] = source[copied];
        ++copied;
    }
    target[copied] = '\0';
    return source + copied;
}

// Formats a message (nothing added) to stderr, or appends it to the file
// named by $ZK_DEBUG_FILE, which is opened and closed within the call. An
// empty or unopenable name falls back to stderr. The two words are unused.
void ddlmsg(int word1, int word2, const char *format, ...)
{
    (void)word1;
    (void)word2;
    FILE *stream = stderr;
    FILE *file = nullptr;
    const char *path = getenv(kDebugFileVariable);
    if (path != nullptr) {
        file = fopen(path, "ae");
        if (file != nullptr)
            stream = file;
    }
    va_list args;
    va_start(args, format);
    vfprintf(stream, format, args);
    va_end(args);
    if (file != nullptr)
        fclose(file);
}

}  // extern "C"
