// The worker process on Windows, where an entry's process cannot be a fork:
// the host started again with --worker reads its job on stdin, loads the
// module, does the entry's work and answers on stdout.
#include <cstdio>
#include <string>

#ifdef _WIN32
#include <fcntl.h>
#include <io.h>
#include <windows.h>
#endif

#include "errors.h"
#include "isolate.h"
#include "machine.h"
#include "plan.h"
#include "runner.h"
#include "work.h"

namespace host {

namespace {

std::string readStdin() {
    std::string job;
    char buffer[4096];
    size_t n;
    while ((n = std::fread(buffer, 1, sizeof buffer, stdin)) > 0) job.append(buffer, n);
    return job;
}

} // namespace

int workerMain() {
#ifdef _WIN32
    prepareWorker();
    _setmode(_fileno(stdin), _O_BINARY);
    // The answer goes to the pipe that stdout is now; what the module prints
    // goes to stderr, so that it cannot mix with the answer.
    std::fflush(stdout);
    const int answerPipe = _dup(_fileno(stdout));
    _setmode(answerPipe, _O_BINARY);
    _dup2(_fileno(stderr), _fileno(stdout));
    SetStdHandle(STD_OUTPUT_HANDLE, GetStdHandle(STD_ERROR_HANDLE));
#endif
    std::string path;
    EntryResult e;
    circuit::Problem problem;
    WorkSettings w;
    decodeJob(readStdin(), path, e, problem, w);
    w.cpu = detectProcessor();
    const Reference reference = referenceFor(problem);
    Module module(path);
    const std::string answer = sealAnswer(answerEntry(module, e, problem, reference, w));
#ifdef _WIN32
    return _write(answerPipe, answer.data(), static_cast<unsigned>(answer.size())) ==
                   static_cast<int>(answer.size())
               ? 0
               : 2;
#else
    std::fwrite(answer.data(), 1, answer.size(), stdout);
    return std::fflush(stdout) == 0 ? 0 : 2;
#endif
}

} // namespace host
