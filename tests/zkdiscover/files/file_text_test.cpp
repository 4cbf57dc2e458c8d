// The files zkdiscover reads and replaces for others: hostile inputs are
// refused before a byte is read, and a replaced file is never half written.
#include "file_io.h"
#include "text_escape.h"

#include "temp_dir.h"

#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdlib>
#include <fstream>
#include <sstream>

namespace {

std::string contents(const std::string &path)
{
    std::ifstream in(path, std::ios::binary);
    std::stringstream s;
    s << in.rdbuf();
    return s.str();
}

TEST(FileIo, InputsThatAreNotSmallRegularFilesAreRefused)
{
    zktest::TempDir dir;
    std::string fifo = dir.file("fifo"), big = dir.file("big"), good = dir.file("good");
    ASSERT_EQ(mkfifo(fifo.c_str(), 0600), 0);
    std::ofstream(big) << std::string(100, 'x');
    std::ofstream(good) << "ok\n";
    struct Case {
        std::string path;
        bool ok;
        const char *reason;
    } cases[] = {
        {"/dev/zero", false, "not a regular file"},
        {fifo, false, "not a regular file"},  // must not block on open
        {dir.path(), false, "a directory, not a regular file"},
        {dir.file("missing"), false, "No such file or directory"},
        {big, false, "larger than 99 bytes"},
        {good, true, ""},
    };
    for (const Case &c : cases) {
        std::string text, error;
        EXPECT_EQ(zkd::read_regular_file(c.path, 99, text, error), c.ok) << c.path;
        EXPECT_EQ(error, c.reason) << c.path;
        EXPECT_EQ(zkd::check_regular_file(c.path, 99, error), c.ok) << c.path;
        if (c.ok) {
            EXPECT_EQ(text, "ok\n");
        }
    }
}

TEST(FileIo, ReplacementIsWholeOrNothingAndNeverFollowsALink)
{
    zktest::TempDir dir;
    std::string target = dir.file("out.prom"), victim = dir.file("victim");
    std::ofstream(victim) << "precious";
    ASSERT_EQ(symlink(victim.c_str(), target.c_str()), 0);

    {   // Abandoned before commit: nothing changes, no temporary file left.
        zkd::AtomicFile file;
        std::string error;
        ASSERT_TRUE(file.open(target, error)) << error;
        file.write("half");
    }
    EXPECT_EQ(contents(victim), "precious");

    zkd::AtomicFile file;
    std::string error;
    ASSERT_TRUE(file.open(target, error)) << error;
    file.write(std::string(200000, 'a'));  // past the buffer
    file.write("end\n");
    ASSERT_TRUE(file.commit(error)) << error;
    struct stat st;
    ASSERT_EQ(lstat(target.c_str(), &st), 0);
    EXPECT_TRUE(S_ISREG(st.st_mode));  // the link itself was replaced
    EXPECT_EQ(st.st_size, 200004);
    EXPECT_EQ(contents(victim), "precious");

    std::string reason;
    EXPECT_FALSE(zkd::check_output_folder(dir.file("missing"), reason));
    EXPECT_EQ(reason, "No such file or directory");
    EXPECT_FALSE(zkd::check_output_folder(victim, reason));
    EXPECT_EQ(reason, "Not a directory");
    EXPECT_TRUE(zkd::check_output_folder(dir.path(), reason));
    EXPECT_EQ(zkd::folder_of("a/b/c"), "a/b");
    EXPECT_EQ(zkd::folder_of("/c"), "/");
    EXPECT_EQ(zkd::folder_of("c"), ".");
}

}  // namespace

