/*
 * vexo/controls.h — the control-script host: named camera controls whose behaviour is a
 * caller-supplied Lua script.
 *
 * Each control is described by a CtrlRecord: its range, its name and a Lua script that
 * defines a global function of that name. Setting the control clamps the value to the range
 * and calls the function, which reaches the board through four script functions ("SendVR",
 * "GetVR", "writeReg", "readReg") that the host routes to the callbacks given to
 * init_controller. docs/controls.md describes the script side.
 *
 * Threading: calls on one controller must not overlap in time (docs/threading.md).
 */
#ifndef VEXO_CONTROLS_H
#define VEXO_CONTROLS_H

#include <stddef.h>
#include <stdint.h>
#include <vexo/camera.h>
#include <vexo/export.h>

#ifdef __cplusplus
extern "C" {
#endif

/* Bytes of the name field of a CtrlRecord, terminator included. */
#define VEXO_CTRL_NAME_BYTES 132
/* Size of the data buffer behind "SendVR" and "GetVR": data tables and lengths above it are
 * refused. */
#define VEXO_CTRL_DATA_BYTES 16

/* One named control, as the caller lays it out: 304 bytes, callers pass a contiguous array.
 * The host keeps the address of the array, not a copy: the records and their script texts
 * must stay in place and unchanged while set_ctrl may be called. */
typedef struct CtrlRecord {
    int64_t minValue;        /* set_ctrl raises smaller values to this */
    int64_t maxValue;        /* then lowers larger values to this (wins when below minValue) */
    uint8_t callerData[148]; /* the caller's own bytes; never read by the host */
    char name[VEXO_CTRL_NAME_BYTES]; /* NUL-terminated; also the script's function name */
    const char* script;              /* NUL-terminated Lua source, run once by register_ctrls */
} CtrlRecord;

VEXO_STATIC_ASSERT(sizeof(CtrlRecord) == 304, "CtrlRecord layout");
VEXO_STATIC_ASSERT(offsetof(CtrlRecord, minValue) == 0, "CtrlRecord layout");
VEXO_STATIC_ASSERT(offsetof(CtrlRecord, maxValue) == 8, "CtrlRecord layout");
VEXO_STATIC_ASSERT(offsetof(CtrlRecord, callerData) == 16, "CtrlRecord layout");
VEXO_STATIC_ASSERT(offsetof(CtrlRecord, name) == 164, "CtrlRecord layout");
VEXO_STATIC_ASSERT(offsetof(CtrlRecord, script) == 296, "CtrlRecord layout");

/*
 * Callbacks. The four board callbacks receive the userData given to the set_ctrl call that
 * is running and return a 32-bit status that reaches the script as a number. They are
 * called from inside the Lua interpreter and must return normally (no C++ exception, no
 * longjmp).
 */

/* Reads sensor register reg into *value. The status reaches the script as signed 32-bit. */
typedef uint32_t (*CtrlReadRegFn)(uint32_t reg, uint32_t* value, void* userData);
/* Writes value to sensor register reg. The status reaches the script as signed 32-bit. */
typedef uint32_t (*CtrlWriteRegFn)(uint32_t reg, uint32_t value, void* userData);
/* Vendor request, device to host: fills up to length bytes of data (length <= 16). The
 * status reaches the script as unsigned 32-bit. */
typedef uint32_t (*CtrlVendorInFn)(uint8_t request, uint16_t value, uint16_t index, uint32_t length,
                                   uint8_t* data, void* userData);
/* Vendor request, host to device: sends length bytes of data (length <= 16). The status
 * reaches the script as unsigned 32-bit. */
typedef uint32_t (*CtrlVendorOutFn)(uint8_t request, uint16_t value, uint16_t index,
                                    uint32_t length, uint8_t* data, void* userData);
/* Receives an error or diagnostic text (NUL-terminated, usually ending in a line feed).
 * The result is ignored. */
typedef int (*CtrlLogFn)(const char* text);

/* The host's record for one set of controls; opaque to callers. */
typedef struct Controller Controller;

/*
 * Creates a controller with its own Lua state (standard libraries open, the four script
 * functions registered) and stores it in *out. Any callback may be NULL: a script function
 * whose callback is missing returns status 0, and without logFn texts are dropped.
 * Returns 0; -1 (with *out = NULL) only when out is NULL or memory runs out.
 */
VEXO_API int init_controller(Controller** out, CtrlReadRegFn readRegFn, CtrlWriteRegFn writeRegFn,
                             CtrlVendorInFn vendorInFn, CtrlVendorOutFn vendorOutFn,
                             CtrlLogFn logFn);

/*
 * Borrows records[0..count) for later set_ctrl calls and runs each record's script once,
 * in order, in the controller's Lua state. A script that fails to load or raises an error
 * is logged and counted; the others still run. Globals from earlier calls stay defined.
 * A NULL records array registers no controls. A record without a script counts as failed.
 * Returns 0 minus the number of failed records (0 when all ran); -1 for a NULL controller.
 */
VEXO_API int register_ctrls(Controller* controller, const CtrlRecord* records, uint32_t count);

/*
 * Sets the control name to value: the value is clamped to the range of the first record
 * whose name matches byte for byte (no record: passed unchanged), then the global Lua
 * function of that name is called with it as a Lua float. userData is handed to the board
 * callbacks while the function runs. Errors are logged: the script's error text, or
 * "<name> not a function\n" when the global is not a function.
 * Returns 0 when the function ran without error, -1 otherwise.
 */
VEXO_API int set_ctrl(Controller* controller, const char* name, int64_t value, void* userData);

/* Closes the controller's Lua state and releases it. NULL is ignored. */
VEXO_API void deinit_controller(Controller* controller);

#ifdef __cplusplus
}
#endif

#endif /* VEXO_CONTROLS_H */
