// vexo/cpp_export.hpp — marks the names that libvexo-cpp, the C++ layer, exports.
//
// The layer is built with hidden visibility: a declaration without VEXO_CPP_API stays inside
// the library, so only the public C++ interface becomes part of its ABI.
#pragma once

#if defined(__GNUC__) || defined(__clang__)
#define VEXO_CPP_API __attribute__((visibility("default")))
#else
#define VEXO_CPP_API
#endif
