// The bytes of an earlier report as the report reader takes them: a file
// read a piece at a time, or a text in memory.
#ifndef ZKDISCOVER_REPORT_INPUT_H
#define ZKDISCOVER_REPORT_INPUT_H

#include <cstddef>
#include <iterator>
#include <string>

namespace zkd::reading {

// The bytes of a report, fed to the parser a chunk at a time: from a file
// (never more than limit bytes, stopping at a NUL byte) or from text.
class ReportInput {
public:
    ReportInput(int fd, size_t limit) : fd_(fd), limit_(limit) {}
    explicit ReportInput(const std::string &text) : text_(&text) {}

    // What nlohmann's parser reads through.
    class Iterator {
    public:
        using iterator_category = std::input_iterator_tag;
        using value_type = char;
        using difference_type = std::ptrdiff_t;
        using pointer = const char *;
        using reference = const char &;

        explicit Iterator(ReportInput *input = nullptr) : input_(input) {}
        const char &operator*() const { return input_->data_[input_->pos_]; }
        Iterator &operator++()
        {
            ++input_->pos_;
            return *this;
        }
        bool operator==(const Iterator &other) const { return ended() == other.ended(); }
        bool operator!=(const Iterator &other) const { return !(*this == other); }

    private:
        bool ended() const { return input_ == nullptr || input_->at_end(); }
        ReportInput *input_;
    };

    Iterator begin() { return Iterator(this); }
    Iterator end() { return Iterator(); }

    // Reads what the parser left, for a NUL byte further on.
    void drain()
    {
        while (!at_end())
            pos_ = len_;
    }

    // Back to the first byte, for a second reading.
    bool rewind();

    // Up to 41 bytes either side of byte offset at (0-based), and where
    // offset at is among them.
    std::string around(size_t at, size_t &offset) const;

    const std::string &error() const { return error_; }
    size_t nul_at() const { return nul_at_; }   // 1-based; 0: none
    bool blank() const { return blank_; }       // only white space so far
    size_t total() const { return total_; }     // bytes handed out

private:
    bool at_end()
    {
        if (pos_ < len_)
            return false;
        if (!done_)
            refill();
        return pos_ >= len_;
    }

    void refill();

    const std::string *text_ = nullptr;
    int fd_ = -1;
    size_t limit_ = 0;
    char buffer_[1 << 16];
    const char *data_ = buffer_;
    size_t pos_ = 0, len_ = 0, total_ = 0, nul_at_ = 0;
    bool done_ = false, blank_ = true;
    std::string error_;
};

}  // namespace zkd::reading

#endif
