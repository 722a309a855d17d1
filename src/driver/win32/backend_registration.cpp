// Registers the Windows backend when the library is loaded.
//
// Nothing else in the library names this backend, so a static archive would leave this object
// out; the build passes -Wl,--undefined=vexo_win32_backend_registered to every program and
// library that links the driver service, which pulls it in.
#include "driver/win32/win32_backend.h"

extern "C" {
// The symbol the link option names. Its value says whether registration ran.
extern const bool vexo_win32_backend_registered;
const bool vexo_win32_backend_registered = [] {
    vexo::driver::win32::registerWin32Backend();
    return true;
}();
}
