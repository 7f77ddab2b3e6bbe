// Files by UTF-8 path (wide interfaces on Windows), whole-file reads with a
// limit, and output files that are tried before any work.
#ifndef CIRCUIT_HOST_FILES_H
#define CIRCUIT_HOST_FILES_H

#include <cstddef>
#include <cstdio>
#include <string>
#include <utility>
#include <vector>

namespace host {

std::FILE* openFile(const std::string& path, const char* mode);
std::string notRegularFile(const std::string& path);  // "" or why not
// The whole file ("-": standard input, also pipes); Fatal when unreadable or
// longer than `limit` bytes. `what` names it in messages.
std::string readFile(const std::string& path, size_t limit, const std::string& what);
#ifdef _WIN32
std::wstring widePath(const std::string& utf8);
std::string utf8Text(const wchar_t* wide);
#endif

// Fatal when `output` is the same file as one of the named inputs (what,
// path), or as the file standard output goes to (/dev/stdout among them),
// through links too: an output must never overwrite what the run reads or
// the results.
void refuseOverwriting(const std::string& option, const std::string& output,
                       const std::vector<std::pair<std::string, std::string>>& inputs);

// An output file, tried when constructed (Fatal when it cannot be written)
// and written once at the end.
class OutputFile {
  public:
    explicit OutputFile(const std::string& path);
    ~OutputFile();
    OutputFile(const OutputFile&) = delete;
    OutputFile& operator=(const OutputFile&) = delete;
    void write(const std::string& content);

  private:
    std::string path_;
    bool created_ = false, written_ = false;
};

// Keeps the results' destination (stdout as the host was started) to the
// host alone: from here on descriptor 1 is stderr, so that nothing the module
// prints can land in the results; results() is where they go.
void holdResults();
std::FILE* results();
// Opens descriptors 0 to 2 on /dev/null where they are closed.
void openMissingStandardFiles();
// Flushes the results; Fatal when they could not be written.
void finishStdout();

} // namespace host

#endif // CIRCUIT_HOST_FILES_H
