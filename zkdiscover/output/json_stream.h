// JSON written a member at a time into a spool, laid out exactly as
// nlohmann's dump with an indent of 2 lays out the whole document: the
// reports of the largest hosts are never held as one document.
#ifndef ZKDISCOVER_JSON_STREAM_H
#define ZKDISCOVER_JSON_STREAM_H

#include "spool.h"

#include <nlohmann/json.hpp>

#include <vector>

namespace zkd {

// Containers are opened and closed here; what lies inside one (a path, a
// device, a change) is dumped as a small value. Strings are written as
// json_text (text_escape.h) makes them: bytes that are not UTF-8 as \xHH,
// the backslash as \\; member names as they are (the program's own).
class JsonStream {
public:
    explicit JsonStream(Spool &out) : out_(out) {}

    // key names the member in an open object (the program's own names,
    // written as they are); nullptr for an element of a list or the
    // document itself. bracket is '{' or '['.
    void open(const char *key, char bracket);
    void close();
    void put(const char *key, const nlohmann::ordered_json &value);
    // Every member of object, as members of the open object.
    void members(const nlohmann::ordered_json &object);

private:
    void start(const char *key);
    void indent();

    Spool &out_;
    std::vector<char> closing_;
    std::vector<bool> empty_;
};

}  // namespace zkd

#endif
