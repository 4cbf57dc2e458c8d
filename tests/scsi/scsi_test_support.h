// Helpers shared by the SCSI test programs: capturing what a call prints on
// stdout, and exact-size heap copies of response bytes (so that the
// sanitizer build and valgrind catch any read at or beyond the end).
#ifndef ZK_TESTS_SCSI_TEST_SUPPORT_H
#define ZK_TESTS_SCSI_TEST_SUPPORT_H

#include <stdio.h>
#include <unistd.h>

#include <cstring>
#include <initializer_list>
#include <string>
#include <vector>

namespace zkscsi_test {

// Sends stdout (descriptor 1 and the stream) to a temporary file between
// start() and finish(), which returns everything written; raw bytes, zeros
// included, survive. Nothing is allocated between the two calls, so a test
// may fail allocations in between.
class StdoutCapture {
public:
    bool start()
    {
        fflush(stdout);
        sink_ = tmpfile();
        if (sink_ == nullptr)
            return false;
        saved_ = dup(1);
        dup2(fileno(sink_), 1);
        return true;
    }

    std::string finish()
    {
        if (sink_ == nullptr)
            return "<tmpfile failed>";
        fflush(stdout);
        dup2(saved_, 1);
        close(saved_);
        std::string text;
        rewind(sink_);
        char chunk[4096];
        size_t got;
        while ((got = fread(chunk, 1, sizeof chunk, sink_)) > 0)
            text.append(chunk, got);
        fclose(sink_);
        sink_ = nullptr;
        return text;
    }

private:
    FILE *sink_ = nullptr;
    int saved_ = -1;
};

// Runs fn with stdout captured and returns what it printed.
template <typename Fn>
std::string capture_stdout(Fn fn)
{
    StdoutCapture capture;
    capture.start();
    fn();
    return capture.finish();
}

// A heap block of exactly the given bytes, no more (a vector built from a
// range allocates exactly its size; an empty one holds no block at all).
class HeapBytes {
public:
    explicit HeapBytes(const std::vector<unsigned char> &bytes)
        : HeapBytes(bytes, bytes.size())
    {
    }
    // The first n bytes of bytes (n at most bytes.size()).
    HeapBytes(const std::vector<unsigned char> &bytes, size_t n)
        : bytes_(bytes.begin(), bytes.begin() + static_cast<long>(n))
    {
    }
    const unsigned char *data() const { return bytes_.data(); }
    int length() const { return static_cast<int>(bytes_.size()); }

private:
    std::vector<unsigned char> bytes_;
};

// Bytes from a list, with text appended (no terminator): a convenient way to
// write responses that mix fields and identifier text.
inline std::vector<unsigned char> bytes_of(std::initializer_list<int> values)
{
    std::vector<unsigned char> out;
    for (int v : values)
        out.push_back(static_cast<unsigned char>(v));
    return out;
}

inline void append_text(std::vector<unsigned char> &out, const char *text)
{
    out.insert(out.end(), text, text + std::strlen(text));
}

// A string literal with its embedded zero bytes.
template <size_t N>
std::string raw(const char (&literal)[N])
{
    return std::string(literal, N - 1);
}

// Joins lines, each ended by "\n".
inline std::string lines(std::initializer_list<const char *> items)
{
    std::string out;
    for (const char *item : items) {
        out += item;
        out += '\n';
    }
    return out;
}

}  // namespace zkscsi_test

#endif  // ZK_TESTS_SCSI_TEST_SUPPORT_H
