// Reading JSON: saved runs (saved.cpp) and an entry's answer (answer.cpp)
// go through the same library reader, nlohmann::json.
#ifndef CIRCUIT_HOST_JSON_H
#define CIRCUIT_HOST_JSON_H

#include <cmath>
#include <string>

#include <nlohmann/json.hpp>

namespace host {

using Json = nlohmann::json;

// The document in `text`; std::runtime_error with where it went wrong.
Json parseJson(const std::string& text);

// A member of an object, or null when `j` is no object or lacks it.
const Json& member(const Json& j, const char* key);
// A number as a double; NaN for null and anything else.
inline double numberOr(const Json& j, double otherwise = NAN) {
    return j.is_number() ? j.get<double>() : otherwise;
}
inline std::string stringOr(const Json& j, const std::string& otherwise = "") {
    return j.is_string() ? j.get<std::string>() : otherwise;
}

} // namespace host

#endif // CIRCUIT_HOST_JSON_H
