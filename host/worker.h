// The worker process (Windows), where an entry's process cannot be a fork:
// the host started again with --worker; the job on stdin, the answer on
// stdout.
#ifndef CIRCUIT_HOST_WORKER_H
#define CIRCUIT_HOST_WORKER_H

namespace host {

int workerMain();

} // namespace host

#endif // CIRCUIT_HOST_WORKER_H
