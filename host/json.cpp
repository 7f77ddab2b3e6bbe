// The one JSON reader of the host, over nlohmann::json.
#include <stdexcept>

#include "json.h"

namespace host {

Json parseJson(const std::string& text) {
    try {
        return Json::parse(text);
    } catch (const Json::parse_error& e) {
        throw std::runtime_error("syntax error at byte " + std::to_string(e.byte));
    }
}

const Json& member(const Json& j, const char* key) {
    static const Json none;
    if (!j.is_object()) return none;
    const auto it = j.find(key);
    return it == j.end() ? none : *it;
}

} // namespace host
