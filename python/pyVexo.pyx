# cython: language_level=3
# distutils: language = c++
"""
Vexo Python SDK.
"""
# The VexoSDK module: the camera functions of the Vexo library for Python. Built as module
# "VexoSDK" (cython --module-name VexoSDK). Conversions, handles, frame views and byte buffers
# live in support.cpp.
#
# Every function converts all its arguments first and only then enters the camera (enter() in
# support.cpp): argument conversions may run Python code (__int__, __index__, mapping access)
# that closes the very handle, and a camera is never used after its close. The library is
# called holding the camera's access kinds for the call only; no Python code runs while they
# are held. Most calls let go of the interpreter lock for their whole time in the library.
# Eight keep it (close, endCaptureImage, flush, enable/disableForceRead, softTrigger,
# registerCtrls, setCtrl), so control scripts run with it held; they let go of it only to
# wait for another thread's call on the same camera (enterKeepingInterpreter in support.cpp).

from cpython.bytes cimport PyBytes_FromStringAndSize
from cpython.memoryview cimport PyMemoryView_FromObject
from cpython.object cimport PyObject_RichCompareBool, Py_NE
from libc.stdint cimport int64_t
from libc.string cimport memcpy

cimport libvexo as c
from libvexo cimport Uint8, Uint16, Uint32, Uint64, CameraConfig, FrameData, ScanEntry, CameraHandle

cdef extern from "support.h" namespace "pyvexo":
    int toUint8(object, Uint8*) except -1
    int toUint16(object, Uint16*) except -1
    int toUint32(object, Uint32*) except -1
    int toUnsignedInt(object, unsigned int*) except -1
    int toSize(object, size_t*) except -1
    int toInt(object, int*) except -1
    int toLongLong(object, long long*) except -1
    int readConfig(object, CameraConfig*) except -1
    object newByteBlock(size_t)
    Uint8* byteBlockData(object)
    object byteBlockView(object, Py_ssize_t)
    int refuseSize(const char*, unsigned long long, Py_ssize_t) except -1

    cdef struct HandleState
    enum:
        kControl, kCapture, kQueue, kEverything
    object newHandle(CameraHandle)
    HandleState* stateOf(object) except NULL
    CameraHandle cameraHandleOf(const HandleState*) nogil
    bint enter(HandleState*, unsigned) nogil
    bint enterKeepingInterpreter(HandleState*, unsigned)
    void leave(HandleState*, unsigned) nogil
    int closedError() except -1
    int retireHandle(object) except -1
    CameraHandle closeState(HandleState*) nogil
    object swapControls(HandleState*, object)
    object takeControls(HandleState*)

    cdef cppclass FrameRef:
        FrameRef()
        FrameData record
    Uint32 readFrame(HandleState*, FrameRef*) nogil
    Uint32 singleFrame(HandleState*, Uint32, int*, FrameRef*) nogil
    object frameRefView(const FrameRef&)

import ctypes

RAW_RG = c.RAW_RG
RAW_GR = c.RAW_GR
RAW_GB = c.RAW_GB
RAW_BG = c.RAW_BG

I2C_MODE_8_8 = c.I2C_MODE_8_8
I2C_MODE_8_16 = c.I2C_MODE_8_16
I2C_MODE_16_8 = c.I2C_MODE_16_8
I2C_MODE_16_16 = c.I2C_MODE_16_16
I2C_MODE_16_32 = c.I2C_MODE_16_32

FORMAT_MODE_RAW = c.FORMAT_MODE_RAW
FORMAT_MODE_RGB = c.FORMAT_MODE_RGB
FORMAT_MODE_YUV = c.FORMAT_MODE_YUV
FORMAT_MODE_JPG = c.FORMAT_MODE_JPG
FORMAT_MODE_MON = c.FORMAT_MODE_MON
FORMAT_MODE_RAW_D = c.FORMAT_MODE_RAW_D
FORMAT_MODE_MON_D = c.FORMAT_MODE_MON_D

USB_1 = c.USB_1
USB_2 = c.USB_2
USB_3 = c.USB_3
USB_3_2 = c.USB_3_2

