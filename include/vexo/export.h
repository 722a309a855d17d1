/*
 * vexo/export.h — marks the functions that libvexo exports.
 *
 * The shared library is built with hidden visibility, so only declarations carrying
 * VEXO_API become part of its interface. VEXO_BUILDING is defined while the library itself
 * is compiled; on Windows it selects dllexport there and dllimport for callers, except for
 * programs that link the library's static parts themselves (VEXO_STATIC).
 */
#ifndef VEXO_EXPORT_H
#define VEXO_EXPORT_H

#if defined(_WIN32) || defined(__CYGWIN__)
#ifdef VEXO_BUILDING
#define VEXO_API __declspec(dllexport)
#elif defined(VEXO_STATIC)
#define VEXO_API /* linked from the static libraries, not from the DLL */
#else
#define VEXO_API __declspec(dllimport)
#endif
#elif defined(__GNUC__) || defined(__clang__)
#define VEXO_API __attribute__((visibility("default")))
#else
#define VEXO_API
#endif

#endif /* VEXO_EXPORT_H */
