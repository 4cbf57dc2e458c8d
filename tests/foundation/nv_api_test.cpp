// Guarded blocks, pair strings, value arrays and pair lists: results,
// texts and layouts (relative to the block address, P = sizeof(void *), so
// the same checks hold on a 32-bit target).
#include "nv_test_util.h"

#include <gtest/gtest.h>

#include <stdint.h>
#include <string.h>

namespace zkfoundation {
namespace {

char kUntouched[] = "untouched";

// ---- Guarded blocks ------------------------------------------------------

TEST(NvAlloc, BlocksCarryTheMarkerAndAreAligned)
{
    for (size_t size : {size_t(0), size_t(1), size_t(3), size_t(17), size_t(4096)}) {
        void *block = nv_alloc(size);
        expect_guarded(block, "size " + std::to_string(size));
        if (block)
            memset(block, 0xA5, size);  // the whole user area is usable
        nv_free(block);
    }
}

TEST(NvAlloc, UnrepresentableSizesGiveNull)
{
    // size + header would wrap around to a tiny block.
    for (size_t size : {SIZE_MAX, SIZE_MAX - 1, SIZE_MAX - kGuardHeader + 1})
        EXPECT_EQ(nv_alloc(size), nullptr) << size;
}

TEST(NvFree, IgnoresNullAndBrokenMarkers)
{
    nv_free(nullptr);

    for (int broken = 0; broken < 4; ++broken) {
        unsigned char *block = static_cast<unsigned char *>(nv_alloc(8));
        ASSERT_NE(block, nullptr);
        memcpy(block, "payload", 8);
        block[broken - 4] ^= 0xFF;
        unsigned char before[12];
        memcpy(before, block - 4, sizeof before);
        nv_free(block);  // not released: the marker is not intact
        EXPECT_EQ(memcmp(before, block - 4, sizeof before), 0) << "marker byte " << broken;
        block[broken - 4] ^= 0xFF;
        nv_free(block);  // intact again: released (a leak checker would say otherwise)
    }
}

// Pointers that only look like guarded blocks are left alone where the
// header has room for more than the marker (free() would abort on them).
TEST(NvFree, IgnoresForgedBlocks)
{
    if (kGuardHeader == 4)
        GTEST_SKIP() << "the header is the marker alone";
    alignas(max_align_t) unsigned char stack[64];
    memset(stack, 0x5A, sizeof stack);
    memcpy(stack + 28, "!^#@", 4);  // forged marker, garbage in front
    nv_free(stack + 32);
    EXPECT_EQ(memcmp(stack + 28, "!^#@", 4), 0);

    char *pair = nullptr;
    ASSERT_EQ(nv_set_value(&pair, "NAME", "ab!^#@value"), 0);
    char *inside = strstr(pair, "value");  // a pointer into a value
    nv_free(inside);
    EXPECT_STREQ(pair, "NAME=ab!^#@value");
    nv_free(pair);
}

// ---- Building pairs ------------------------------------------------------

struct SetCase {
    const char *name;
    const char *value;
    const char *expected;  // null: -1
};

// One built pair against its expected text (null: the call must fail and
// leave the out-pointer untouched); releases the pair.
void expect_built_pair(int result, char *pair, const char *expected,
                       const std::string &label)
{
    if (expected == nullptr) {
        EXPECT_EQ(result, -1) << label;
        EXPECT_EQ(pair, kUntouched) << label;
        return;
    }
    EXPECT_EQ(result, 0) << label;
    ASSERT_NE(pair, kUntouched) << label;
    EXPECT_STREQ(pair, expected) << label;
    expect_guarded(pair, label);
    nv_free(pair);
}

TEST(NvSetValue, Table)
{
    const SetCase cases[] = {
        {"VID", "DGC", "VID=DGC"},
        {"  VID", "DGC", "VID=DGC"},
        {"\t\n\v\f\r VID", "DGC", "VID=DGC"},
        {"VID ", " DGC", "VID = DGC"},
        {"VID", "", "VID="},
        {"V I D", "a,b", "V I D=a,b"},
        {"", "DGC", nullptr},
        {"   ", "DGC", nullptr},
        {" \t\r\n", "", nullptr},
    };
    for (const SetCase &c : cases) {
        char *pair = kUntouched;
        int result = nv_set_value(&pair, c.name, c.value);
        std::string label = std::string("name '") + c.name + "' value '" + c.value + "'";
        expect_built_pair(result, pair, c.expected, label);
    }
}

struct MultCase {
    const char *pair_or_name;
    Args values;
    const char *expected;  // null: -1
};

TEST(NvSetMultValue, Table)
{
    const MultCase cases[] = {
        {"ATYPE", {}, "ATYPE="},
        {"ATYPE", {"A/P"}, "ATYPE=A/P"},
        {"ATYPE", {"A/P", "DGC"}, "ATYPE=A/P,DGC"},
        {"  ATYPE ", {" x ", "y"}, "ATYPE = x ,y"},
        {"N", {""}, "N="},
        {"N", {"", "x"}, "N=,x"},
        {"N", {"a", "", ""}, "N=a,,"},
        {"", {"x"}, nullptr},
        {" \t ", {}, nullptr},
    };
    for (const MultCase &c : cases) {
        char *pair = kUntouched;
        int result = with_args(c.values, [&](auto... values) {
            return nv_set_mult_value(&pair, c.pair_or_name, values..., nullptr);
        });
        std::string label = std::string("name '") + c.pair_or_name + "' with " +
                            std::to_string(c.values.size()) + " values";
        expect_built_pair(result, pair, c.expected, label);
    }
}

TEST(NvAppendValue, Table)
{
    const MultCase cases[] = {
        {"VID=DGC", {"A/P", "DGC"}, "VID=DGC,A/P,DGC"},
        {"VID=", {"DGC"}, "VID=DGC"},
        {"VID= ", {"DGC"}, "VID= DGC"},
        {"VID=\t\n", {"a", "b"}, "VID=\t\na,b"},
        {" VID=DGC", {"A/P"}, "VID=DGC,A/P"},
        {"  VID=DGC ", {}, "VID=DGC "},
        {"VID=", {}, "VID="},
        {"VID=", {"", "x"}, "VID=,x"},
        {"VID=a", {""}, "VID=a,"},
        {"VID=a=b", {"c"}, "VID=a=b,c"},
        {"A B =x", {" y "}, "A B =x, y "},
        {"VID", {"x"}, nullptr},
        {"=DGC", {"x"}, nullptr},
        {"  =DGC", {}, nullptr},
        {"", {}, nullptr},
        {" \t", {"x"}, nullptr},
    };
    for (const MultCase &c : cases) {
        char *pair = kUntouched;
        int result = with_args(c.values, [&](auto... values) {
            return nv_append_value(&pair, c.pair_or_name, values..., nullptr);
        });
        std::string label = std::string("pair '") + c.pair_or_name + "' with " +
                            std::to_string(c.values.size()) + " values";
        expect_built_pair(result, pair, c.expected, label);
    }
}

TEST(NvAppendValue, LeavesTheGivenPairAlone)
{
    char *pair = nullptr;
    ASSERT_EQ(nv_set_value(&pair, "VID", "DGC"), 0);
    char *longer = nullptr;
    ASSERT_EQ(nv_append_value(&longer, pair, "A/P", nullptr), 0);
    EXPECT_STREQ(pair, "VID=DGC");
    EXPECT_NE(longer, pair);
    nv_free(pair);
    EXPECT_STREQ(longer, "VID=DGC,A/P");
    nv_free(longer);
}

// ---- Reading pairs -------------------------------------------------------

struct NameCase {
    const char *pair;
    const char *expected;  // null: -1
};

TEST(NvGetName, Table)
{
    const NameCase cases[] = {
        {"VID=DGC", "VID"},
        {" VID =DGC", "VID"},
        {"\tVID\t\r\n=x", "VID"},
        {"VID=A=B", "VID"},
        {"A B = x", "A B"},
        {"V=", "V"},
        {"x =", "x"},
        {"=DGC", nullptr},
        {"  =DGC", nullptr},
        {"VID", nullptr},
        {"", nullptr},
        {"   ", nullptr},
    };
    for (const NameCase &c : cases) {
        char *name = kUntouched;
        int result = nv_get_name(c.pair, &name);
        std::string label = std::string("pair '") + c.pair + "'";
        if (c.expected == nullptr) {
            EXPECT_EQ(result, -1) << label;
            EXPECT_EQ(name, kUntouched) << label;
            continue;
        }
        EXPECT_EQ(result, 0) << label;
        ASSERT_NE(name, kUntouched) << label;
        EXPECT_STREQ(name, c.expected) << label;
        expect_guarded(name, label);
        nv_free(name);
    }
}

struct ValueCase {
    const char *pair;
    int expected_result;
    Strings expected_values;
};

TEST(NvGetValue, Table)
{
    const ValueCase cases[] = {
        {"VID=DGC", 1, {"DGC"}},
        {"VID=", 1, {""}},
        {"VID=A=B", 1, {"A=B"}},
        {"VID=DGC,", 2, {"DGC", ""}},
        {"VID= A/P , DGC,,x ", 4, {"A/P", "DGC", "", "x"}},
        {"VID=A/P,x", 2, {"A/P", "x"}},
        {" VID = \t ", 1, {""}},
        {"V=,", 2, {"", ""}},
        {"V= a b ,\tc\n", 2, {"a b", "c"}},
        {"VID", -1, {}},
        {"=x", -1, {}},
        {"  =x", -1, {}},
        {"", -1, {}},
    };
    for (const ValueCase &c : cases) {
        char **values = reinterpret_cast<char **>(kUntouched);
        int result = nv_get_value(c.pair, &values);
        std::string label = std::string("pair '") + c.pair + "'";
        EXPECT_EQ(result, c.expected_result) << label;
        if (c.expected_result < 0) {
            EXPECT_EQ(values, reinterpret_cast<char **>(kUntouched)) << label;
            continue;
        }
        ASSERT_NE(values, reinterpret_cast<char **>(kUntouched)) << label;
        expect_packed(values, c.expected_values, label);
        nv_free(values);
    }
}

// What the building operations write, the reading ones give back.
TEST(NvPairs, BuiltValuesReadBack)
{
    const Args value_sets[] = {{}, {"a"}, {""}, {"", "x"}, {"a", "", "b"}, {"a", ""}};
    for (const Args &set : value_sets) {
        char *pair = nullptr;
        ASSERT_EQ(with_args(set, [&](auto... v) { return nv_set_mult_value(&pair, " NAME", v..., nullptr); }), 0);
        char *appended = nullptr;
        ASSERT_EQ(with_args(set, [&](auto... v) { return nv_append_value(&appended, "NAME=", v..., nullptr); }), 0);
        Strings expected(set.begin(), set.end());
        if (expected.empty())
            expected.push_back("");
        for (char *built : {pair, appended}) {
            char **values = nullptr;
            char *name = nullptr;
            EXPECT_EQ(nv_get_value(built, &values), static_cast<int>(expected.size())) << built;
            expect_packed(values, expected, built);
            EXPECT_EQ(nv_get_name(built, &name), 0) << built;
            EXPECT_STREQ(name, "NAME");
            nv_free(values);
            nv_free(name);
        }
        nv_free(pair);
        nv_free(appended);
    }
}

// ---- Lists ---------------------------------------------------------------

TEST(NvCreateList, Table)
{
    const struct {
        Args strings;
        Strings expected;  // empty: -1
    } cases[] = {
        {{}, {}},
        {{"VID=DGC"}, {"VID=DGC"}},
        {{"VID=DGC", "PID=CLARiiON"}, {"VID=DGC", "PID=CLARiiON"}},
        {{" A = B ", "no pair", ""}, {" A = B ", "no pair", ""}},
    };
    for (const auto &c : cases) {
        char **list = reinterpret_cast<char **>(kUntouched);
        int result = with_args(c.strings, [&](auto... s) { return nv_create_list(&list, s..., nullptr); });
        std::string label = std::to_string(c.strings.size()) + " strings";
        if (c.expected.empty()) {
            EXPECT_EQ(result, -1) << label;
            EXPECT_EQ(list, reinterpret_cast<char **>(kUntouched)) << label;
            continue;
        }
        EXPECT_EQ(result, static_cast<int>(c.expected.size())) << label;
        expect_packed(list, c.expected, label);
        nv_free(list);
    }
}

TEST(NvCreateList, StopsAtTheFirstNull)
{
    char **list = nullptr;
    EXPECT_EQ(nv_create_list(&list, "VID=DGC", nullptr, "PID=CLARiiON", nullptr), 1);
    expect_packed(list, {"VID=DGC"}, "null in the middle");
    nv_free(list);
}

TEST(NvAppendList, Table)
{
    char **two = nullptr;
    ASSERT_EQ(nv_create_list(&two, "VID=DGC", "PID=CLARiiON", nullptr), 2);
    char *empty_list[] = {nullptr};
    char plain0[] = "plain=1", plain1[] = " not guarded ";
    char *plain_list[] = {plain0, plain1, nullptr};

    const struct {
        const char *label;
        char *const *list;
        Args strings;
        Strings expected;
    } cases[] = {
        {"copy", two, {}, {"VID=DGC", "PID=CLARiiON"}},
        {"one more", two, {"ATYPE=A/P"}, {"VID=DGC", "PID=CLARiiON", "ATYPE=A/P"}},
        {"empty", empty_list, {}, {}},
        {"empty plus", empty_list, {"x", ""}, {"x", ""}},
        {"plain array", plain_list, {"=y"}, {"plain=1", " not guarded ", "=y"}},
    };
    for (const auto &c : cases) {
        char **list = reinterpret_cast<char **>(kUntouched);
        int result = with_args(c.strings, [&](auto... s) { return nv_append_list(&list, c.list, s..., nullptr); });
        EXPECT_EQ(result, static_cast<int>(c.expected.size())) << c.label;
        ASSERT_NE(list, reinterpret_cast<char **>(kUntouched)) << c.label;
        EXPECT_NE(list, c.list) << c.label;
        expect_packed(list, c.expected, c.label);
        nv_free(list);
    }
    expect_packed(two, {"VID=DGC", "PID=CLARiiON"}, "given list unchanged");
    nv_free(two);
}

}  // namespace
}  // namespace zkfoundation