EXTERNAL_TRIGGER_MODE = c.EXTERNAL_TRIGGER_MODE
CONTINUOUS_MODE = c.CONTINUOUS_MODE

USB_CAMERA_NO_ERROR = c.USB_CAMERA_NO_ERROR
USB_CAMERA_USB_CREATE_ERROR = c.USB_CAMERA_USB_CREATE_ERROR
USB_CAMERA_USB_SET_CONTEXT_ERROR = c.USB_CAMERA_USB_SET_CONTEXT_ERROR
USB_CAMERA_VR_COMMAND_ERROR = c.USB_CAMERA_VR_COMMAND_ERROR
USB_CAMERA_USB_VERSION_ERROR = c.USB_CAMERA_USB_VERSION_ERROR
USB_CAMERA_BUFFER_ERROR = c.USB_CAMERA_BUFFER_ERROR
USB_CAMERA_NOT_FOUND_DEVICE_ERROR = c.USB_CAMERA_NOT_FOUND_DEVICE_ERROR
USB_CAMERA_I2C_BIT_ERROR = c.USB_CAMERA_I2C_BIT_ERROR
USB_CAMERA_I2C_NACK_ERROR = c.USB_CAMERA_I2C_NACK_ERROR
USB_CAMERA_I2C_TIMEOUT = c.USB_CAMERA_I2C_TIMEOUT
USB_CAMERA_USB_TASK_ERROR = c.USB_CAMERA_USB_TASK_ERROR
USB_CAMERA_DATA_OVERFLOW_ERROR = c.USB_CAMERA_DATA_OVERFLOW_ERROR
USB_CAMERA_DATA_LACK_ERROR = c.USB_CAMERA_DATA_LACK_ERROR
USB_CAMERA_FIFO_FULL_ERROR = c.USB_CAMERA_FIFO_FULL_ERROR
USB_CAMERA_DATA_LEN_ERROR = c.USB_CAMERA_DATA_LEN_ERROR
USB_CAMERA_FRAME_INDEX_ERROR = c.USB_CAMERA_FRAME_INDEX_ERROR
USB_CAMERA_USB_TIMEOUT_ERROR = c.USB_CAMERA_USB_TIMEOUT_ERROR
USB_CAMERA_READ_EMPTY_ERROR = c.USB_CAMERA_READ_EMPTY_ERROR
USB_CAMERA_DEL_EMPTY_ERROR = c.USB_CAMERA_DEL_EMPTY_ERROR
USB_CAMERA_SIZE_EXCEED_ERROR = c.USB_CAMERA_SIZE_EXCEED_ERROR
USB_USERDATA_ADDR_ERROR = c.USB_USERDATA_ADDR_ERROR
USB_USERDATA_LEN_ERROR = c.USB_USERDATA_LEN_ERROR
USB_BOARD_FW_VERSION_NOT_SUPPORT_ERROR = c.USB_BOARD_FW_VERSION_NOT_SUPPORT_ERROR

cdef dict config_dict(const CameraConfig* cfg):
    # The enumerations are read as the int they hold: a caller may have stored any number
    # there, which an enumeration load does not allow (the record pins both at 4 bytes).
    cdef int mode
    cdef int fmt
    memcpy(&mode, &cfg.emI2cMode, sizeof(int))
    memcpy(&fmt, &cfg.emImageFmtMode, sizeof(int))
    return {
        "u32CameraType": cfg.u32CameraType,
        "u32Width": cfg.u32Width,
        "u32Height": cfg.u32Height,
        "usbType": cfg.usbType,
        "u8PixelBytes": cfg.u8PixelBytes,
        "u16Vid": cfg.u16Vid,
        "u32Size": cfg.u32Size,
        "u8PixelBits": cfg.u8PixelBits,
        "u32I2cAddr": cfg.u32I2cAddr,
        "emI2cMode": mode,
        "emImageFmtMode": fmt,
        "u32TransLvl": cfg.u32TransLvl,
    }


