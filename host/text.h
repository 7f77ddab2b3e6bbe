// Text helpers every output uses: Shift_JIS to UTF-8, terminal widths and
// padding, aligned columns, and the JSON quoting of strings and numbers.
// Strings only: the words for a run's data are in words.h.
#ifndef CIRCUIT_HOST_TEXT_H
#define CIRCUIT_HOST_TEXT_H

#include <string>
#include <vector>

namespace host {

// A Shift_JIS (code page 932) string as UTF-8 for the terminal. When the
// system cannot convert it, every byte outside printable ASCII becomes \xHH
// and `converted` is false.
std::string sjisToUtf8(const std::string& sjis, bool* converted);
std::string hexBytes(const std::string& bytes);   // "43 8C BE"
// The length of the UTF-8 sequence that starts with `lead`: 1 to 4, 0 for a
// byte no sequence starts with.
size_t utf8Length(unsigned char lead);
int displayWidth(const std::string& utf8);        // terminal columns
std::string padRight(const std::string& utf8, int width);
std::string padLeft(const std::string& utf8, int width);
// `text` as a terminal may show it: valid UTF-8 as it is; control characters
// (C0, DEL, C1) and every byte that is not part of a valid sequence as \xHH.
// For all that comes from outside: a module's texts, saved files, file names
// (bytes on Linux, where a name may hold an escape sequence).
std::string printable(const std::string& text);

// `v` through a printf format of one double.
std::string format(const char* fmt, double v);
// Appends printf-formatted text to `out`.
void appendf(std::string& out, const char* fmt, ...) __attribute__((format(printf, 2, 3)));

// Lines of cells in columns as wide as their widest cell, two blanks apart,
// left-aligned where left(column) says so, trailing blanks dropped.
std::string alignedColumns(const std::vector<std::vector<std::string>>& lines, bool (*left)(size_t column));
// The same lines as a Markdown table as GitHub renders it: the first line
// the header, '|' and '<' in cells escaped.
std::string markdownTable(const std::vector<std::vector<std::string>>& lines, bool (*left)(size_t column));

std::string jsonString(const std::string& utf8);  // quoted and escaped
std::string jsonNumber(double v);                 // %.9g, null when not finite

} // namespace host

#endif // CIRCUIT_HOST_TEXT_H
