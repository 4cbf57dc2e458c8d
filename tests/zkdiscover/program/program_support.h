// What the program's tests share: running zkdiscover with its output
// captured, private folders, files read and written whole, and the bundled
// demo's description.
#ifndef ZKD_PROGRAM_SUPPORT_H
#define ZKD_PROGRAM_SUPPORT_H

#include "temp_dir.h"

#include <gtest/gtest.h>
#include <nlohmann/json.hpp>

#include <fcntl.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <fstream>
#include <functional>
#include <iterator>
#include <sstream>
#include <string>
#include <vector>

namespace zkdtest {

using json = nlohmann::json;

inline constexpr char kTraceLog[] = "/tmp/.ZEVIRO00.log";

inline std::string read_file(const std::string &path)
{
    std::ifstream in(path, std::ios::binary);
    return std::string(std::istreambuf_iterator<char>(in), {});
}

inline void write_file(const std::string &path, const std::string &text)
{
    std::ofstream(path, std::ios::binary) << text;
}

inline bool exists(const std::string &path)
{
    struct stat st;
    return lstat(path.c_str(), &st) == 0;
}

// A private directory for one test's files.
struct TempDir : zktest::TempDir {
    TempDir() : zktest::TempDir("zkd_program") {}
};

struct RunResult {
    int code = -1;
    std::string out, err;
};

// Runs the program with args; stdout and stderr are captured separately.
// during, when given, is called over and over while the program runs.
inline RunResult run(const std::vector<std::string> &args, const char *program = ZKD_PROGRAM,
              const std::function<void()> &during = nullptr)
{
    TempDir dir;
    std::string out = dir.file("out"), err = dir.file("err");
    pid_t pid = fork();
    if (pid == 0) {
        int o = open(out.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
        int e = open(err.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
        dup2(o, 1);
        dup2(e, 2);
        std::vector<char *> argv;
        argv.push_back(const_cast<char *>(program));
        for (const std::string &a : args)
            argv.push_back(const_cast<char *>(a.c_str()));
        argv.push_back(nullptr);
        execv(program, argv.data());
        _exit(127);
    }
    int status = 0;
    while (during && waitpid(pid, &status, WNOHANG) == 0)
        during();
    if (!during)
        waitpid(pid, &status, 0);
    RunResult r;
    r.code = WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
    r.out = read_file(out);
    r.err = read_file(err);
    return r;
}

inline json run_json(const std::vector<std::string> &args)
{
    RunResult r = run(args);
    EXPECT_EQ(r.code, 0) << r.err;
    return json::parse(r.out);
}

// The report without the lines that name build paths.
inline std::string without_paths(const std::string &tree)
{
    std::istringstream in(tree);
    std::string line, out;
    while (std::getline(in, line))
        if (line.rfind("Library: ", 0) != 0 && line.rfind("Simulated devices: ", 0) != 0)
            out += line + "\n";
    return out;
}

inline std::string demo_description()
{
    return read_file(std::string(ZKD_TEST_DATA) + "/../../../zkdiscover/arrays/demo.sim");
}

// A report without the moment of its scan, for comparing two runs.
inline json without_time(json doc)
{
    doc.erase("scanned_at");
    return doc;
}

inline json without_simulation(json doc)
{
    doc.erase("simulation");
    return without_time(doc);
}

}  // namespace zkdtest

#endif