def Py_Vexo_autoopen(cfg):
    """
    Py_Vexo_autoopen(cfg)
    return error_code,handle,cfg 
    """
    cdef CameraConfig config
    cdef CameraHandle cam = NULL
    cdef Uint32 rc
    readConfig(cfg, &config)
    with nogil:
        rc = c.Vexo_autoopen(&cam, &config)
    result = config_dict(&config)
    handle = newHandle(cam)
    return (rc, handle, result)


def Py_Vexo_close(handle):
    """
    Py_Vexo_close(handle)
    return error_code
    """
    cdef HandleState* st = stateOf(handle)
    cdef CameraHandle cam
    # Refused from here on; calls of other threads in progress finish first (the wait lets
    # them run, the close itself keeps the interpreter lock).
    retireHandle(handle)
    with nogil:
        cam = closeState(st)
    if cam != NULL:
        c.Vexo_close(cam)
        # The control host went with the camera: nothing reads the records any more.
        records = takeControls(st)
    return 0


def Py_Vexo_scan():
    """
    Py_Vexo_scan()
    return count,(index,...),(serials,...)
    """
    cdef ScanEntry entries[256]
    cdef Uint32 count
    cdef Uint32 i
    with nogil:
        count = c.Vexo_scan(entries)
    indexes = []
    serials = []
    # A count above the room reserved is a failure code, not a number of entries.
    if count <= 256:
        for i in range(count):
            indexes.append(entries[i].u8Index)
            serials.append(PyMemoryView_FromObject(
                PyBytes_FromStringAndSize(<char*>entries[i].u8Serial, 16)))
    return (count, indexes, serials)


def Py_Vexo_open(cfg, usbIdx):
    """
    Py_Vexo_open(cfg,usbIdx)
    return error_code,handle,cfg
    """
    cdef CameraConfig config
    cdef CameraHandle cam = NULL
    cdef int index
    cdef Uint32 rc
    toInt(usbIdx, &index)
    readConfig(cfg, &config)
    with nogil:
        rc = c.Vexo_open(&cam, &config, <Uint32>index)
    result = config_dict(&config)
    handle = newHandle(cam)
    return (rc, handle, result)


def Py_Vexo_setCamCfg(handle, cfg):
    """
    Py_Vexo_setCamCfg(handle, cfg)
    return error_code
    """
    cdef HandleState* st = stateOf(handle)
    cdef CameraConfig config
    cdef Uint32 rc = 0
    cdef bint entered
    readConfig(cfg, &config)
    # Beside a capture call (the engine holds off its assembly), never beside a frame read.
    with nogil:
        entered = enter(st, kControl | kQueue)
        if entered:
            rc = c.Vexo_setCamCfg(cameraHandleOf(st), &config)
            leave(st, kControl | kQueue)
    if not entered:
        closedError()
    return rc


cdef inline Uint32 run_plain(HandleState* st, unsigned access, Uint32 (*fn)(CameraHandle) noexcept nogil) except? 0xFFFFFFFF:
    # One camera call that takes nothing but the handle.
    cdef Uint32 rc = 0
    cdef bint entered
    with nogil:
        entered = enter(st, access)
        if entered:
            rc = fn(cameraHandleOf(st))
            leave(st, access)
    if not entered:
        closedError()
    return rc


cdef inline Uint32 run_keeping(HandleState* st, unsigned access, Uint32 (*fn)(CameraHandle) noexcept nogil) except? 0xFFFFFFFF:
    # The same for a call that keeps the interpreter lock.
    cdef Uint32 rc
    if not enterKeepingInterpreter(st, access):
        closedError()
    rc = fn(cameraHandleOf(st))
    leave(st, access)
    return rc


def Py_Vexo_beginCaptureImage(handle):
    """
    Py_Vexo_beginCaptureImage(handle)
    return error_code
    """
    return run_plain(stateOf(handle), kEverything, c.Vexo_beginCaptureImage)


def Py_Vexo_endCaptureImage(handle):
    """
    Py_Vexo_endCaptureImage(handle)
    return error_code
    """
    return run_keeping(stateOf(handle), kEverything, c.Vexo_endCaptureImage)


