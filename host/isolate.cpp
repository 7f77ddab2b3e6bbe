// Running one entry where a fault cannot reach the host: a child process per
// entry. On POSIX systems the child is a fork of the host, with the module
// already loaded (isolate_posix.cpp); on Windows it is the host started again
// with --worker, which reads its job on stdin and loads the module itself
// (isolate_windows.cpp). Either way the child's answer comes back through a
// pipe, and a child that crashes, exits early or outlives the timeout marks
// only its own entry. Here: what both share, the answer's end mark and the
// one reading of how a child ended.
#include <string>

#include "isolate.h"

namespace host {

namespace {

// The answer ends with this line, so that an answer cut short by an exit
// inside the module is told apart from a whole one.
const char kAnswerEnd[] = "end\n";

bool whole(const std::string& answer) {
    const size_t n = sizeof kAnswerEnd - 1;
    return answer.size() >= n && answer.compare(answer.size() - n, n, kAnswerEnd) == 0;
}

} // namespace

std::string sealAnswer(std::string answer) {
    answer += kAnswerEnd; // in place: an answer made with room allocates nothing
    return answer;
}

void classifyEnd(const ChildEnd& end, Isolated& r) {
    if (end.faulted) {
        r.kind = Isolated::Crashed;
        r.how = end.fault;
    } else if (!whole(r.answer) || end.status != 0) {
        r.kind = Isolated::Crashed;
        r.how = "exited with status " + std::to_string(end.status) + " inside the module";
    } else {
        r.kind = Isolated::Finished;
        r.answer.resize(r.answer.size() - (sizeof kAnswerEnd - 1));
    }
}

} // namespace host
