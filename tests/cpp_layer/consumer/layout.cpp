// A program of the C++ layer built against an installed tree: the default configuration
// file's frame layout, as a user's program would ask for it.
#include <cstdio>
#include <vexo/camera_file.hpp>
#include <vexo/frame_layout.hpp>

int main() {
    const vexo::FrameLayout layout = vexo::frameLayout(vexo::defaultCameraFile().config);
    std::printf("bytes %llu rows %u\n", static_cast<unsigned long long>(layout.bytes), layout.rows);
    return layout.known ? 0 : 1;
}