def Py_Vexo_captureImage(handle):
    """
    Py_Vexo_captureImage(handle)
    return error_code
    """
    return run_plain(stateOf(handle), kCapture, c.Vexo_captureImage)


def Py_Vexo_readImage(handle):
    """
    Py_Vexo_readImage(handle)
    return error_code,data,cfg
    """
    cdef HandleState* st = stateOf(handle)
    cdef FrameRef frame
    cdef Uint32 rc = 0
    cdef bint entered
    with nogil:
        entered = enter(st, kQueue)
        if entered:
            rc = readFrame(st, &frame)
            leave(st, kQueue)
    if not entered:
        closedError()
    if rc != 0:
        return (rc, None, None)
    result = config_dict(&frame.record.cfg)
    result["u64Time"] = frame.record.u64Time
    data = frameRefView(frame)
    return (rc, data, result)


def Py_Vexo_del(handle):
    """
    Py_Vexo_del(handle)
    return error_code
    """
    return run_plain(stateOf(handle), kQueue, c.Vexo_del)


def Py_Vexo_flush(handle):
    """
    Py_Vexo_flush(handle)
    return error_code
    """
    return run_keeping(stateOf(handle), kQueue, c.Vexo_flush)


def Py_Vexo_availableImage(handle):
    """
    Py_Vexo_availableImage(handle)
    return error_code
    """
    return run_plain(stateOf(handle), kQueue, c.Vexo_availableImage)


# Register access: one signature for the sensor's and for each I2C mode's.
ctypedef Uint32 (*WriteRegFn)(CameraHandle, Uint32, Uint32, Uint32) noexcept nogil
ctypedef Uint32 (*ReadRegFn)(CameraHandle, Uint32, Uint32, Uint32*) noexcept nogil


cdef Uint32 write_reg(HandleState* st, WriteRegFn fn, Uint32 ship, Uint32 reg,
                      Uint32 value) except? 0xFFFFFFFF:
    cdef Uint32 rc = 0
    cdef bint entered
    with nogil:
        entered = enter(st, kControl)
        if entered:
            rc = fn(cameraHandleOf(st), ship, reg, value)
            leave(st, kControl)
    if not entered:
        closedError()
    return rc


cdef tuple read_reg(HandleState* st, ReadRegFn fn, Uint32 ship, Uint32 reg):
    cdef Uint32 rc = 0
    cdef Uint32 value = 0
    cdef bint entered
    with nogil:
        entered = enter(st, kControl)
        if entered:
            rc = fn(cameraHandleOf(st), ship, reg, &value)
            leave(st, kControl)
    if not entered:
        closedError()
    return (rc, value)


cdef Uint32 write_reg_of(handle, shipAddr, regAddr, val, WriteRegFn fn,
                         bint unsignedValue) except? 0xFFFFFFFF:
    # The arguments of a Py_Vexo_writeReg_* call, converted in their order, then the write.
    # Only the 32-bit values take the whole unsigned range.
    cdef HandleState* st = stateOf(handle)
    cdef int ship
    cdef int reg
    cdef int value = 0
    cdef unsigned int wide = 0
    toInt(shipAddr, &ship)
    toInt(regAddr, &reg)
    if unsignedValue:
        toUnsignedInt(val, &wide)
        return write_reg(st, fn, <Uint32>ship, <Uint32>reg, <Uint32>wide)
    toInt(val, &value)
    return write_reg(st, fn, <Uint32>ship, <Uint32>reg, <Uint32>value)


cdef tuple read_reg_of(handle, shipAddr, regAddr, ReadRegFn fn):
    # The same for a Py_Vexo_readReg_* call.
    cdef HandleState* st = stateOf(handle)
    cdef int ship
    cdef int reg
    toInt(shipAddr, &ship)
    toInt(regAddr, &reg)
    return read_reg(st, fn, <Uint32>ship, <Uint32>reg)


