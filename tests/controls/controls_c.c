/* Compiled as C: the public header must give a C caller the same layout as C++. */
#include <vexo/controls.h>

size_t cCtrlRecordSize(void) {
    return sizeof(CtrlRecord);
}
size_t cCtrlRecordNameOffset(void) {
    return offsetof(CtrlRecord, name);
}
size_t cCtrlRecordScriptOffset(void) {
    return offsetof(CtrlRecord, script);
}