namespace {

// What eval gives back for a quoted word, in each shell the host may use.
TEST(TextEscape, ShellWordsRoundTripAndRunNothing)
{
    zktest::TempDir dir;
    const std::string hostile[] = {
        "CK2 ;touch x;$(touch y)", "it's `touch z`", "", "a\nb\tc\x1b[2J\\", "'''", "$HOME *",
    };
    for (const char *shell : {"/bin/sh", "/bin/dash", "/bin/bash"}) {
        if (access(shell, X_OK) != 0)
            continue;
        for (const std::string &value : hostile) {
            // What --export prints, then eval of it as a script would do.
            std::string line = dir.file("line"), out = dir.file("out");
            std::ofstream(line, std::ios::binary) << "V=" << zkd::shell_quote(value) << "\n";
            std::string command = std::string(shell) + " -c " +
                                  zkd::shell_quote("cd " + zkd::shell_quote(dir.path()) +
                                                   " && eval \"$(cat line)\" && printf %s \"$V\" > out");
            ASSERT_EQ(system(command.c_str()), 0) << shell;
            EXPECT_EQ(contents(out), value) << shell;
        }
        EXPECT_NE(access(dir.file("x").c_str(), F_OK), 0);
        EXPECT_NE(access(dir.file("y").c_str(), F_OK), 0);
        EXPECT_NE(access(dir.file("z").c_str(), F_OK), 0);
    }
}

TEST(TextEscape, ControlBytesBecomeHexAndABackslashIsDoubled)
{
    EXPECT_EQ(zkd::escape_text(std::string("a\x1b[2J\r\n\\\x7f\xff z", 12)),
              "a\\x1B[2J\\x0D\\x0A\\\\\\x7F\\xFF z");
    // The text \xc3 is not the byte 0xC3.
    EXPECT_EQ(zkd::escape_text("\\xc3"), "\\\\xc3");
    EXPECT_EQ(zkd::escape_text("\xc3"), "\\xC3");
}

// Every string of the JSON report gives its bytes back; UTF-8 without a
// backslash (nearly every string) is written as it is.
TEST(TextEscape, JsonTextGivesBackEveryByte)
{
    struct Case {
        std::string bytes, text;
    } cases[] = {
        {"/dev/sg3", "/dev/sg3"},
        {"caf\xc3\xa9 \xe2\x82\xac \xf0\x9f\x92\xbe", "caf\xc3\xa9 \xe2\x82\xac \xf0\x9f\x92\xbe"},
        {"/dev/sim/caf\xe9", "/dev/sim/caf\\xE9"},
        {"a\\xe9", "a\\\\xe9"},
        // overlong, surrogate, past U+10FFFF, cut short
        {"\xc0\xaf \xed\xa0\x80 \xf4\x90\x80\x80 \xc3",
         "\\xC0\\xAF \\xED\\xA0\\x80 \\xF4\\x90\\x80\\x80 \\xC3"},
        {std::string("\x1b\0\x7f", 3), std::string("\x1b\0\x7f", 3)},
    };
    for (const Case &c : cases) {
        EXPECT_EQ(zkd::json_text(c.bytes), c.text);
        EXPECT_EQ(zkd::json_text_differs(c.bytes), c.bytes != c.text);
        EXPECT_EQ(zkd::bytes_of_json_text(c.text), c.bytes);
    }
}

// --export on a terminal: no control byte reaches it, and bash reads the
// word back; printable values stay single-quoted for any sh.
TEST(TextEscape, TerminalShellQuoteShowsNoControlByte)
{
    EXPECT_EQ(zkd::terminal_shell_quote("it's"), "'it'\\''s'");
    std::string value = "it's\x1b[2J\\ \n\xff";
    std::string word = zkd::terminal_shell_quote(value);
    EXPECT_EQ(word, "$'it\\'s\\x1B[2J\\\\ \\x0A\\xFF'");
    zktest::TempDir dir("zkd_quote");
    std::string script = "eval \"v=" + word + "\"; printf %s \"$v\" > " + dir.file("v");
    ASSERT_EQ(std::system(("/bin/bash -c " + zkd::shell_quote(script)).c_str()), 0);
    std::ifstream in(dir.file("v"), std::ios::binary);
    EXPECT_EQ(std::string(std::istreambuf_iterator<char>(in), {}), value);
}

}  // namespace
