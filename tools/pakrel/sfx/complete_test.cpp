// Tests of the destination autocompletion's text rules.
#include <gtest/gtest.h>

#include "complete.h"

using namespace pakrel;

TEST(Completion, WhatATextLists) {
    using K = CompletionKind;
    struct Case {
        const char* text;
        K kind;
        const char* folder;
        const char* prefix;
        const char* server;
    } cases[] = {
        {"C", K::Folders, "C:", "", ""},
        {"c:", K::Folders, "c:", "", ""},
        {"C:\\", K::Folders, "C:", "", ""},
        {"C:\\Pro", K::Folders, "C:", "Pro", ""},
        {"D:\\a\\b\\wor", K::Folders, "D:\\a\\b", "wor", ""},
        {"D:\\a\\", K::Folders, "D:\\a", "", ""},
        {"\\\\", K::Servers, "", "\\\\", ""},
        {"\\\\fil", K::Servers, "", "\\\\fil", ""},
        {"\\\\files\\", K::Shares, "", "", "\\\\files"},
        {"\\\\files\\pu", K::Shares, "", "pu", "\\\\files"},
        {"\\\\files\\pub\\up", K::Folders, "\\\\files\\pub", "up", ""},
        {"\\\\\\", K::None, "", "", ""},
        {"\\\\a\\", K::None, "", "", ""},
        {"", K::None, "", "", ""},
        {"relative", K::None, "", "", ""},
        {"1", K::None, "", "", ""},
    };
    for (const Case& c : cases) {
        CompletionQuery q = completionQuery(c.text);
        EXPECT_EQ(q.kind, c.kind) << c.text;
        EXPECT_EQ(q.folder, c.folder) << c.text;
        EXPECT_EQ(q.prefix, c.prefix) << c.text;
        EXPECT_EQ(q.server, c.server) << c.text;
    }
}
