// The scan tests' fake trees: a private directory standing in for /sys or
// /dev.
#ifndef ZKD_FAKE_TREE_H
#define ZKD_FAKE_TREE_H

#include "temp_dir.h"

#include <gtest/gtest.h>
#include <unistd.h>

#include <cstdlib>
#include <fstream>
#include <string>

namespace zkdtest {

// A private directory for a fake /sys or /dev tree, removed with its
// content at the end of a test.
class TempDir : public zktest::TempDir {
public:
    TempDir() : zktest::TempDir("zkd_units") {}

    void make_dir(const std::string &rel) const
    {
        std::system(("mkdir -p '" + file(rel) + "'").c_str());
    }
    void make_file(const std::string &rel, const std::string &content = "") const
    {
        std::ofstream(file(rel)) << content;
    }
    void make_link(const std::string &target, const std::string &rel) const
    {
        ASSERT_EQ(symlink(target.c_str(), file(rel).c_str()), 0);
    }
};

}  // namespace zkdtest

#endif
