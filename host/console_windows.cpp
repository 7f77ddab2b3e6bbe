// The host on a Windows console. A double-click starts it without a command
// line in a console window of its own, which closes when the program ends:
// it then runs circuit2.dll from its own folder and waits for a key first.
// The progress line goes through the console's wide-character interface
// (whole UTF-16 strings: the entries' Japanese names intact), erased with
// the terminal sequence where the console takes it, else overwritten with
// spaces.
#include <cstdio>
#include <cstdlib>
#include <windows.h>

#include "console.h"
#include "files.h"
#include "text.h"

namespace host {

namespace {

// The folder this program was started from, with its trailing separator.
std::wstring programFolder() {
    std::wstring path(MAX_PATH, L'\0');
    for (;;) {
        const DWORD n = GetModuleFileNameW(nullptr, &path[0], static_cast<DWORD>(path.size()));
        if (n == 0) return L"";
        if (n < path.size()) {
            path.resize(n);
            break;
        }
        path.resize(path.size() * 2);
    }
    return path.substr(0, path.find_last_of(L"\\/") + 1);
}

bool exists(const std::wstring& path) { return GetFileAttributesW(path.c_str()) != INVALID_FILE_ATTRIBUTES; }

// At exit, where this process alone holds its console and reads keys from
// it: the window would close with the program, so it waits for a key.
void waitForKey() {
    HANDLE in = GetStdHandle(STD_INPUT_HANDLE);
    DWORD mode = 0;
    if (!GetConsoleMode(in, &mode)) return;
    std::fflush(stdout);
    std::fflush(stderr);
    // One whole string: the C runtime would hand the console a byte at a time.
    const std::wstring prompt = L"\nPress any key to close this window.";
    DWORD written = 0;
    HANDLE out = GetStdHandle(STD_ERROR_HANDLE);
    if (!WriteConsoleW(out, prompt.data(), static_cast<DWORD>(prompt.size()), &written, nullptr))
        std::fputs("\nPress any key to close this window.", stderr);
    FlushConsoleInputBuffer(in);
    INPUT_RECORD record;
    DWORD read = 0;
    while (ReadConsoleInputW(in, &record, 1, &read) && read == 1)
        if (record.EventType == KEY_EVENT && record.Event.KeyEvent.bKeyDown) break;
}

bool ownConsole() {
    DWORD ids[2];
    return GetConsoleProcessList(ids, 2) == 1;
}

} // namespace

std::vector<std::string> startArguments(const std::vector<std::string>& args) {
    if (!args.empty()) return args;
    if (ownConsole()) std::atexit(waitForKey);
    return {utf8Text((programFolder() + L"circuit2.dll").c_str())};
}

std::string moduleBesideProgram(const std::string& name) {
    if (name.empty() || name.find_first_of("/\\:") != std::string::npos || exists(widePath(name))) return name;
    const std::wstring beside = programFolder() + widePath(name);
    return exists(beside) ? utf8Text(beside.c_str()) : name;
}

void drawProgressLine(const std::string& text) {
    static int shownColumns = 0; // width of the line on the screen now
    HANDLE err = GetStdHandle(STD_ERROR_HANDLE);
    DWORD mode = 0;
    if (!GetConsoleMode(err, &mode)) { // a terminal that is no console
        std::fprintf(stderr, "\r\033[K%s", text.c_str());
        std::fflush(stderr);
        return;
    }
    std::fflush(stderr);
    const int columns = displayWidth(text);
    std::wstring line = L"\r" + widePath(text);
    // The console mode is set for this write alone and put back after it.
    if (SetConsoleMode(err, mode | ENABLE_VIRTUAL_TERMINAL_PROCESSING)) {
        line = L"\r\x1b[K" + line.substr(1);
    } else if (columns < shownColumns) {
        line += std::wstring(static_cast<size_t>(shownColumns - columns), L' ') + line;
    }
    DWORD written = 0;
    WriteConsoleW(err, line.data(), static_cast<DWORD>(line.size()), &written, nullptr);
    SetConsoleMode(err, mode);
    shownColumns = columns;
}

} // namespace host
