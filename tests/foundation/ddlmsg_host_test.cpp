// A host that defines its own ddlmsg receives nv_print's lines, leading
// words included: the library calls ddlmsg through the dynamic symbol table.
#include "zkDGCclariion.h"

#include <gtest/gtest.h>

#include <stdarg.h>
#include <stdio.h>

#include <string>
#include <vector>

namespace {

struct Message {
    int word1;
    int word2;
    std::string text;
};

std::vector<Message> g_messages;

}  // namespace

extern "C" void ddlmsg(int word1, int word2, const char *format, ...)
{
    char text[512];
    va_list args;
    va_start(args, format);
    vsnprintf(text, sizeof text, format, args);
    va_end(args);
    g_messages.push_back(Message{word1, word2, text});
}

namespace {

TEST(DdlmsgHost, ReceivesNvPrintLines)
{
    char **list = nullptr;
    ASSERT_EQ(nv_create_list(&list, "VID=DGC", "PID=CLARiiON", static_cast<char *>(nullptr)), 2);
    g_messages.clear();
    nv_print(list);
    nv_free(list);

    const char *expected[] = {"Printing Name-Value Pair\n", "VID=DGC\n", "PID=CLARiiON\n"};
    ASSERT_EQ(g_messages.size(), 3u);
    for (size_t i = 0; i < 3; ++i) {
        EXPECT_EQ(g_messages[i].word1, 0x70000) << i;
        EXPECT_EQ(g_messages[i].word2, 0) << i;
        EXPECT_EQ(g_messages[i].text, expected[i]) << i;
    }
}

}  // namespace
