// Text helpers every output uses: Shift_JIS to UTF-8, terminal widths and
// padding, aligned columns, flag and layout names, and the JSON and CSV
// quoting of strings and numbers.
#ifndef CIRCUIT_HOST_TEXT_H
#define CIRCUIT_HOST_TEXT_H

#include <string>
#include <vector>

#include "circuit.h"
#include "model.h"

namespace host {

// A Shift_JIS (code page 932) string as UTF-8 for the terminal. When the
// system cannot convert it, every byte outside printable ASCII becomes \xHH
// and `converted` is false.
std::string sjisToUtf8(const std::string& sjis, bool* converted);
std::string hexBytes(const std::string& bytes);   // "43 8C BE"
int displayWidth(const std::string& utf8);        // terminal columns
std::string padRight(const std::string& utf8, int width);
std::string padLeft(const std::string& utf8, int width);
// Valid UTF-8 as it is; every byte that is not part of a valid sequence as
// \xHH (file names on Linux are bytes).
std::string displayPath(const std::string& bytes);

// `v` through a printf format of one double.
std::string format(const char* fmt, double v);
// Appends printf-formatted text to `out`.
void appendf(std::string& out, const char* fmt, ...) __attribute__((format(printf, 2, 3)));

// Lines of cells in columns as wide as their widest cell, two blanks apart,
// left-aligned where left(column) says so, trailing blanks dropped.
std::string alignedColumns(const std::vector<std::vector<std::string>>& lines, bool (*left)(size_t column));

std::string flagsText(EntryFlags flags);          // "FPU MMX SOA"
std::string flagsHex(EntryFlags flags);           // "0x00B"
const char* layoutName(EntryFlags flags);         // "SOA" or "AOS"
const char* arithmeticName(Arithmetic a);         // "x87", "single", "fixed"
// An entry's name as the module wrote it: up to its NUL, or all 64 bytes.
std::string rawName(const EntryResult& e);

std::string jsonString(const std::string& utf8);  // quoted and escaped
std::string jsonNumber(double v);                 // %.9g, null when not finite

} // namespace host

#endif // CIRCUIT_HOST_TEXT_H
