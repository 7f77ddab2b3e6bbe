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

#include "answer.h"
#include "errors.h"
#include "isolate.h"
#include "machine.h"
#include "plan.h"
#include "worker.h"

namespace host {

#ifdef _WIN32
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
    prepareWorker();
    _setmode(_fileno(stdin), _O_BINARY);
    const std::string job = readStdin();
    // The answer goes to the pipe that stdout is now; what the module prints
    // goes to stderr, so that it cannot mix with the answer; what it reads
    // is nothing.
    std::fflush(stdout);
    const int answerPipe = _dup(_fileno(stdout));
    _setmode(answerPipe, _O_BINARY);
    _dup2(_fileno(stderr), _fileno(stdout));
    SetStdHandle(STD_OUTPUT_HANDLE, GetStdHandle(STD_ERROR_HANDLE));
    std::freopen("NUL", "rb", stdin);
    std::string path;
    EntryResult e;
    circuit::Problem problem;
    WorkSettings w;
    decodeJob(job, path, e, problem, w);
    w.cpu = detectProcessor();
    const Reference reference = referenceFor(problem);
    Module module(path);
    const std::string answer = sealAnswer(answerEntry(module, e, problem, reference, w));
    return _write(answerPipe, answer.data(), static_cast<unsigned>(answer.size())) ==
                   static_cast<int>(answer.size())
               ? 0
               : 2;
}
#else
int workerMain() { throw Fatal("--worker is how the Windows host starts an entry's process; here entries run in forks"); }
#endif

} // namespace host