cdef Uint32 sensor_write(CameraHandle cam, Uint32 ship, Uint32 reg, Uint32 value) noexcept nogil:
    return c.Vexo_writeSensorReg(cam, reg, value)


cdef Uint32 sensor_read(CameraHandle cam, Uint32 ship, Uint32 reg, Uint32* value) noexcept nogil:
    return c.Vexo_readSensorReg(cam, reg, value)


def Py_Vexo_writeSensorReg(handle, regAddr, val):
    """
    Py_Vexo_writeSensorReg(handle,regAddr,val)
    return error_code
    """
    cdef HandleState* st = stateOf(handle)
    cdef int reg
    cdef int value
    toInt(regAddr, &reg)
    toInt(val, &value)
    return write_reg(st, sensor_write, 0, <Uint16>reg, <Uint16>value)


def Py_Vexo_getSensorCfg(handle):
    """
    Py_Vexo_getSensorCfg(handle)
    return error_code,cfg
    """
    cdef HandleState* st = stateOf(handle)
    cdef CameraConfig config
    cdef Uint32 rc = 0
    cdef bint entered
    memset_config(&config)
    with nogil:
        entered = enter(st, kControl)
        if entered:
            rc = c.Vexo_getSensorCfg(cameraHandleOf(st), &config)
            leave(st, kControl)
    if not entered:
        closedError()
    return (rc, config_dict(&config))


cdef inline void memset_config(CameraConfig* cfg):
    # u32Size is not filled by the operation: report 0 rather than stack contents.
    cdef char* p = <char*>cfg
    cdef size_t i
    for i in range(sizeof(CameraConfig)):
        p[i] = 0


def Py_Vexo_readSensorReg(handle, regAddr):
    """
    Py_Vexo_readSensorReg(handle,regAddr)
    return error_code,regValue
    """
    cdef int reg
    toInt(regAddr, &reg)
    cdef HandleState* st = stateOf(handle)
    return read_reg(st, sensor_read, 0, <Uint32>reg)


def Py_Vexo_writeReg_8_8(handle, shipAddr, regAddr, val):
    """
    Py_Vexo_writeReg_8_8(handle,shipAddr,regAddr,val)
    return error_code
    """
    return write_reg_of(handle, shipAddr, regAddr, val, c.Vexo_writeReg_8_8, False)


def Py_Vexo_readReg_8_8(handle, shipAddr, regAddr):
    """
    Py_Vexo_readReg_8_8(handle,shipAddr,regAddr)
    return error_code,regValue
    """
    return read_reg_of(handle, shipAddr, regAddr, c.Vexo_readReg_8_8)


def Py_Vexo_writeReg_8_16(handle, shipAddr, regAddr, val):
    """
    Py_Vexo_writeReg_8_16(handle,shipAddr,regAddr,val)
    return error_code
    """
    return write_reg_of(handle, shipAddr, regAddr, val, c.Vexo_writeReg_8_16, False)


def Py_Vexo_readReg_8_16(handle, shipAddr, regAddr):
    """
    Py_Vexo_readReg_8_16(handle,shipAddr,regAddr)
    return error_code,regValue
    """
    return read_reg_of(handle, shipAddr, regAddr, c.Vexo_readReg_8_16)


def Py_Vexo_writeReg_16_8(handle, shipAddr, regAddr, val):
    """
    Py_Vexo_writeReg_16_8(handle,shipAddr,regAddr,val)
    return error_code
    """
    return write_reg_of(handle, shipAddr, regAddr, val, c.Vexo_writeReg_16_8, False)


def Py_Vexo_readReg_16_8(handle, shipAddr, regAddr):
    """
    Py_Vexo_readReg_16_8(handle,shipAddr,regAddr)
    return error_code,regValue
    """
    return read_reg_of(handle, shipAddr, regAddr, c.Vexo_readReg_16_8)


def Py_Vexo_writeReg_16_16(handle, shipAddr, regAddr, val):
    """
    Py_Vexo_writeReg_16_16(handle,shipAddr,regAddr,val)
    return error_code
    """
    return write_reg_of(handle, shipAddr, regAddr, val, c.Vexo_writeReg_16_16, False)


