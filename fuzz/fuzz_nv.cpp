// Every nv_* function on fuzzed names, values, separators and lists, with
// failing allocations and damaged blocks. An input is a run of operations;
// the oracle works out each result from the text alone, checks the guarded
// block (marker, layout of lists and value arrays, one block per result) and
// that a failure stores nothing and keeps nothing allocated.
#include "fuzz_support.h"
#include "zkDGCclariion.h"

#include <stdlib.h>
#include <string.h>
#include <sys/mman.h>
#include <unistd.h>

#include <optional>

namespace {

using namespace zkfuzz;
using Strings = std::vector<std::string>;

constexpr int kMaxValues = 4;
constexpr int kMaxEntries = 6;
constexpr char kMarker[] = "!^#@";
// Bytes in front of the user area: the marker alone with 4-byte pointers, a
// header as large as the heap's alignment, ending in the marker, otherwise.
constexpr size_t kHeaderSize = sizeof(void *) == 4 ? 4 : alignof(max_align_t);

int g_message_fd = -1;  // ZK_DEBUG_FILE: nv_print's lines land here

bool white(char c) { return c == ' ' || (c >= '\t' && c <= '\r'); }

std::string trim_front(const std::string &s)
{
    size_t i = 0;
    while (i < s.size() && white(s[i]))
        ++i;
    return s.substr(i);
}

std::string trim(const std::string &s)
{
    std::string t = trim_front(s);
    while (!t.empty() && white(t.back()))
        t.pop_back();
    return t;
}

std::string join(const Strings &values, const char *separator)
{
    std::string out;
    for (size_t i = 0; i < values.size(); ++i)
        out += (i ? separator : "") + values[i];
    return out;
}

// ---- What each operation must give ------------------------------------------

std::optional<std::string> set_mult_value(const std::string &name, const Strings &values)
{
    std::string n = trim_front(name);
    if (n.empty())
        return std::nullopt;
    return n + "=" + join(values, ",");
}

std::optional<std::string> append_value(const std::string &pair, const Strings &values)
{
    std::string s = trim_front(pair);
    size_t equals = s.find('=');
    if (equals == std::string::npos || equals == 0)
        return std::nullopt;
    bool empty_value = trim(s.substr(equals + 1)).empty();
    if (values.empty())
        return s;
    return s + (empty_value ? "" : ",") + join(values, ",");
}

std::optional<std::string> get_name(const std::string &pair)
{
    std::string s = trim_front(pair);
    size_t equals = s.find('=');
    if (equals == std::string::npos || equals == 0)
        return std::nullopt;
    return trim(s.substr(0, equals));
}

std::optional<Strings> get_value(const std::string &pair)
{
    std::string s = trim_front(pair);
    size_t equals = s.find('=');
    if (equals == std::string::npos || equals == 0)
        return std::nullopt;
    Strings values;
    std::string rest = s.substr(equals + 1);
    for (size_t start = 0;;) {
        size_t comma = rest.find(',', start);
        values.push_back(trim(rest.substr(start, comma - start)));
        if (comma == std::string::npos)
            return values;
        start = comma + 1;
    }
}

// ---- Checks on what the library handed out ----------------------------------

// A guarded block: the marker right in front, and the only block left.
void check_block(const void *block)
{
    ZKFUZZ_EXPECT(memcmp(static_cast<const char *>(block) - 4, kMarker, 4) == 0,
                  "no marker in front of the block");
    ZKFUZZ_EXPECT(alloc_outstanding() == 1 &&
                      alloc_is_live(static_cast<const char *>(block) - kHeaderSize),
                  "the result is not the one block allocated");
}

// A list or value array: n slots, a null slot, then the strings packed in
// order directly behind it, equal to expected.
void check_slots(char **slots, const Strings &expected)
{
    check_block(slots);
    char *next = reinterpret_cast<char *>(slots + expected.size() + 1);
    for (size_t i = 0; i < expected.size(); ++i) {
        ZKFUZZ_EXPECT(slots[i] == next, "slot %zu does not point behind the last string", i);
        ZKFUZZ_EXPECT(slots[i] == expected[i], "entry %zu differs", i);
        next += expected[i].size() + 1;
    }
    ZKFUZZ_EXPECT(slots[expected.size()] == nullptr, "no null slot");
}

// After a failure: nothing stored, nothing kept.
template <typename T>
void check_failed(int result, T out, T untouched)
{
    ZKFUZZ_EXPECT(result == -1, "result %d on failure", result);
    ZKFUZZ_EXPECT(out == untouched, "out-parameter written on failure");
    ZKFUZZ_EXPECT(alloc_outstanding() == 0, "%d blocks kept on failure", alloc_outstanding());
}

// A call that builds one text: on failure nothing is stored or kept; else
// the text is the expected one, alone in its guarded block (released here).
// untouched is what the out-parameter held before the call.
void check_text(bool failure, int result, char *out, char *untouched,
                const std::optional<std::string> &expected, const char *what)
{
    if (failure || !expected) {
        check_failed(result, out, untouched);
        return;
    }
    ZKFUZZ_EXPECT(result == 0 && out != untouched && *expected == out, "%s differs", what);
    check_block(out);
    nv_free(out);
}

// Strings as the null-padded argument run of a variadic call.
struct Args {
    explicit Args(const Strings &strings)
    {
        for (size_t i = 0; i < strings.size() && i < kMaxEntries; ++i)
            p[i] = strings[i].c_str();
    }
    const char *p[kMaxEntries + 1] = {};
};

Strings read_strings(Input &in, int max)
{
    Strings out(in.byte() % unsigned(max + 1));
    for (std::string &s : out)
        s = in.text(40);
    return out;
}

std::string read_message_file()
{
    std::string out;
    char chunk[512];
    ssize_t got;
    for (off_t at = 0; (got = pread(g_message_fd, chunk, sizeof chunk, at)) > 0; at += got)
        out.append(chunk, size_t(got));
    return out;
}

void release_damaged(unsigned char *block, unsigned offset, unsigned flip)
{
    unsigned char *header = block - kHeaderSize;
    unsigned char before[kHeaderSize];
    memcpy(before, header, kHeaderSize);
    header[offset] ^= static_cast<unsigned char>(flip);
    bool marker_hit = offset >= kHeaderSize - 4;
    nv_free(block);
    if (alloc_is_live(header)) {
        // Left alone: it must be untouched, and it is released here.
        ZKFUZZ_EXPECT(header[offset] == (before[offset] ^ flip), "damaged block changed");
        header[offset] = before[offset];
        nv_free(block);
    } else {
        ZKFUZZ_EXPECT(!marker_hit, "a block with a damaged marker was released");
    }
}

// One operation; returns false when the input is used up.
bool run_one(Input &in)
{
    if (in.empty())
        return false;
    unsigned choice = in.byte();
    bool fail = choice & 0x80;
    alloc_arm(fail ? 1 : 0, false);
    char *const kUntouched = reinterpret_cast<char *>(&in);
    char **const kUntouchedList = reinterpret_cast<char **>(&in);

    switch (choice % 10) {
    case 0: {  // a block of any small size, and nv_free of it, whole or damaged
        size_t size = in.byte();
        unsigned offset = in.byte() % kHeaderSize;
        unsigned flip = in.byte();
        auto *block = static_cast<unsigned char *>(nv_alloc(size));
        if (fail) {
            ZKFUZZ_EXPECT(block == nullptr && alloc_outstanding() == 0, "nv_alloc under failure");
            break;
        }
        check_block(block);
        memset(block, 0xA5, size);
        if (flip != 0) {
            release_damaged(block, offset, flip);
        } else {
            nv_free(block);
            ZKFUZZ_EXPECT(alloc_outstanding() == 0, "nv_free kept a whole block");
        }
        nv_free(nullptr);
        break;
    }
    case 1:
    case 2: {  // nv_set_value, nv_set_mult_value
        std::string name = in.text(40);
        Strings values = choice % 10 == 1 ? Strings{in.text(40)} : read_strings(in, kMaxValues);
        Args a(values);
        char *pair = kUntouched;
        int result = choice % 10 == 1
            ? nv_set_value(&pair, name.c_str(), a.p[0])
            : nv_set_mult_value(&pair, name.c_str(), a.p[0], a.p[1], a.p[2], a.p[3],
                                static_cast<char *>(nullptr));
        check_text(fail, result, pair, kUntouched, set_mult_value(name, values), "pair");
        break;
    }
    case 3: {  // nv_append_value
        std::string pair = in.text(60);
        Strings values = read_strings(in, kMaxValues);
        Args a(values);
        char *out = kUntouched;
        int result = nv_append_value(&out, pair.c_str(), a.p[0], a.p[1], a.p[2], a.p[3],
                                     static_cast<char *>(nullptr));
        check_text(fail, result, out, kUntouched, append_value(pair, values), "appended pair");
        break;
    }
    case 4: {  // nv_get_name
        std::string pair = in.text(60);
        char *name = kUntouched;
        int result = nv_get_name(pair.c_str(), &name);
        check_text(fail, result, name, kUntouched, get_name(pair), "name");
        break;
    }
    case 5: {  // nv_get_value
        std::string pair = in.text(60);
        char **values = kUntouchedList;
        int result = nv_get_value(pair.c_str(), &values);
        std::optional<Strings> expected = get_value(pair);
        if (fail || !expected) {
            check_failed(result, values, kUntouchedList);
            break;
        }
        ZKFUZZ_EXPECT(result == int(expected->size()), "%d values, expected %zu", result,
                      expected->size());
        check_slots(values, *expected);
        nv_free(values);
        break;
    }
    case 6:
    case 7: {  // nv_create_list, nv_print
        Strings entries = read_strings(in, kMaxEntries);
        Args a(entries);
        char **list = kUntouchedList;
        int result = nv_create_list(&list, a.p[0], a.p[1], a.p[2], a.p[3], a.p[4], a.p[5],
                                    static_cast<char *>(nullptr));
        if (fail || entries.empty()) {
            check_failed(result, list, kUntouchedList);
            break;
        }
        ZKFUZZ_EXPECT(result == int(entries.size()), "%d entries", result);
        check_slots(list, entries);
        if (choice % 10 == 7) {
            ZKFUZZ_EXPECT(ftruncate(g_message_fd, 0) == 0, "message file");
            nv_print(list);
            std::string printed = read_message_file();
            ZKFUZZ_EXPECT(printed == "Printing Name-Value Pair\n" + join(entries, "\n") +
                                         (entries.empty() ? "" : "\n"),
                          "nv_print wrote something else");
        }
        nv_free(list);
        break;
    }
    default: {  // nv_append_list onto a list (maybe empty) that stays as it was
        Strings old_entries = read_strings(in, kMaxEntries);
        Strings added = read_strings(in, kMaxEntries);
        Args old_args(old_entries), a(added);
        char **list = kUntouchedList;
        int result = nv_append_list(&list, const_cast<char *const *>(old_args.p), a.p[0],
                                    a.p[1], a.p[2], a.p[3], a.p[4], a.p[5],
                                    static_cast<char *>(nullptr));
        if (fail) {
            check_failed(result, list, kUntouchedList);
            break;
        }
        Strings all = old_entries;
        all.insert(all.end(), added.begin(), added.end());
        ZKFUZZ_EXPECT(result == int(all.size()), "%d entries, expected %zu", result, all.size());
        check_slots(list, all);
        nv_free(list);
        break;
    }
    }
    ZKFUZZ_EXPECT(alloc_outstanding() == 0, "%d blocks left", alloc_outstanding());
    alloc_disarm();
    return true;
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int *, char ***)
{
    g_message_fd = memfd_create("zkfuzz-ddlmsg", MFD_CLOEXEC);
    std::string path = "/proc/self/fd/" + std::to_string(g_message_fd);
    setenv("ZK_DEBUG_FILE", path.c_str(), 1);
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    Input in(data, size);
    for (int i = 0; i < 16 && run_one(in); ++i) {
    }
    return 0;
}
