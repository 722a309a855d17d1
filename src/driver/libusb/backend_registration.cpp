// Registers the libusb backend when the library is loaded.
//
// Nothing else in the library names this backend, so a static archive would leave this object
// out; the build passes -Wl,--undefined=vexo_libusb_backend_registered to every program and
// library that links the driver service, which pulls it in.
#include "driver/libusb/libusb_backend.h"

extern "C" {
// The symbol the link option names. Its value says whether registration ran.
extern const bool vexo_libusb_backend_registered;
const bool vexo_libusb_backend_registered = [] {
    vexo::driver::lusb::registerLibusbBackend();
    return true;
}();
}