def Py_Vexo_readReg_16_16(handle, shipAddr, regAddr):
    """
    Py_Vexo_readReg_16_16(handle,shipAddr,regAddr)
    return error_code,regValue
    """
    return read_reg_of(handle, shipAddr, regAddr, c.Vexo_readReg_16_16)


def Py_Vexo_writeReg_16_32(handle, shipAddr, regAddr, val):
    """
    Py_Vexo_writeReg_16_32(handle,shipAddr,regAddr,val)
    return error_code
    """
    return write_reg_of(handle, shipAddr, regAddr, val, c.Vexo_writeReg_16_32, True)


def Py_Vexo_readReg_16_32(handle, shipAddr, regAddr):
    """
    Py_Vexo_readReg_16_32(handle,shipAddr,regAddr)
    return error_code,regValue
    """
    return read_reg_of(handle, shipAddr, regAddr, c.Vexo_readReg_16_32)


cdef int set_force_read(HandleState* st, void (*fn)(CameraHandle) noexcept nogil) except -1:
    # Force read on or off, keeping the interpreter lock.
    if not enterKeepingInterpreter(st, kControl):
        closedError()
    fn(cameraHandleOf(st))
    leave(st, kControl)
    return 0


def Py_Vexo_enableForceRead(handle):
    """
    Py_Vexo_enableForceRead(handle)
    """
    set_force_read(stateOf(handle), c.Vexo_enableForceRead)


def Py_Vexo_disableForceRead(handle):
    """
    Py_Vexo_disableForceRead(handle)
    """
    set_force_read(stateOf(handle), c.Vexo_disableForceRead)


cdef object data_block(datas, size, Py_ssize_t* n, Uint8** buf):
    # The caller's bytes, each converted, in a block of their own (@buf, @n of them); None
    # and no bytes when there are none or the size argument is 0.
    cdef Py_ssize_t count
    cdef Py_ssize_t i
    n[0] = 0
    buf[0] = NULL
    if not PyObject_RichCompareBool(datas, None, Py_NE):
        return None
    count = len(datas)
    if count == 0 or not PyObject_RichCompareBool(size, 0, Py_NE):
        return None
    block = newByteBlock(count)
    buf[0] = byteBlockData(block)
    for i in range(count):
        toUint8(datas[i], &buf[0][i])
    n[0] = count
    return block


def Py_Vexo_setboardConfig(handle, command, value, index, buffsize, datas):
    """
    Py_Vexo_setboardConfig(handle,command,value,index,buffsize,datas)
    return error_code
    """
    cdef Py_ssize_t n = 0
    cdef Uint8* buf = NULL
    cdef int request, val, idx, size
    cdef Uint32 rc = 0
    cdef bint entered
    block = data_block(datas, buffsize, &n, &buf)
    cdef HandleState* st = stateOf(handle)
    toInt(command, &request)
    toInt(value, &val)
    toInt(index, &idx)
    toInt(buffsize, &size)
    # The board reads as many bytes as the size says: never more than the caller supplied.
    if <Uint32>size > <Uint64>n:
        refuseSize(b"buffsize", <Uint32>size, n)
    with nogil:
        entered = enter(st, kControl)
        if entered:
            rc = c.Vexo_setboardConfig(cameraHandleOf(st), <Uint8>request, <Uint16>val,
                                       <Uint16>idx, <Uint32>size, buf)
            leave(st, kControl)
    if not entered:
        closedError()
    return rc


# Most bytes of a control request's data stage (its 16-bit wLength).
cdef size_t MAX_REQUEST_BYTES = 65535


