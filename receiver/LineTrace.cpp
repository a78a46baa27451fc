#include "LineTrace.h"

namespace Z500 {

// Placeholder until the writer lands: records nothing.
struct TLineTrace::TWriter {};

TLineTrace::TLineTrace(const std::string&, std::function<void(const std::string&)>) {}
TLineTrace::~TLineTrace() = default;
void TLineTrace::Record(const std::string&, TTraceDirection, TTraceKind, std::span<const uint8_t>) {}
bool TLineTrace::Failed() const { return false; }
uint64_t TLineTrace::Dropped() const { return 0; }

}  // namespace Z500
