// Counts the calls of the global operator new in a program that links allocation_counter.cpp,
// so a benchmark or soak can show that a steady state allocates nothing.
//
// Sanitizer builds bring their own allocator: there the operators are not replaced and the
// count stays 0 (allocationCounting() tells).
#pragma once

#include <cstdint>

namespace vexo::test {

/// operator new calls (all forms) since the program started.
uint64_t allocationCount();

/// Whether this build counts at all.
bool allocationCounting();

}  // namespace vexo::test
