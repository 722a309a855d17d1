/* Compiled as C: the public header must give a C caller the same layout as C++. */
#include <vexo/camera.h>

size_t cCameraConfigSize(void) {
    return sizeof(CameraConfig);
}
size_t cFrameDataTimeOffset(void) {
    return offsetof(FrameData, u64Time);
}
size_t cFrameDataSize(void) {
    return sizeof(FrameData);
}
size_t cScanEntrySize(void) {
    return sizeof(ScanEntry);
}
size_t cTransLvlOffset(void) {
    return offsetof(CameraConfig, u32TransLvl);
}