def Py_Vexo_getboardConfig(handle, command, value, index, buffsize):
    """
    Py_Vexo_getboardConfig(handle,command,value,index,buffsize)
    return error_code,datas
    """
    cdef size_t n = 0
    cdef Uint8* buf = NULL
    cdef int request, val, idx, size
    cdef Uint32 rc = 0
    cdef bint entered
    block = None
    if PyObject_RichCompareBool(buffsize, 0, Py_NE):
        toSize(buffsize, &n)
        # A control request carries at most 65535 bytes and the library refuses more: refused
        # here before a buffer of that size is made (up to 2 GiB), with the library's code and
        # an empty view.
        if n <= MAX_REQUEST_BYTES:
            block = newByteBlock(n)
            buf = byteBlockData(block)
    cdef HandleState* st = stateOf(handle)
    toInt(command, &request)
    toInt(value, &val)
    toInt(index, &idx)
    toInt(buffsize, &size)
    if n > MAX_REQUEST_BYTES:
        return (c.USB_CAMERA_VR_COMMAND_ERROR, byteBlockView(newByteBlock(0), 0))
    if <Uint32>size > n:
        refuseSize(b"buffsize", <Uint32>size, <Py_ssize_t>n)
    with nogil:
        entered = enter(st, kControl)
        if entered:
            rc = c.Vexo_getboardConfig(cameraHandleOf(st), <Uint8>request, <Uint16>val,
                                       <Uint16>idx, <Uint32>size, buf)
            leave(st, kControl)
    if not entered:
        closedError()
    if block is None:
        block = newByteBlock(0)
    return (rc, byteBlockView(block, <Py_ssize_t>n))


def Py_Vexo_readUserData(handle, u16Addr, u8Len):
    """
    Py_Vexo_readUserData(handle,u16Addr,u8Len)
    return error_code,datas
    """
    cdef size_t n = 0
    cdef Uint8* buf = NULL
    cdef int address, length
    cdef Uint32 rc = 0
    cdef bint entered
    block = None
    if PyObject_RichCompareBool(u8Len, 0, Py_NE):
        toSize(u8Len, &n)
        block = newByteBlock(n)
        buf = byteBlockData(block)
    cdef HandleState* st = stateOf(handle)
    toInt(u16Addr, &address)
    toInt(u8Len, &length)
    if <Uint8>length > n:
        refuseSize(b"u8Len", <Uint8>length, <Py_ssize_t>n)
    with nogil:
        entered = enter(st, kControl)
        if entered:
            rc = c.Vexo_readUserData(cameraHandleOf(st), <Uint16>address, <Uint8>length, buf)
            leave(st, kControl)
    if not entered:
        closedError()
    if block is None:
        block = newByteBlock(0)
    return (rc, byteBlockView(block, <Py_ssize_t>n))


def Py_Vexo_writeUserData(handle, address, length, datas):
    """
    Py_Vexo_writeUserData(handle,address,length,datas)
    return error_code
    """
    cdef Py_ssize_t n = 0
    cdef Uint8* buf = NULL
    cdef int addr, size
    cdef Uint32 rc = 0
    cdef bint entered
    block = data_block(datas, length, &n, &buf)
    cdef HandleState* st = stateOf(handle)
    toInt(address, &addr)
    toInt(length, &size)
    if <Uint8>size > n:
        refuseSize(b"length", <Uint8>size, n)
    with nogil:
        entered = enter(st, kControl)
        if entered:
            rc = c.Vexo_writeUserData(cameraHandleOf(st), <Uint16>addr, <Uint8>size, buf)
            leave(st, kControl)
    if not entered:
        closedError()
    return rc


def Py_Vexo_softTrigger(handle):
    """
    Py_Vexo_softTrigger(handle)
    return error_code
    """
    return run_keeping(stateOf(handle), kControl, c.Vexo_softTrigger)


def Py_Vexo_getSingleFrame(handle, time_out = 1500):
    """
    Py_Vexo_getSingleFrame(handle,time_out = 1500)
    return error_code,data,cfg
    """
    cdef HandleState* st = stateOf(handle)
    cdef int timeout
    cdef FrameRef frame
    cdef int got = 0
    cdef Uint32 rc = 0
    cdef bint entered
    toInt(time_out, &timeout)
    # Runs a capture of its own: nothing else on the camera meanwhile.
    with nogil:
        entered = enter(st, kEverything)
        if entered:
            rc = singleFrame(st, <Uint32>timeout, &got, &frame)
            leave(st, kEverything)
    if not entered:
        closedError()
    if rc != USB_CAMERA_NO_ERROR or not got:
        return (rc, None, None)
    result = config_dict(&frame.record.cfg)
    data = frameRefView(frame)
    return (rc, data, result)


