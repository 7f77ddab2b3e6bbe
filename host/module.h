// The loaded module and its five exports: the only way the host talks to it.
#ifndef CIRCUIT_HOST_MODULE_H
#define CIRCUIT_HOST_MODULE_H

#include <cstdint>
#include <string>

#include "circuit.h"
#include "model.h"

namespace host {

// Loading fails with Fatal. Loading, each query and unloading run under a
// deadline of `deadlineSeconds` (0: none); a module that overruns it ends the
// host with a message (signals.h), and the host's floating-point settings,
// signal mask and working directory are put back after each.
class Module {
  public:
    explicit Module(const std::string& path, double deadlineSeconds = 0);
    ~Module();
    Module(const Module&) = delete;
    Module& operator=(const Module&) = delete;

    // Calls the four queries, with guarded buffers; Fatal on a circuit other
    // than 2, an entry count outside 1..kMaxEntries, or records written past
    // the announced count.
    ModuleInfo query() const;
    void run(uint32_t index, const float* coefficients, const float* input, float* output,
             int32_t count) const {
        runEntry_(index, coefficients, input, output, count);
    }

  private:
    template <class Query>
    auto ask(const Query& query) const -> decltype(query());
    void close();
    void* handle_ = nullptr;
    std::string path_;
    double deadlineSeconds_ = 0;
    GetCircuitSignatureFn getCircuitSignature_ = nullptr;
    GetCreatorSignatureFn getCreatorSignature_ = nullptr;
    GetEntryCountFn getEntryCount_ = nullptr;
    GetEntrySpecsFn getEntrySpecs_ = nullptr;
    RunEntryFn runEntry_ = nullptr;
};

} // namespace host

#endif // CIRCUIT_HOST_MODULE_H
