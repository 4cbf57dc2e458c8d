// Helpers for the name-value tests: layout checks relative to the block
// address, with P = sizeof(void *), and calls with a run of values.
#ifndef ZK_NV_TEST_UTIL_H
#define ZK_NV_TEST_UTIL_H

#include "zkDGCclariion.h"

#include <gtest/gtest.h>

#include <stddef.h>
#include <stdint.h>
#include <string.h>

#include <string>
#include <vector>

namespace zkfoundation {

constexpr size_t kPointerSize = sizeof(void *);
// Bytes the guarded-block layout puts in front of the user area: the
// marker alone where pointers are 4 bytes, else a header of the heap's
// alignment ending in the marker.
constexpr size_t kGuardHeader = kPointerSize == 4 ? 4 : alignof(max_align_t);

using Strings = std::vector<std::string>;
using Args = std::vector<const char *>;

// Calls fn with the arguments of args; fn adds the ending null pointer.
template <typename Fn>
int with_args(const Args &args, Fn fn)
{
    switch (args.size()) {
    case 0: return fn();
    case 1: return fn(args[0]);
    case 2: return fn(args[0], args[1]);
    case 3: return fn(args[0], args[1], args[2]);
    case 4: return fn(args[0], args[1], args[2], args[3]);
    }
    ADD_FAILURE() << "too many arguments for with_args";
    return -2;
}

// The guard marker stands directly in front of the user area, which is
// aligned for the pointer slots (and for max_align_t where the header is).
inline void expect_guarded(const void *block, const std::string &label)
{
    ASSERT_NE(block, nullptr) << label;
    const unsigned char *user = static_cast<const unsigned char *>(block);
    EXPECT_EQ(memcmp(user - 4, "!^#@", 4), 0) << label;
    EXPECT_EQ(reinterpret_cast<uintptr_t>(block) % alignof(char *), 0u) << label;
    if (kGuardHeader != 4) {
        EXPECT_EQ(reinterpret_cast<uintptr_t>(block) % alignof(max_align_t), 0u) << label;
    }
}

// A value array or list: n slots of P bytes, a null slot, then the n
// strings one directly behind the other, all inside one guarded block.
inline void expect_packed(char *const *block, const Strings &expected, const std::string &label)
{
    expect_guarded(block, label);
    if (block == nullptr)
        return;
    const char *base = reinterpret_cast<const char *>(block);
    const char *cursor = base + kPointerSize * (expected.size() + 1);
    for (size_t i = 0; i < expected.size(); ++i) {
        EXPECT_EQ(block[i], cursor) << label << " slot " << i;
        if (block[i] != cursor)
            return;
        EXPECT_EQ(std::string(block[i]), expected[i]) << label << " slot " << i;
        cursor += expected[i].size() + 1;
    }
    EXPECT_EQ(block[expected.size()], nullptr) << label << " end slot";
}

// Size of the user area of a packed layout holding these strings.
inline size_t packed_size(const Strings &strings)
{
    size_t size = kPointerSize * (strings.size() + 1);
    for (const std::string &s : strings)
        size += s.size() + 1;
    return size;
}

}  // namespace zkfoundation

#endif  // ZK_NV_TEST_UTIL_H
