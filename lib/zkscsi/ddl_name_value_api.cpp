// Guarded blocks, NAME=VALUE pair strings and pair lists.
//
// Everything handed out is one guarded block: a single malloc'd allocation
// whose user area is preceded directly by the 4-byte marker "!^#@", released
// with nv_free. Each operation measures all its text first, allocates once,
// then copies; on failure it returns -1 and has written nothing through its
// out-pointer and kept nothing allocated.
#include "zkDGCclariion.h"

#include <ctype.h>
#include <stdarg.h>
#include <stddef.h>
#include <stdint.h>
#include <stdlib.h>
#include <string.h>

namespace {

constexpr char kGuardMarker[4] = {'!', '^', '#', '@'};
constexpr size_t kMarkerSize = sizeof kGuardMarker;

// Bytes in front of the user area. Where pointers are 4 bytes the marker
// alone (the heap's alignment plus 4 keeps the user area aligned for the
// pointer slots of lists); where they are wider, a fixed header as large as
// the heap's alignment, ending in the marker, so that a host can walk a list
// as a plain char ** array.
constexpr size_t kHeaderSize =
    sizeof(void *) == 4 ? kMarkerSize : alignof(max_align_t);
static_assert(kHeaderSize >= kMarkerSize, "the header holds the marker");
static_assert(kHeaderSize % alignof(char *) == 0, "pointer slots stay aligned");

constexpr size_t kSlotSize = sizeof(char *);

// True when the header bytes in front of the marker are all zero, as
// nv_alloc leaves them. The header is aligned like any malloc'd block, so
// it is read in words.
bool header_is_clear(const unsigned char *header)
{
    constexpr size_t kPadSize = kHeaderSize - kMarkerSize;
    static_assert(kPadSize % sizeof(uint32_t) == 0, "the pad is whole words");
    uint32_t any = 0;
    for (size_t at = 0; at < kPadSize; at += sizeof(uint32_t)) {
        uint32_t word;
        memcpy(&word, header + at, sizeof word);
        any |= word;
    }
    return any == 0;
}

bool is_white(char c) { return isspace(static_cast<unsigned char>(c)) != 0; }

}  // namespace

// Number of white-space bytes at the start of text (NUL is never white).
static size_t skip_space(const char *text)
{
    size_t count = 0;
    while (text[count] != '\0' && is_white(text[count]))
        ++count;
    return count;
}

// Number of white-space bytes directly in front of end, looking only at
// positions strictly behind begin.
static size_t remove_space(const char *end, const char *begin)
{
    ptrdiff_t span = end - begin;  // end - 1 - count must stay behind begin
    ptrdiff_t count = 0;
    while (count + 1 < span && is_white(end[-1 - count]))
        ++count;
    return static_cast<size_t>(count);
}

namespace {

// A field of a pair after trimming: [start, start + length).
struct Field {
    const char *start;
    size_t length;
};

// Trims the field that runs from s to its terminator e ("=", "," or NUL).
Field trim_field(const char *s, const char *e)
{
    const char *start = s + skip_space(s);  // never past e: e is not white
    return Field{start, static_cast<size_t>(e - start) - remove_space(e, start)};
}

// End of the field that starts at s: the next "," or the NUL.
const char *value_field_end(const char *s)
{
    const char *comma = strchr(s, ',');
    return comma ? comma : s + strlen(s);
}

// a + b, or false when it does not fit in size_t.
bool add_size(size_t a, size_t b, size_t *sum)
{
    if (a > SIZE_MAX - b)
        return false;
    *sum = a + b;
    return true;
}

// Copies length bytes of text to *cursor, adds a NUL and moves the cursor.
char *put_string(char **cursor, const char *text, size_t length)
{
    char *copy = *cursor;
    memcpy(copy, text, length);
    copy[length] = '\0';
    *cursor = copy + length + 1;
    return copy;
}

// Size of a block holding count pointer slots plus a null slot and text_size
// bytes of strings; false on overflow.
bool slot_block_size(size_t count, size_t text_size, size_t *size)
{
    if (count >= SIZE_MAX / kSlotSize)
        return false;
    return add_size(kSlotSize * (count + 1), text_size, size);
}

// Measures the null-terminated strings of args: adds their number to *count
// and their sizes with terminators to *text_size; false on overflow.
bool measure_strings(va_list args, size_t *count, size_t *text_size)
{
    bool fits = true;
    for (const char *text = va_arg(args, const char *); text != nullptr;
         text = va_arg(args, const char *)) {
        ++*count;
        fits = fits && add_size(*text_size, strlen(text) + 1, text_size);
    }
    return fits;
}

// Writes the null-terminated values of args at cursor, unchanged, with a ","
// in front of each one (in front of the first only when separate_first),
// then a NUL. An empty value is nothing between its separators.
void join_values(va_list args, char *cursor, bool separate_first)
{
    bool separate = separate_first;
    for (const char *value = va_arg(args, const char *); value != nullptr;
         value = va_arg(args, const char *)) {
        if (separate)
            *cursor++ = ',';
        separate = true;
        size_t length = strlen(value);
        memcpy(cursor, value, length);
        cursor += length;
    }
    *cursor = '\0';
}

}  // namespace

