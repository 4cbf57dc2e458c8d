// bascii_copy and strcpy_nb on fuzzed bytes, counts and capacities
// (negative ones too). Source and target are heap blocks of exactly their
// size, so a read or write beyond them stops the run; the oracle works the
// text and result out from the bytes alone.
#include "fuzz_support.h"
#include "zkDGCclariion.h"

#include <stdlib.h>
#include <string.h>

#include <algorithm>

namespace {

using namespace zkfuzz;

bool printable(unsigned char b) { return b >= 0x20 && b < 0x7F; }
bool white(unsigned char b) { return b == ' ' || (b >= '\t' && b <= '\r'); }

// The text bascii_copy must write, or -1 when it does not fit.
int expected_identifier(const Bytes &source, int count, int capacity, std::string *text)
{
    count = std::max(count, 0);
    if (count >= capacity)
        return -1;
    int n = 0;
    while (n < count && printable(source[size_t(n)]))
        ++n;
    if (n == count || (n == count - 1 && source[size_t(n)] == 0)) {
        text->assign(reinterpret_cast<const char *>(source.data()), size_t(n));
        return 0;
    }
    if (2LL * count >= capacity)
        return -1;
    for (int i = 0; i < count; ++i) {
        *text += "0123456789ABCDEF"[source[size_t(i)] >> 4];
        *text += "0123456789ABCDEF"[source[size_t(i)] & 15];
    }
    return 0;
}

int read_small_int(Input &in) { return in.signed_byte() % 80; }

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    Input in(data, size);
    bool identifier = in.byte() & 1;
    int count = read_small_int(in);
    int capacity = read_small_int(in);
    Bytes source = in.rest();

    if (identifier) {
        // The source holds count bytes; the target capacity bytes.
        source.resize(size_t(std::max(count, 0)));
        unsigned char *from = heap_copy(source);
        auto *target = static_cast<char *>(malloc(size_t(std::max(capacity, 0))));
        std::string expected;
        int want = expected_identifier(source, count, capacity, &expected);
        int result = bascii_copy(target, from, count, capacity);
        ZKFUZZ_EXPECT(result == want, "result %d, expected %d", result, want);
        if (want == 0)
            ZKFUZZ_EXPECT(memcmp(target, expected.c_str(), expected.size() + 1) == 0,
                          "text differs");
        free(target);
        free(from);
        return 0;
    }

    // strcpy_nb reads up to capacity - 1 bytes unless white space comes
    // first: the source holds that many.
    auto first_white = std::find_if(source.begin(), source.end(), white);
    if (first_white == source.end() && capacity - 1 > int(source.size()))
        capacity = int(source.size()) + 1;
    unsigned char *from = heap_copy(source);
    char *target = static_cast<char *>(malloc(size_t(std::max(capacity, 0))));
    size_t copied = 0;
    while (int(copied) < capacity - 1 && !white(source[copied]))
        ++copied;
    const char *end = strcpy_nb(reinterpret_cast<const char *>(from), target, capacity);
    ZKFUZZ_EXPECT(end == reinterpret_cast<const char *>(from) + copied,
                  "stopped after %td bytes, expected %zu",
                  end - reinterpret_cast<const char *>(from), copied);
    if (capacity > 0)
        ZKFUZZ_EXPECT((copied == 0 || memcmp(target, source.data(), copied) == 0) && target[copied] == 0,
                      "copy differs");
    free(target);
    free(from);
    return 0;
}