def Py_Vexo_setMode(handle, mode):
    """
    Py_Vexo_setMode(handle,mode)
    return error_code
    """
    cdef HandleState* st = stateOf(handle)
    cdef int m
    cdef Uint32 rc = 0
    cdef bint entered
    toInt(mode, &m)
    with nogil:
        entered = enter(st, kControl)
        if entered:
            rc = c.Vexo_setMode(cameraHandleOf(st), <Uint32>m)
            leave(st, kControl)
    if not entered:
        closedError()
    return rc


def Py_Vexo_isFrameReady(handle):
    """
    Py_Vexo_isFrameReady(handle)
    return error_code
    """
    return run_plain(stateOf(handle), kControl, c.Vexo_isFrameReady)


cdef Py_ssize_t CTRL_RECORD_BYTES = 304


cdef object known_extent(controls, size_t address):
    # Bytes from @address to the end of the memory ctypes allocated for the object the pointer
    # was made from (ctypes.pointer(records[i]), ctypes.cast(records, ...)); None when the
    # pointer does not say (made from an address, or over memory ctypes does not own).
    objects = getattr(controls, "_objects", None)
    if not isinstance(objects, dict):
        return None
    for obj in objects.values():
        if not hasattr(obj, "_b_needsfree_"):  # not a ctypes object
            continue
        root = obj
        while getattr(root, "_b_base_", None) is not None:
            root = root._b_base_
        if not root._b_needsfree_:
            continue
        start = ctypes.addressof(root)
        end = start + ctypes.sizeof(root)
        if start <= address < end:
            return end - address
    return None


def Py_Vexo_registerCtrls(handle, controls, controls_length):
    cdef HandleState* st = stateOf(handle)
    cdef int count
    cdef size_t address = 0
    cdef int rc
    toInt(controls_length, &count)
    if controls:
        target = controls.contents
        toSize(ctypes.addressof(target), &address)
        # The host reads count records of 304 bytes from the address, and again on every set:
        # the memory the pointer is known to reach decides, whatever type it points to.
        if count < 0:
            raise ValueError("controls_length is %d" % count)
        extent = known_extent(controls, address)
        if extent is not None and <size_t>count * CTRL_RECORD_BYTES > extent:
            raise ValueError("controls_length is %d but controls holds %d records" %
                             (count, extent // CTRL_RECORD_BYTES))
    elif <Uint32>count != 0:
        # The host would read the records at address 0.
        raise ValueError("controls_length is %d but no controls were given" % count)
    if not enterKeepingInterpreter(st, kControl):
        closedError()
    rc = c.Vexo_registerCtrls(cameraHandleOf(st), <const c.CtrlRecord*>address, <Uint32>count)
    # From here on the host reads these records, on every set: the handle holds them until the
    # next registration or the close, so a caller's temporary array cannot vanish under it.
    # The records they replace are dropped only now, when no call can be reading them, and
    # after the camera is left (dropping them may run Python code).
    replaced = swapControls(st, controls)
    leave(st, kControl)
    return rc


def Py_Vexo_setCtrl(handle, func_name, val):
    cdef HandleState* st = stateOf(handle)
    cdef long long value
    cdef int rc
    name = func_name.encode("UTF-8")
    cdef const char* text = name
    toLongLong(val, &value)
    if not enterKeepingInterpreter(st, kControl):
        closedError()
    rc = c.Vexo_setCtrl(cameraHandleOf(st), text, <int64_t>value)
    leave(st, kControl)
    return rc


cdef extern from "control_calls.h" namespace "pyvexo":
    object newControlCallsCapsule()

# The register calls vexo._native's named controls make on this module's cameras
# (control_calls.h); a dunder, so the module's published names stay as they are.
__vexo_control_calls__ = newControlCallsCapsule()