extern "C" {

// Returns the user area of a new guarded block of size bytes (not cleared),
// or null when the heap has no room or the size cannot be represented.
// Release it with nv_free.
void *nv_alloc(size_t size)
{
    size_t total;
    if (!add_size(size, kHeaderSize, &total))
        return nullptr;
    unsigned char *block = static_cast<unsigned char *>(malloc(total));
    if (block == nullptr)
        return nullptr;
    memset(block, 0, kHeaderSize - kMarkerSize);
    memcpy(block + kHeaderSize - kMarkerSize, kGuardMarker, kMarkerSize);
    return block + kHeaderSize;
}

// Releases a guarded block given by its user-area address. Null, or a
// block whose header is not intact (marker changed, or on wide-pointer
// targets a nonzero byte in front of it, as in a forged marker or a pointer
// into a value), is left alone without a word.
void nv_free(void *block)
{
    if (block == nullptr)
        return;
    unsigned char *user = static_cast<unsigned char *>(block);
    unsigned char *marker = user - kMarkerSize;
    if (memcmp(marker, kGuardMarker, kMarkerSize) != 0)
        return;
    if (!header_is_clear(user - kHeaderSize))
        return;
    memset(marker, 0, kMarkerSize);
    free(user - kHeaderSize);
}

// Builds "name=value" in a new guarded block (white space in front of the
// name dropped, the rest copied unchanged) and stores it through pair_out.
// 0, or -1 for an empty or all-white name or no room.
int nv_set_value(char **pair_out, const char *name, const char *value)
{
    const char *name_start = name + skip_space(name);
    size_t name_length = strlen(name_start);
    if (name_length == 0)
        return -1;
    size_t value_length = strlen(value);
    char *pair = static_cast<char *>(nv_alloc(name_length + value_length + 2));
    if (pair == nullptr)
        return -1;
    memcpy(pair, name_start, name_length);
    pair[name_length] = '=';
    memcpy(pair + name_length + 1, value, value_length);
    pair[name_length + 1 + value_length] = '\0';
    *pair_out = pair;
    return 0;
}

// Builds "name=v1,v2,...,vk" from the null-terminated values (k may be 0:
// "name="). Values are written unchanged, an empty one as nothing between
// its separators (where nv_get_value finds an empty value again).
// 0, or -1 for an empty or all-white name or no room.
int nv_set_mult_value(char **pair_out, const char *name, ...)
{
    const char *name_start = name + skip_space(name);
    size_t name_length = strlen(name_start);
    if (name_length == 0)
        return -1;

    // Room for the name, "=", every value with a "," or the NUL behind it.
    size_t count = 0;
    size_t values_size = 0;
    va_list args;
    va_start(args, name);
    bool fits = measure_strings(args, &count, &values_size);
    va_end(args);
    size_t size = 0;
    if (!fits || !add_size(name_length + 2, values_size, &size))
        return -1;

    char *pair = static_cast<char *>(nv_alloc(size));
    if (pair == nullptr)
        return -1;
    memcpy(pair, name_start, name_length);
    pair[name_length] = '=';
    va_start(args, name);
    join_values(args, pair + name_length + 1, false);
    va_end(args);
    *pair_out = pair;
    return 0;
}

// Copies pair (from its first byte that is not white space) into a new
// guarded block and adds the null-terminated values, each behind a ","; when
// the pair's value part is empty or white, the first value follows it
// directly. 0, or -1 for a pair that is not well formed or no room.
int nv_append_value(char **pair_out, const char *pair, ...)
{
    const char *start = pair + skip_space(pair);
    const char *equals = strchr(start, '=');
    if (equals == nullptr || equals == start)
        return -1;
    const char *value_part = equals + 1;
    bool value_part_empty = value_part[skip_space(value_part)] == '\0';

    // Room for the pair, every value with the "," in front of it, the NUL.
    size_t start_length = strlen(start);
    size_t count = 0;
    size_t values_size = 0;
    va_list args;
    va_start(args, pair);
    bool fits = measure_strings(args, &count, &values_size);
    va_end(args);
    size_t size = 0;
    if (!fits || !add_size(start_length + 1, values_size, &size))
        return -1;

    char *result = static_cast<char *>(nv_alloc(size));
    if (result == nullptr)
        return -1;
    memcpy(result, start, start_length);
    va_start(args, pair);
    join_values(args, result + start_length, !value_part_empty);
    va_end(args);
    *pair_out = result;
    return 0;
}

// Stores the trimmed name of pair (text in front of its first "=") in a new
// guarded block. 0, or -1 for a pair without "=", an empty or white name, or
// no room.
int nv_get_name(const char *pair, char **name_out)
{
    const char *equals = strchr(pair, '=');
    if (equals == nullptr)
        return -1;
    const char *start = pair + skip_space(pair);
    if (start >= equals)
        return -1;
    Field name = trim_field(start, equals);
    char *copy = static_cast<char *>(nv_alloc(name.length + 1));
    if (copy == nullptr)
        return -1;
    memcpy(copy, name.start, name.length);
    copy[name.length] = '\0';
    *name_out = copy;
    return 0;
}

// Splits the value part of pair at every "," and stores a value array (n
// pointers, a null pointer, then the n trimmed values, all in one guarded
// block) through values_out. Returns n (>= 1), or -1 for a pair that is not
// well formed or no room.
int nv_get_value(const char *pair, char ***values_out)
{
    const char *start = pair + skip_space(pair);
    const char *equals = strchr(start, '=');
    if (equals == nullptr || equals == start)
        return -1;
    const char *value_part = equals + 1;

    size_t count = 0;
    size_t text_size = 0;
    for (const char *s = value_part;; ) {
        const char *e = value_field_end(s);
        text_size += trim_field(s, e).length + 1;
        ++count;
        if (*e == '\0')
            break;
        s = e + 1;
    }
    if (count > INT32_MAX)
        return -1;

    size_t size;
    if (!slot_block_size(count, text_size, &size))
        return -1;
    char **values = static_cast<char **>(nv_alloc(size));
    if (values == nullptr)
        return -1;
    char *cursor = reinterpret_cast<char *>(values + count + 1);
    size_t i = 0;
    for (const char *s = value_part;; ) {
        const char *e = value_field_end(s);
        Field value = trim_field(s, e);
        values[i++] = put_string(&cursor, value.start, value.length);
        if (*e == '\0')
            break;
        s = e + 1;
    }
    values[count] = nullptr;
    *values_out = values;
    return static_cast<int>(count);
}

}  // extern "C"

