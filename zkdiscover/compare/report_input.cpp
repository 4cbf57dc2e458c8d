#include "report_input.h"

#include "file_io.h"

#include <sys/types.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>

namespace zkd::reading {

bool ReportInput::rewind()
{
    if (text_ == nullptr && lseek(fd_, 0, SEEK_SET) != 0) {
        error_ = std::strerror(errno);
        return false;
    }
    pos_ = len_ = total_ = nul_at_ = 0;
    done_ = false;
    blank_ = true;
    return true;
}

std::string ReportInput::around(size_t at, size_t &offset) const
{
    size_t begin = at > 41 ? at - 41 : 0;
    offset = at - begin;
    if (text_ != nullptr)
        return text_->substr(std::min(begin, text_->size()), 83);
    std::string bytes(83, '\0');
    ssize_t n;
    do
        n = pread(fd_, &bytes[0], bytes.size(), static_cast<off_t>(begin));
    while (n < 0 && errno == EINTR);
    bytes.resize(n > 0 ? static_cast<size_t>(n) : 0);
    return bytes;
}

void ReportInput::refill()
{
    pos_ = len_ = 0;
    size_t n = 0;
    if (text_ != nullptr) {
        data_ = text_->data();
        n = text_->size();
        done_ = true;
    } else {
        long got = read_piece(fd_, buffer_, sizeof buffer_, total_, limit_, error_);
        data_ = buffer_;
        n = got > 0 ? static_cast<size_t>(got) : 0;
        done_ = n == 0;
    }
    // A NUL byte ends the input there (and is reported).
    if (const void *nul = std::memchr(data_, '\0', n)) {
        n = static_cast<size_t>(static_cast<const char *>(nul) - data_);
        nul_at_ = total_ + n + 1;
        done_ = true;
    }
    for (size_t i = 0; blank_ && i < n; ++i)
        blank_ = std::strchr(" \t\r\n", data_[i]) != nullptr;
    len_ = n;
    total_ += n;
}

}  // namespace zkd::reading
