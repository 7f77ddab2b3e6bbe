// Files by UTF-8 path: on Windows through the wide-character interfaces, so
// that any path opens, not only those of the ANSI code page; "-" is standard
// input where a file is read.
#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <sys/stat.h>

#ifdef _WIN32
#include <fcntl.h>
#include <io.h>
#include <windows.h>
#else
#include <fcntl.h>
#include <unistd.h>
#endif

#include "errors.h"
#include "files.h"
#include "text.h"

namespace host {

#ifdef _WIN32
std::wstring widePath(const std::string& utf8) {
    if (utf8.empty()) return std::wstring();
    const int n = MultiByteToWideChar(CP_UTF8, 0, utf8.data(), static_cast<int>(utf8.size()), nullptr, 0);
    std::wstring w(static_cast<size_t>(n), L'\0');
    MultiByteToWideChar(CP_UTF8, 0, utf8.data(), static_cast<int>(utf8.size()), &w[0], n);
    return w;
}

std::string utf8Text(const wchar_t* wide) {
    const int n = WideCharToMultiByte(CP_UTF8, 0, wide, -1, nullptr, 0, nullptr, nullptr);
    if (n <= 1) return std::string();
    std::string s(static_cast<size_t>(n), '\0');
    WideCharToMultiByte(CP_UTF8, 0, wide, -1, &s[0], n, nullptr, nullptr);
    s.resize(static_cast<size_t>(n - 1));
    return s;
}
#endif

std::FILE* openFile(const std::string& path, const char* mode) {
#ifdef _WIN32
    return _wfopen(widePath(path).c_str(), widePath(mode).c_str());
#else
    return std::fopen(path.c_str(), mode);
#endif
}

// "" for a regular file, else why it is not one.
std::string notRegularFile(const std::string& path) {
#ifdef _WIN32
    struct _stat64 st;
    if (_wstat64(widePath(path).c_str(), &st) != 0) return std::strerror(errno);
#else
    struct stat st;
    if (stat(path.c_str(), &st) != 0) return std::strerror(errno);
#endif
    if (S_ISDIR(st.st_mode)) return "is a directory";
    if (!S_ISREG(st.st_mode)) return "not a regular file";
    return "";
}

std::string readFile(const std::string& path, size_t limit, const std::string& what) {
    const bool standardInput = path == "-";
    std::FILE* f = standardInput ? stdin : openFile(path, "rb");
    const std::string name = standardInput ? "standard input" : what + " " + printable(path);
    if (f == nullptr) throw Fatal("cannot read " + name + ": " + std::strerror(errno));
#ifdef _WIN32
    if (standardInput) _setmode(_fileno(stdin), _O_BINARY);
#endif
    std::string text;
    char buffer[65536];
    size_t n;
    // Pipes and terminals have no size to ask for: the limit is kept while
    // reading.
    while ((n = std::fread(buffer, 1, sizeof buffer, f)) > 0 && text.size() <= limit) text.append(buffer, n);
    const bool failed = std::ferror(f) != 0;
    const int error = errno;
    if (!standardInput) std::fclose(f);
    if (failed) throw Fatal("cannot read " + name + ": " + std::strerror(error == EISDIR ? EISDIR : error));
    if (text.size() > limit)
        throw Fatal("cannot read " + name + ": larger than " + std::to_string(limit / 1024) + " KiB");
    return text;
}

namespace {

#ifdef _WIN32
std::string handleIdentity(HANDLE h) {
    BY_HANDLE_FILE_INFORMATION info;
    if (h == INVALID_HANDLE_VALUE || h == nullptr || GetFileInformationByHandle(h, &info) == 0) return "";
    return std::to_string(info.dwVolumeSerialNumber) + ":" + std::to_string(info.nFileIndexHigh) + ":" +
           std::to_string(info.nFileIndexLow);
}
#else
std::string statIdentity(int result, const struct stat& st) {
    return result != 0 ? "" : std::to_string(st.st_dev) + ":" + std::to_string(st.st_ino);
}
#endif

// Which file a path names, through links, as "device:file"; "" when none.
std::string fileIdentity(const std::string& path) {
#ifdef _WIN32
    HANDLE h = CreateFileW(widePath(path).c_str(), 0, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr,
                           OPEN_EXISTING, FILE_FLAG_BACKUP_SEMANTICS, nullptr);
    const std::string id = handleIdentity(h);
    if (h != INVALID_HANDLE_VALUE) CloseHandle(h);
    return id;
#else
    struct stat st;
    return statIdentity(stat(path.c_str(), &st), st);
#endif
}

// The file standard output goes to, likewise.
std::string stdoutIdentity() {
#ifdef _WIN32
    return handleIdentity(GetStdHandle(STD_OUTPUT_HANDLE));
#else
    struct stat st;
    return statIdentity(fstat(1, &st), st);
#endif
}

} // namespace

void refuseOverwriting(const std::string& option, const std::string& output,
                       const std::vector<std::pair<std::string, std::string>>& inputs) {
    const std::string id = fileIdentity(output);
    if (id.empty()) return;
    if (id == stdoutIdentity())
        throw Fatal(option + " " + printable(output) + " is where standard output goes (the results); give the "
                    "output another name");
    for (const auto& input : inputs)
        if (input.second != "-" && fileIdentity(input.second) == id)
            throw Fatal(option + " " + printable(output) + " is the " + input.first + " " +
                        printable(input.second) + "; give the output another name");
}

// An output file tried before any work, so that an unwritable path is
// reported at once. Opening to append leaves a file that is there as it was
// until the results replace it; one that the try created goes again when no
// results come.
OutputFile::OutputFile(const std::string& path) : path_(path) {
    const std::string why = notRegularFile(path);
    if (why == "is a directory") throw Fatal("cannot write " + printable(path) + ": is a directory");
#ifndef _WIN32
    // A FIFO would hold the run until someone read it.
    struct stat st;
    if (stat(path.c_str(), &st) == 0 && S_ISFIFO(st.st_mode))
        throw Fatal("cannot write " + printable(path) + ": is a FIFO, not a file");
#endif
    created_ = !why.empty();
    std::FILE* f = openFile(path, "ab");
    if (f == nullptr) throw Fatal("cannot write " + printable(path) + ": " + std::strerror(errno));
    std::fclose(f);
#ifndef _WIN32
    // What the try created, a symlink's target included; the link stays.
    if (created_) {
        char* target = realpath(path.c_str(), nullptr);
        if (target != nullptr) path_ = target;
        std::free(target);
    }
#endif
}

OutputFile::~OutputFile() {
    if (!written_ && created_ && notRegularFile(path_).empty()) {
#ifdef _WIN32
        _wremove(widePath(path_).c_str());
#else
        std::remove(path_.c_str());
#endif
    }
}

void OutputFile::write(const std::string& content) {
    written_ = true;
    std::FILE* f = openFile(path_, "wb");
    if (f == nullptr) throw Fatal("cannot write " + printable(path_) + ": " + std::strerror(errno));
    errno = 0;
    const bool ok = std::fwrite(content.data(), 1, content.size(), f) == content.size();
    const bool flushed = std::fflush(f) == 0;
    const int error = errno;
    const bool closed = std::fclose(f) == 0;
    if (!ok || !flushed || !closed)
        throw Fatal("cannot write " + printable(path_) + ": " + (error ? std::strerror(error) : "write error"));
}

namespace {
std::FILE* gResults = nullptr;
}

void holdResults() {
    std::fflush(stdout);
#ifdef _WIN32
    const int fd = _dup(_fileno(stdout));
    if (fd < 0) return;
    _setmode(fd, _O_BINARY);
    _dup2(_fileno(stderr), _fileno(stdout));
    SetStdHandle(STD_OUTPUT_HANDLE, GetStdHandle(STD_ERROR_HANDLE));
    gResults = _fdopen(fd, "wb");
#else
    const int fd = dup(1);
    if (fd < 0) return;
    fcntl(fd, F_SETFD, FD_CLOEXEC);
    dup2(2, 1);
    gResults = fdopen(fd, "w");
#endif
}

std::FILE* results() { return gResults != nullptr ? gResults : stdout; }

void openMissingStandardFiles() {
#ifndef _WIN32
    // A descriptor 0 to 2 that is closed would be taken by the next file or
    // pipe the host opens, and what goes to stderr would land there.
    for (int fd = 0; fd <= 2; ++fd)
        if (fcntl(fd, F_GETFD) == -1 && open("/dev/null", O_RDWR) != fd) break;
#endif
}

void finishStdout() {
    errno = 0;
    std::FILE* out = results();
    if (std::fflush(out) != 0 || std::ferror(out))
        throw Fatal(std::string("cannot write the results to standard output: ") +
                    (errno ? std::strerror(errno) : "write error"));
}

} // namespace host
