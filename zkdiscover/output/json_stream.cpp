#include "json_stream.h"

#include "text_escape.h"

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

namespace {

bool any_string_differs(const ojson &value)
{
    if (value.is_string())
        return json_text_differs(value.get_ref<const std::string &>());
    if (value.is_structured())
        for (const ojson &element : value)
            if (any_string_differs(element))
                return true;
    return false;
}

void encode_strings(ojson &value)
{
    if (value.is_string())
        value = json_text(value.get_ref<const std::string &>());
    else if (value.is_structured())
        for (ojson &element : value)
            encode_strings(element);
}

}  // namespace

void JsonStream::put(const char *key, const ojson &value)
{
    start(key);
    // Strings in the report's own encoding (text_escape.h), the copy made
    // only for the few values that need it.
    ojson encoded;
    const ojson *shown = &value;
    if (any_string_differs(value)) {
        encoded = value;
        encode_strings(encoded);
        shown = &encoded;
    }
    // The value's own lines, each indented by the depth it sits at (a
    // string never holds a raw newline: dump escapes it).
    std::string text = shown->dump(2, ' ', false, ojson::error_handler_t::replace);
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
