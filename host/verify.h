// What the host checks itself of an entry's answer: the entry's process is
// the module's, and the host believes nothing of its answer it cannot check.
// The output bits are judged again against the host's own reference, the
// figures against each other, against what any processor reaches and
// against the lifetime of the process the host measured, and every text is
// made safe for a terminal.
#ifndef CIRCUIT_HOST_VERIFY_H
#define CIRCUIT_HOST_VERIFY_H

#include "check.h"
#include "model.h"

namespace host {

// Checks e as decoded from its process's answer, and fails it where the
// answer does not hold: an output without its rule's bits (ownTable) or
// beyond its bound, a status no process can answer, figures that cannot be
// true. Texts from the answer are made printable.
void verifyAnswer(EntryResult& e, const Reference& ref, bool ownTable, double lifetimeSeconds);

} // namespace host

#endif // CIRCUIT_HOST_VERIFY_H
