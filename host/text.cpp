// Names as the terminal shows them: the module stores Shift_JIS (code page
// 932); the host prints UTF-8 and measures it in terminal columns.
#include <algorithm>
#include <cmath>
#include <cstdarg>
#include <cstdio>

#ifdef _WIN32
#include <windows.h>
#else
#include <iconv.h>
#endif

#include "text.h"

namespace host {

namespace {

// One byte as \xHH.
std::string hexEscape(unsigned char c) {
    char hex[8];
    std::snprintf(hex, sizeof hex, "\\x%02X", c);
    return hex;
}

// Printable ASCII kept, every other byte as \xHH: shown when a name cannot
// be converted, so that nothing is lost and nothing is misread.
std::string escaped(const std::string& bytes) {
    std::string s;
    for (unsigned char c : bytes) {
        if (c >= 0x20 && c < 0x7F && c != '\\')
            s += static_cast<char>(c);
        else
            s += hexEscape(c);
    }
    return s;
}

bool convert(const std::string& sjis, std::string& utf8) {
#ifdef _WIN32
    if (sjis.empty()) return true;
    int wide = MultiByteToWideChar(932, MB_ERR_INVALID_CHARS, sjis.data(),
                                   static_cast<int>(sjis.size()), nullptr, 0);
    if (wide <= 0) return false;
    std::wstring w(static_cast<size_t>(wide), L'\0');
    MultiByteToWideChar(932, MB_ERR_INVALID_CHARS, sjis.data(), static_cast<int>(sjis.size()),
                        &w[0], wide);
    int bytes = WideCharToMultiByte(CP_UTF8, 0, w.data(), wide, nullptr, 0, nullptr, nullptr);
    if (bytes <= 0) return false;
    utf8.assign(static_cast<size_t>(bytes), '\0');
    WideCharToMultiByte(CP_UTF8, 0, w.data(), wide, &utf8[0], bytes, nullptr, nullptr);
    return true;
#else
    iconv_t cd = iconv_open("UTF-8", "CP932");
    if (cd == reinterpret_cast<iconv_t>(-1)) cd = iconv_open("UTF-8", "SHIFT_JIS");
    if (cd == reinterpret_cast<iconv_t>(-1)) return false;
    std::string in = sjis;
    std::vector<char> out(in.size() * 4 + 16);
    char* inp = &in[0];
    size_t inLeft = in.size();
    char* outp = out.data();
    size_t outLeft = out.size();
    size_t r = iconv(cd, in.empty() ? nullptr : &inp, &inLeft, &outp, &outLeft);
    iconv_close(cd);
    if (r == static_cast<size_t>(-1) || inLeft != 0) return false;
    utf8.assign(out.data(), outp);
    return true;
#endif
}

// Decodes one UTF-8 sequence; returns its length (1 for a stray byte).
size_t decode(const std::string& s, size_t i, uint32_t& cp) {
    unsigned char c = static_cast<unsigned char>(s[i]);
    size_t n = utf8Length(c);
    if (n == 0 || i + n > s.size()) n = 1;
    cp = n == 1 ? c : c & (0x7F >> n);
    for (size_t k = 1; k < n; ++k) cp = (cp << 6) | (static_cast<unsigned char>(s[i + k]) & 0x3F);
    return n;
}

// Valid UTF-8 as it is; every byte that does not start a valid sequence as
// \xHH (file names on Linux are bytes).
std::string validUtf8(const std::string& bytes) {
    std::string out;
    for (size_t i = 0; i < bytes.size();) {
        const unsigned char c = static_cast<unsigned char>(bytes[i]);
        const size_t n = utf8Length(c);
        bool valid = n > 0 && i + n <= bytes.size() && (n == 1 || c >= 0xC2);
        for (size_t k = 1; valid && k < n; ++k) valid = (static_cast<unsigned char>(bytes[i + k]) & 0xC0) == 0x80;
        if (valid) {
            out.append(bytes, i, n);
            i += n;
        } else {
            out += hexEscape(c);
            ++i;
        }
    }
    return out;
}

bool wide(uint32_t cp) {
    return (cp >= 0x1100 && cp <= 0x115F) || (cp >= 0x2E80 && cp <= 0xA4CF && cp != 0x303F) ||
           (cp >= 0xAC00 && cp <= 0xD7A3) || (cp >= 0xF900 && cp <= 0xFAFF) ||
           (cp >= 0xFE30 && cp <= 0xFE4F) || (cp >= 0xFF00 && cp <= 0xFF60) ||
           (cp >= 0xFFE0 && cp <= 0xFFE6) || (cp >= 0x20000 && cp <= 0x3FFFD);
}

} // namespace

size_t utf8Length(unsigned char lead) {
    return lead < 0x80 ? 1 : (lead >> 5) == 6 ? 2 : (lead >> 4) == 14 ? 3 : (lead >> 3) == 30 ? 4 : 0;
}

std::string sjisToUtf8(const std::string& sjis, bool* converted) {
    std::string utf8;
    bool ok = convert(sjis, utf8);
    // Control characters would move the cursor or worse: those names are
    // shown escaped as well.
    if (ok)
        for (unsigned char c : utf8)
            if (c < 0x20 || c == 0x7F) ok = false;
    if (converted) *converted = ok;
    return ok ? utf8 : escaped(sjis);
}

std::string printable(const std::string& text) {
    const std::string valid = validUtf8(text);
    std::string out;
    for (size_t i = 0; i < valid.size(); ++i) {
        const unsigned char c = static_cast<unsigned char>(valid[i]);
        // C1 controls are U+0080 to U+009F, in valid UTF-8 C2 80 to C2 9F.
        const bool c1 = c == 0xC2 && i + 1 < valid.size() && static_cast<unsigned char>(valid[i + 1]) < 0xA0;
        if (c < 0x20 || c == 0x7F || c1)
            out += hexEscape(c1 ? static_cast<unsigned char>(valid[++i]) : c);
        else
            out += valid[i];
    }
    return out;
}

std::string hexBytes(const std::string& bytes) {
    std::string s;
    for (unsigned char c : bytes) {
        char hex[4];
        std::snprintf(hex, sizeof hex, "%02X", c);
        if (!s.empty()) s += ' ';
        s += hex;
    }
    return s;
}

int displayWidth(const std::string& utf8) {
    int width = 0;
    for (size_t i = 0; i < utf8.size();) {
        uint32_t cp;
        i += decode(utf8, i, cp);
        width += wide(cp) ? 2 : 1;
    }
    return width;
}

std::string padRight(const std::string& utf8, int width) {
    int w = displayWidth(utf8);
    return w >= width ? utf8 : utf8 + std::string(static_cast<size_t>(width - w), ' ');
}

std::string padLeft(const std::string& utf8, int width) {
    int w = displayWidth(utf8);
    return w >= width ? utf8 : std::string(static_cast<size_t>(width - w), ' ') + utf8;
}

std::string format(const char* fmt, double v) {
    char text[64];
    std::snprintf(text, sizeof text, fmt, v);
    return text;
}

void appendf(std::string& out, const char* fmt, ...) {
    va_list args;
    va_start(args, fmt);
    va_list again;
    va_copy(again, args);
    const int n = std::vsnprintf(nullptr, 0, fmt, args);
    va_end(args);
    if (n > 0) {
        std::string text(static_cast<size_t>(n) + 1, '\0');
        std::vsnprintf(&text[0], text.size(), fmt, again);
        text.resize(static_cast<size_t>(n));
        out += text;
    }
    va_end(again);
}

std::string alignedColumns(const std::vector<std::vector<std::string>>& lines, bool (*left)(size_t column)) {
    std::vector<int> width;
    for (const auto& cells : lines) {
        if (width.size() < cells.size()) width.resize(cells.size(), 0);
        for (size_t c = 0; c < cells.size(); ++c) width[c] = std::max(width[c], displayWidth(cells[c]));
    }
    std::string out;
    for (const auto& cells : lines) {
        std::string s;
        for (size_t c = 0; c < cells.size(); ++c) {
            if (c) s += "  ";
            s += left(c) ? padRight(cells[c], width[c]) : padLeft(cells[c], width[c]);
        }
        while (!s.empty() && s.back() == ' ') s.pop_back();
        out += s + "\n";
    }
    return out;
}

std::string markdownTable(const std::vector<std::vector<std::string>>& lines, bool (*left)(size_t column)) {
    auto cell = [](const std::string& c) {
        std::string out;
        for (char ch : c) out += ch == '|' ? "\\|" : ch == '<' ? "&lt;" : std::string(1, ch);
        return out;
    };
    std::string s;
    for (size_t k = 0; k < lines.size(); ++k) {
        std::string line = "|";
        for (const std::string& c : lines[k]) line += " " + cell(c) + " |";
        s += line + "\n";
        if (k == 0) {
            s += "|";
            for (size_t c = 0; c < lines[0].size(); ++c) s += left(c) ? ":---|" : "---:|";
            s += "\n";
        }
    }
    return s;
}

std::string jsonString(const std::string& bytes) {
    std::string out = "\"";
    for (unsigned char c : validUtf8(bytes)) {
        if (c == '"' || c == '\\') {
            out += '\\';
            out += static_cast<char>(c);
        } else if (c < 0x20) {
            char esc[8];
            std::snprintf(esc, sizeof esc, "\\u%04X", c);
            out += esc;
        } else {
            out += static_cast<char>(c);
        }
    }
    return out + "\"";
}

std::string jsonNumber(double v) {
    if (!std::isfinite(v)) return "null";
    char text[40];
    std::snprintf(text, sizeof text, "%.9g", v);
    return text;
}

} // namespace host
