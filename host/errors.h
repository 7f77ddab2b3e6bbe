// The two ways the host gives up: a usage error (the command line itself is
// wrong: main adds a pointer to --help) and any other failure that ends the
// run with a message and exit status 2.
#ifndef CIRCUIT_HOST_ERRORS_H
#define CIRCUIT_HOST_ERRORS_H

#include <stdexcept>

namespace host {

// Unreadable files, a module that is not a usable circuit-2 module, a
// problem that cannot be computed.
struct Fatal : std::runtime_error {
    using std::runtime_error::runtime_error;
};

// Options that cannot be used as given.
struct UsageError : Fatal {
    using Fatal::Fatal;
};

} // namespace host

#endif // CIRCUIT_HOST_ERRORS_H
