# Tracebacks of the module name their source "pyVexo"; cython records the file name with its
# extension, so the generated table is rewritten once after generation.
file(READ "${FILE}" text)
string(REPLACE "static const char *__pyx_f[] = {\n  \"pyVexo.pyx\"," "static const char *__pyx_f[] = {\n  \"pyVexo\"," text "${text}")
file(WRITE "${FILE}" "${text}")
