// Text made in pieces: a report of 65,536 paths is tens of megabytes, so
// the renderers append to a spool that hands its text on every 64 KiB
// instead of holding the whole document.
#ifndef ZKDISCOVER_SPOOL_H
#define ZKDISCOVER_SPOOL_H

#include <cstddef>
#include <functional>
#include <string>
#include <string_view>
#include <utility>

namespace zkd {

using PieceWriter = std::function<void(const std::string &piece)>;

class Spool {
public:
    static constexpr size_t kPiece = 64 * 1024;

    explicit Spool(PieceWriter write) : write_(std::move(write)) { text_.reserve(kPiece + 4096); }
    Spool(const Spool &) = delete;
    Spool &operator=(const Spool &) = delete;
    ~Spool() { finish(); }

    Spool &operator+=(std::string_view text)
    {
        text_.append(text.data(), text.size());
        if (text_.size() >= kPiece)
            spill();
        return *this;
    }
    Spool &operator+=(char c)
    {
        text_ += c;
        return *this;
    }
    // Hands on what is left; the spool may be used again afterwards.
    void finish()
    {
        if (!text_.empty())
            spill();
    }

private:
    void spill()
    {
        write_(text_);
        text_.clear();
    }

    PieceWriter write_;
    std::string text_;
};

// Runs render with a spool that collects everything, and returns the text
// (for tests and small documents).
template <typename Render>
std::string collect(Render render)
{
    std::string text;
    {
        Spool spool([&text](const std::string &piece) { text += piece; });
        render(spool);
    }
    return text;
}

}  // namespace zkd

#endif
