// The per-entry fields that CSV and JSON both write, in one list: a CSV
// column is the JSON key of the same name with the same value, so the two
// files cannot drift apart (report_csv.cpp holds the list; the comparison's
// own list is in report_comparison_fields.cpp).
#ifndef CIRCUIT_HOST_FIELDS_H
#define CIRCUIT_HOST_FIELDS_H

#include <string>
#include <vector>

#include "model.h"

namespace host {

// One value of a field: what CSV writes as an empty cell, JSON as null.
struct Value {
    enum Kind { Null, Number, Integer, Bool, Text, Numbers } kind = Null;
    double number = 0;
    long long integer = 0;
    bool flag = false;
    std::string text;
    std::vector<double> numbers; // JSON only: an array
};

// A value as a CSV cell and as a JSON value (report_csv.cpp, report_json.cpp).
std::string csvCell(const Value& v);
std::string jsonValue(const Value& v);

// Where a field is written: CSV, JSON or both.
enum : unsigned { kInCsv = 1, kInJson = 2, kInBoth = 3 };

struct Field {
    const char* key;
    unsigned where;
    Value (*get)(const EntryResult& e, const RunInfo& run);
};

// The fields of an entry, in the order both files write them.
const std::vector<Field>& entryFields();

} // namespace host

#endif // CIRCUIT_HOST_FIELDS_H
