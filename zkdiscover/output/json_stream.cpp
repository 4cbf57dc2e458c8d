#include "json_stream.h"

#include <string>
#include <string_view>

namespace zkd {

using ojson = nlohmann::ordered_json;

void JsonStream::open(const char *key, char bracket)
{
    start(key);
    out_ += bracket;
    closing_.push_back(bracket == '{' ? '}' : ']');
    empty_.push_back(true);
}

void JsonStream::close()
{
    char bracket = closing_.back();
    bool empty = empty_.back();
    closing_.pop_back();
    empty_.pop_back();
    if (!empty) {
        out_ += '\n';
        indent();
    }
    out_ += bracket;
}

void JsonStream::put(const char *key, const ojson &value)
{
    start(key);
    // The value's own lines, each indented by the depth it sits at (a
    // string never holds a raw newline: dump escapes it).
    std::string text = value.dump(2, ' ', false, ojson::error_handler_t::replace);
    std::string_view rest(text);
    for (size_t nl = rest.find('\n'); nl != std::string_view::npos; nl = rest.find('\n')) {
        out_ += rest.substr(0, nl + 1);
        indent();
        rest.remove_prefix(nl + 1);
    }
    out_ += rest;
}

void JsonStream::members(const ojson &object)
{
    for (auto it = object.begin(); it != object.end(); ++it)
        put(it.key().c_str(), it.value());
}

void JsonStream::start(const char *key)
{
    if (!empty_.empty()) {
        out_ += empty_.back() ? "\n" : ",\n";
        empty_.back() = false;
        indent();
    }
    if (key != nullptr) {
        out_ += '"';
        out_ += key;
        out_ += "\": ";
    }
}

void JsonStream::indent()
{
    for (size_t i = 0; i < closing_.size(); ++i)
        out_ += "  ";
}

}  // namespace zkd