namespace {

// Copies the null-terminated strings of args behind *slot, moving both.
void copy_strings(va_list args, char ***slot, char **cursor)
{
    for (const char *text = va_arg(args, const char *); text != nullptr;
         text = va_arg(args, const char *))
        *(*slot)++ = put_string(cursor, text, strlen(text));
}

}  // namespace

extern "C" {

// Builds an nv_list (n pointer slots, a null slot, then copies of the n
// strings, in one guarded block) from the strings up to the first null
// argument and stores it through list_out. Returns n (>= 1), or -1 when no
// string is given or no room.
int nv_create_list(char ***list_out, ...)
{
    size_t count = 0;
    size_t text_size = 0;
    va_list args;
    va_start(args, list_out);
    bool fits = measure_strings(args, &count, &text_size);
    va_end(args);
    size_t size;
    if (count == 0 || count > INT32_MAX || !fits ||
        !slot_block_size(count, text_size, &size))
        return -1;

    char **list = static_cast<char **>(nv_alloc(size));
    if (list == nullptr)
        return -1;
    char **slot = list;
    char *cursor = reinterpret_cast<char *>(list + count + 1);
    va_start(args, list_out);
    copy_strings(args, &slot, &cursor);
    va_end(args);
    *slot = nullptr;
    *list_out = list;
    return static_cast<int>(count);
}

// Builds a new nv_list from the entries of list followed by the strings up
// to the first null argument; list itself is neither changed nor released.
// Returns the number of entries (0 or more), or -1 when no room.
int nv_append_list(char ***list_out, char *const *list, ...)
{
    size_t count = 0;
    size_t text_size = 0;
    bool fits = true;
    for (char *const *entry = list; *entry != nullptr; ++entry) {
        ++count;
        fits = fits && add_size(text_size, strlen(*entry) + 1, &text_size);
    }
    va_list args;
    va_start(args, list);
    fits = measure_strings(args, &count, &text_size) && fits;
    va_end(args);
    size_t size;
    if (count > INT32_MAX || !fits || !slot_block_size(count, text_size, &size))
        return -1;

    char **result = static_cast<char **>(nv_alloc(size));
    if (result == nullptr)
        return -1;
    char **slot = result;
    char *cursor = reinterpret_cast<char *>(result + count + 1);
    for (char *const *entry = list; *entry != nullptr; ++entry)
        *slot++ = put_string(&cursor, *entry, strlen(*entry));
    va_start(args, list);
    copy_strings(args, &slot, &cursor);
    va_end(args);
    *slot = nullptr;
    *list_out = result;
    return static_cast<int>(count);
}

// Prints a heading and then each entry of list on a line of its own through
// ddlmsg, which the dynamic linker binds (a host's own ddlmsg receives them).
void nv_print(char *const *list)
{
    ddlmsg(0x70000, 0, "Printing Name-Value Pair\n");
    for (char *const *entry = list; *entry != nullptr; ++entry)
        ddlmsg(0x70000, 0, "%s\n", *entry);
}

}  // extern "C"
