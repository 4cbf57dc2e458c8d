// ddlmsg: stderr or $ZK_DEBUG_FILE (appended, created, closed again), and
// nv_print's lines through it.
#include "foundation_test_util.h"
#include "nv_test_util.h"

#include <gtest/gtest.h>

namespace zkfoundation {
namespace {

enum class Target { kStderr, kFile };

struct EnvCase {
    const char *label;
    bool set;
    std::string value;  // file name inside the temp dir, or a literal path
    bool in_temp_dir;
    Target expected;
};

TEST(Ddlmsg, DestinationFollowsTheVariable)
{
    TempDir dir;
    const EnvCase cases[] = {
        {"unset", false, "", false, Target::kStderr},
        {"empty", true, "", false, Target::kStderr},
        {"writable", true, "messages", true, Target::kFile},
        {"missing directory", true, "no/such/dir/messages", true, Target::kStderr},
        {"a directory", true, "/", false, Target::kStderr},
    };
    for (const EnvCase &c : cases) {
        std::string path = c.in_temp_dir ? dir.file(c.value) : c.value;
        ScopedEnv env("ZK_DEBUG_FILE", c.set ? path.c_str() : nullptr);
        int descriptors = count_open_descriptors();
        StderrCapture capture;
        ddlmsg(1, 2, "%s-%d|", "x", 5);
        ddlmsg(-7, 0x70000, "no newline");
        std::string err = capture.take();
        std::string expected = "x-5|no newline";
        if (c.expected == Target::kStderr) {
            EXPECT_EQ(err, expected) << c.label;
        } else {
            EXPECT_EQ(err, "") << c.label;
            EXPECT_EQ(read_file(path), expected) << c.label;
        }
        EXPECT_EQ(count_open_descriptors(), descriptors) << c.label << ": a file stayed open";
    }
}

TEST(Ddlmsg, AppendsToWhatIsThere)
{
    TempDir dir;
    std::string path = dir.file("messages");
    write_file(path, "before\n");
    ScopedEnv env("ZK_DEBUG_FILE", path.c_str());
    ddlmsg(0, 0, "one\n");
    EXPECT_EQ(read_file(path), "before\none\n");  // in the file as soon as the call returns
    ddlmsg(0, 0, "%c%s\n", 't', "wo");
    EXPECT_EQ(read_file(path), "before\none\ntwo\n");
}

TEST(Ddlmsg, FollowsAChangeOfTheVariable)
{
    TempDir dir;
    ScopedEnv env("ZK_DEBUG_FILE", dir.file("a").c_str());
    ddlmsg(0, 0, "first");
    setenv("ZK_DEBUG_FILE", dir.file("b").c_str(), 1);
    ddlmsg(0, 0, "second");
    EXPECT_EQ(read_file(dir.file("a")), "first");
    EXPECT_EQ(read_file(dir.file("b")), "second");
}

TEST(NvPrint, LinesThroughDdlmsg)
{
    TempDir dir;
    std::string path = dir.file("messages");
    ScopedEnv env("ZK_DEBUG_FILE", path.c_str());

    char **two = nullptr;
    ASSERT_EQ(nv_create_list(&two, "VID=DGC", "PID=CLARiiON", nullptr), 2);
    nv_print(two);
    EXPECT_EQ(read_file(path), "Printing Name-Value Pair\nVID=DGC\nPID=CLARiiON\n");
    nv_free(two);

    unlink(path.c_str());
    char *empty[] = {nullptr};
    nv_print(empty);
    EXPECT_EQ(read_file(path), "Printing Name-Value Pair\n");

    // Entries are printed as text, never used as a format.
    unlink(path.c_str());
    char tricky[] = "A=%s%n%d";
    char *one[] = {tricky, nullptr};
    nv_print(one);
    EXPECT_EQ(read_file(path), "Printing Name-Value Pair\nA=%s%n%d\n");
}

TEST(NvPrint, ToStderrWhenUnset)
{
    ScopedEnv env("ZK_DEBUG_FILE", nullptr);
    char entry[] = "VID=DGC";
    char *list[] = {entry, nullptr};
    StderrCapture capture;
    nv_print(list);
    EXPECT_EQ(capture.take(), "Printing Name-Value Pair\nVID=DGC\n");
}

}  // namespace
}  // namespace zkfoundation
