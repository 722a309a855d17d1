# cython: language_level=3
# distutils: language = c++
"""
Vexo Python SDK.
"""
# The VexoSDK module: the camera functions of the Vexo library for Python. Built as module
# "VexoSDK" (cython --module-name VexoSDK). Conversions, frame views and byte buffers live in
# support.cpp.

from cpython.bytes cimport PyBytes_FromStringAndSize
from cpython.mem cimport PyMem_Free, PyMem_Malloc
from cpython.memoryview cimport PyMemoryView_FromObject
from cpython.object cimport PyObject_RichCompareBool, Py_NE
from cpython.pycapsule cimport PyCapsule_GetPointer, PyCapsule_New
from libc.stdint cimport int64_t

cimport vexo as c
from vexo cimport Uint8, Uint16, Uint32, Uint64, CameraConfig, FrameData, ScanEntry, CameraHandle

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
    object frameView(CameraHandle, const FrameData*)
    int retireHandle(object) except -1
    int refuseSize(const char*, unsigned long long, Py_ssize_t) except -1

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

# Name of the handle capsules; a closed handle's capsule is renamed (support.cpp).
cdef const char* HANDLE_NAME = b"AnyNameUWant"

# Control records registered per camera, kept alive until the camera is closed: the control
# host reads them on every set, so they must outlive the caller's own references.
cdef dict registered_controls = {}


cdef dict config_dict(const CameraConfig* cfg):
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
        "emI2cMode": <int>cfg.emI2cMode,
        "emImageFmtMode": <int>cfg.emImageFmtMode,
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
    handle = PyCapsule_New(<void*>cam, HANDLE_NAME, NULL)
    return (rc, handle, result)


def Py_Vexo_close(handle):
    """
    Py_Vexo_close(handle)
    return error_code
    """
    cdef CameraHandle cam = <CameraHandle>PyCapsule_GetPointer(handle, HANDLE_NAME)
    registered_controls.pop(<size_t>cam, None)
    retireHandle(handle)
    c.Vexo_close(cam)
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
    handle = PyCapsule_New(<void*>cam, HANDLE_NAME, NULL)
    return (rc, handle, result)


def Py_Vexo_setCamCfg(handle, cfg):
    """
    Py_Vexo_setCamCfg(handle, cfg)
    return error_code
    """
    cdef CameraHandle cam = <CameraHandle>PyCapsule_GetPointer(handle, HANDLE_NAME)
    cdef CameraConfig config
    cdef Uint32 rc
    readConfig(cfg, &config)
    with nogil:
        rc = c.Vexo_setCamCfg(cam, &config)
    return rc


def Py_Vexo_beginCaptureImage(handle):
    """
    Py_Vexo_beginCaptureImage(handle)
    return error_code
    """
    cdef CameraHandle cam = <CameraHandle>PyCapsule_GetPointer(handle, HANDLE_NAME)
    cdef Uint32 rc
    with nogil:
        rc = c.Vexo_beginCaptureImage(cam)
    return rc


def Py_Vexo_endCaptureImage(handle):
    """
    Py_Vexo_endCaptureImage(handle)
    return error_code
    """
    cdef CameraHandle cam = <CameraHandle>PyCapsule_GetPointer(handle, HANDLE_NAME)
    return c.Vexo_endCaptureImage(cam)


def Py_Vexo_captureImage(handle):
    """
    Py_Vexo_captureImage(handle)
    return error_code
    """
    cdef CameraHandle cam = <CameraHandle>PyCapsule_GetPointer(handle, HANDLE_NAME)
    cdef Uint32 rc
    with nogil:
        rc = c.Vexo_captureImage(cam)
    return rc


def Py_Vexo_readImage(handle):
    """
    Py_Vexo_readImage(handle)
    return error_code,data,cfg
    """
    cdef CameraHandle cam = <CameraHandle>PyCapsule_GetPointer(handle, HANDLE_NAME)
    cdef FrameData* frame = NULL
    cdef FrameData record
    cdef Uint32 rc
    with nogil:
        rc = c.Vexo_readImage(cam, &frame)
    if rc != 0:
        return (rc, None, None)
    record = frame[0]
    result = config_dict(&record.cfg)
    result["u64Time"] = record.u64Time
    data = frameView(cam, &record)
    return (rc, data, result)


def Py_Vexo_del(handle):
    """
    Py_Vexo_del(handle)
    return error_code
    """
    cdef CameraHandle cam = <CameraHandle>PyCapsule_GetPointer(handle, HANDLE_NAME)
    cdef Uint32 rc
    with nogil:
        rc = c.Vexo_del(cam)
    return rc


def Py_Vexo_flush(handle):
    """
    Py_Vexo_flush(handle)
    return error_code
    """
    cdef CameraHandle cam = <CameraHandle>PyCapsule_GetPointer(handle, HANDLE_NAME)
    return c.Vexo_flush(cam)


def Py_Vexo_availableImage(handle):
    """
    Py_Vexo_availableImage(handle)
    return error_code
    """
    cdef CameraHandle cam = <CameraHandle>PyCapsule_GetPointer(handle, HANDLE_NAME)
    cdef Uint32 rc
    with nogil:
        rc = c.Vexo_availableImage(cam)
    return rc


def Py_Vexo_writeSensorReg(handle, regAddr, val):
    """
    Py_Vexo_writeSensorReg(handle,regAddr,val)
    return error_code
    """
    cdef CameraHandle cam = <CameraHandle>PyCapsule_GetPointer(handle, HANDLE_NAME)
    cdef int reg
    cdef int value
    cdef Uint32 rc
    toInt(regAddr, &reg)
    toInt(val, &value)
    with nogil:
        rc = c.Vexo_writeSensorReg(cam, <Uint16>reg, <Uint16>value)
    return rc


def Py_Vexo_getSensorCfg(handle):
    """
    Py_Vexo_getSensorCfg(handle)
    return error_code,cfg
    """
    cdef CameraHandle cam = <CameraHandle>PyCapsule_GetPointer(handle, HANDLE_NAME)
    cdef CameraConfig config
    cdef Uint32 rc
    memset_config(&config)
    with nogil:
        rc = c.Vexo_getSensorCfg(cam, &config)
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
    cdef Uint32 value = 0
    cdef Uint32 rc
    toInt(regAddr, &reg)
    cdef CameraHandle cam = <CameraHandle>PyCapsule_GetPointer(handle, HANDLE_NAME)
    with nogil:
        rc = c.Vexo_readSensorReg(cam, <Uint32>reg, &value)
    return (rc, value)


def Py_Vexo_writeReg_8_8(handle, shipAddr, regAddr, val):
    """
    Py_Vexo_writeReg_8_8(handle,shipAddr,regAddr,val)
    return error_code
    """
    cdef CameraHandle cam = <CameraHandle>PyCapsule_GetPointer(handle, HANDLE_NAME)
    cdef int ship
    cdef int reg
    cdef int value
    cdef Uint32 rc
    toInt(shipAddr, &ship)
    toInt(regAddr, &reg)
    toInt(val, &value)
    with nogil:
        rc = c.Vexo_writeReg_8_8(cam, <Uint32>ship, <Uint32>reg, <Uint32>value)
    return rc


def Py_Vexo_readReg_8_8(handle, shipAddr, regAddr):
    """
    Py_Vexo_readReg_8_8(handle,shipAddr,regAddr)
    return error_code,regValue
    """
    cdef CameraHandle cam = <CameraHandle>PyCapsule_GetPointer(handle, HANDLE_NAME)
    cdef int ship
    cdef int reg
    cdef Uint32 value = 0
    cdef Uint32 rc
    toInt(shipAddr, &ship)
    toInt(regAddr, &reg)
    with nogil:
        rc = c.Vexo_readReg_8_8(cam, <Uint32>ship, <Uint32>reg, &value)
    return (rc, value)


def Py_Vexo_writeReg_8_16(handle, shipAddr, regAddr, val):
    """
    Py_Vexo_writeReg_8_16(handle,shipAddr,regAddr,val)
    return error_code
    """
    cdef CameraHandle cam = <CameraHandle>PyCapsule_GetPointer(handle, HANDLE_NAME)
    cdef int ship
    cdef int reg
    cdef int value
    cdef Uint32 rc
    toInt(shipAddr, &ship)
    toInt(regAddr, &reg)
    toInt(val, &value)
    with nogil:
        rc = c.Vexo_writeReg_8_16(cam, <Uint32>ship, <Uint32>reg, <Uint32>value)
    return rc


def Py_Vexo_readReg_8_16(handle, shipAddr, regAddr):
    """
    Py_Vexo_readReg_8_16(handle,shipAddr,regAddr)
    return error_code,regValue
    """
    cdef CameraHandle cam = <CameraHandle>PyCapsule_GetPointer(handle, HANDLE_NAME)
    cdef int ship
    cdef int reg
    cdef Uint32 value = 0
    cdef Uint32 rc
    toInt(shipAddr, &ship)
    toInt(regAddr, &reg)
    with nogil:
        rc = c.Vexo_readReg_8_16(cam, <Uint32>ship, <Uint32>reg, &value)
    return (rc, value)


def Py_Vexo_writeReg_16_8(handle, shipAddr, regAddr, val):
    """
    Py_Vexo_writeReg_16_8(handle,shipAddr,regAddr,val)
    return error_code
    """
    cdef CameraHandle cam = <CameraHandle>PyCapsule_GetPointer(handle, HANDLE_NAME)
    cdef int ship
    cdef int reg
    cdef int value
    cdef Uint32 rc
    toInt(shipAddr, &ship)
    toInt(regAddr, &reg)
    toInt(val, &value)
    with nogil:
        rc = c.Vexo_writeReg_16_8(cam, <Uint32>ship, <Uint32>reg, <Uint32>value)
    return rc


def Py_Vexo_readReg_16_8(handle, shipAddr, regAddr):
    """
    Py_Vexo_readReg_16_8(handle,shipAddr,regAddr)
    return error_code,regValue
    """
    cdef CameraHandle cam = <CameraHandle>PyCapsule_GetPointer(handle, HANDLE_NAME)
    cdef int ship
    cdef int reg
    cdef Uint32 value = 0
    cdef Uint32 rc
    toInt(shipAddr, &ship)
    toInt(regAddr, &reg)
    with nogil:
        rc = c.Vexo_readReg_16_8(cam, <Uint32>ship, <Uint32>reg, &value)
    return (rc, value)


def Py_Vexo_writeReg_16_16(handle, shipAddr, regAddr, val):
    """
    Py_Vexo_writeReg_16_16(handle,shipAddr,regAddr,val)
    return error_code
    """
    cdef CameraHandle cam = <CameraHandle>PyCapsule_GetPointer(handle, HANDLE_NAME)
    cdef int ship
    cdef int reg
    cdef int value
    cdef Uint32 rc
    toInt(shipAddr, &ship)
    toInt(regAddr, &reg)
    toInt(val, &value)
    with nogil:
        rc = c.Vexo_writeReg_16_16(cam, <Uint32>ship, <Uint32>reg, <Uint32>value)
    return rc


def Py_Vexo_readReg_16_16(handle, shipAddr, regAddr):
    """
    Py_Vexo_readReg_16_16(handle,shipAddr,regAddr)
    return error_code,regValue
    """
    cdef CameraHandle cam = <CameraHandle>PyCapsule_GetPointer(handle, HANDLE_NAME)
    cdef int ship
    cdef int reg
    cdef Uint32 value = 0
    cdef Uint32 rc
    toInt(shipAddr, &ship)
    toInt(regAddr, &reg)
    with nogil:
        rc = c.Vexo_readReg_16_16(cam, <Uint32>ship, <Uint32>reg, &value)
    return (rc, value)


def Py_Vexo_writeReg_16_32(handle, shipAddr, regAddr, val):
    """
    Py_Vexo_writeReg_16_32(handle,shipAddr,regAddr,val)
    return error_code
    """
    cdef CameraHandle cam = <CameraHandle>PyCapsule_GetPointer(handle, HANDLE_NAME)
    cdef int ship
    cdef int reg
    cdef unsigned int value
    cdef Uint32 rc
    toInt(shipAddr, &ship)
    toInt(regAddr, &reg)
    toUnsignedInt(val, &value)
    with nogil:
        rc = c.Vexo_writeReg_16_32(cam, <Uint32>ship, <Uint32>reg, <Uint32>value)
    return rc


def Py_Vexo_readReg_16_32(handle, shipAddr, regAddr):
    """
    Py_Vexo_readReg_16_32(handle,shipAddr,regAddr)
    return error_code,regValue
    """
    cdef CameraHandle cam = <CameraHandle>PyCapsule_GetPointer(handle, HANDLE_NAME)
    cdef int ship
    cdef int reg
    cdef Uint32 value = 0
    cdef Uint32 rc
    toInt(shipAddr, &ship)
    toInt(regAddr, &reg)
    with nogil:
        rc = c.Vexo_readReg_16_32(cam, <Uint32>ship, <Uint32>reg, &value)
    return (rc, value)


def Py_Vexo_enableForceRead(handle):
    """
    Py_Vexo_enableForceRead(handle)
    """
    cdef CameraHandle cam = <CameraHandle>PyCapsule_GetPointer(handle, HANDLE_NAME)
    c.Vexo_enableForceRead(cam)


def Py_Vexo_disableForceRead(handle):
    """
    Py_Vexo_disableForceRead(handle)
    """
    cdef CameraHandle cam = <CameraHandle>PyCapsule_GetPointer(handle, HANDLE_NAME)
    c.Vexo_disableForceRead(cam)


def Py_Vexo_setboardConfig(handle, command, value, index, buffsize, datas):
    """
    Py_Vexo_setboardConfig(handle,command,value,index,buffsize,datas)
    return error_code
    """
    cdef Py_ssize_t n = 0
    cdef Py_ssize_t i
    cdef Uint8* buf = NULL
    cdef int request, val, idx, size
    cdef Uint32 rc
    block = None
    if PyObject_RichCompareBool(datas, None, Py_NE):
        n = len(datas)
        if n > 0 and PyObject_RichCompareBool(buffsize, 0, Py_NE):
            block = newByteBlock(n)
            buf = byteBlockData(block)
            for i in range(n):
                toUint8(datas[i], &buf[i])
        else:
            n = 0
    cdef CameraHandle cam = <CameraHandle>PyCapsule_GetPointer(handle, HANDLE_NAME)
    toInt(command, &request)
    toInt(value, &val)
    toInt(index, &idx)
    toInt(buffsize, &size)
    # The board reads as many bytes as the size says: never more than the caller supplied.
    if <Uint32>size > <Uint64>n:
        refuseSize(b"buffsize", <Uint32>size, n)
    with nogil:
        rc = c.Vexo_setboardConfig(cam, <Uint8>request, <Uint16>val, <Uint16>idx,
                                   <Uint32>size, buf)
    return rc


def Py_Vexo_getboardConfig(handle, command, value, index, buffsize):
    """
    Py_Vexo_getboardConfig(handle,command,value,index,buffsize)
    return error_code,datas
    """
    cdef size_t n = 0
    cdef Uint8* buf = NULL
    cdef int request, val, idx, size
    cdef Uint32 rc
    block = None
    if PyObject_RichCompareBool(buffsize, 0, Py_NE):
        toSize(buffsize, &n)
        block = newByteBlock(n)
        buf = byteBlockData(block)
    cdef CameraHandle cam = <CameraHandle>PyCapsule_GetPointer(handle, HANDLE_NAME)
    toInt(command, &request)
    toInt(value, &val)
    toInt(index, &idx)
    toInt(buffsize, &size)
    if <Uint32>size > n:
        refuseSize(b"buffsize", <Uint32>size, <Py_ssize_t>n)
    with nogil:
        rc = c.Vexo_getboardConfig(cam, <Uint8>request, <Uint16>val, <Uint16>idx,
                                   <Uint32>size, buf)
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
    cdef Uint32 rc
    block = None
    if PyObject_RichCompareBool(u8Len, 0, Py_NE):
        toSize(u8Len, &n)
        block = newByteBlock(n)
        buf = byteBlockData(block)
    cdef CameraHandle cam = <CameraHandle>PyCapsule_GetPointer(handle, HANDLE_NAME)
    toInt(u16Addr, &address)
    toInt(u8Len, &length)
    if <Uint8>length > n:
        refuseSize(b"u8Len", <Uint8>length, <Py_ssize_t>n)
    with nogil:
        rc = c.Vexo_readUserData(cam, <Uint16>address, <Uint8>length, buf)
    if block is None:
        block = newByteBlock(0)
    return (rc, byteBlockView(block, <Py_ssize_t>n))


def Py_Vexo_writeUserData(handle, address, length, datas):
    """
    Py_Vexo_writeUserData(handle,address,length,datas)
    return error_code
    """
    cdef Py_ssize_t n = 0
    cdef Py_ssize_t i
    cdef Uint8* buf = NULL
    cdef int addr, size
    cdef Uint32 rc
    block = None
    if PyObject_RichCompareBool(datas, None, Py_NE):
        n = len(datas)
        if n > 0 and PyObject_RichCompareBool(length, 0, Py_NE):
            block = newByteBlock(n)
            buf = byteBlockData(block)
            for i in range(n):
                toUint8(datas[i], &buf[i])
        else:
            n = 0
    cdef CameraHandle cam = <CameraHandle>PyCapsule_GetPointer(handle, HANDLE_NAME)
    toInt(address, &addr)
    toInt(length, &size)
    if <Uint8>size > n:
        refuseSize(b"length", <Uint8>size, n)
    with nogil:
        rc = c.Vexo_writeUserData(cam, <Uint16>addr, <Uint8>size, buf)
    return rc


def Py_Vexo_softTrigger(handle):
    """
    Py_Vexo_softTrigger(handle)
    return error_code
    """
    cdef CameraHandle cam = <CameraHandle>PyCapsule_GetPointer(handle, HANDLE_NAME)
    return c.Vexo_softTrigger(cam)


def Py_Vexo_getSingleFrame(handle, time_out = 1500):
    """
    Py_Vexo_getSingleFrame(handle,time_out = 1500)
    return error_code,data,cfg
    """
    cdef CameraHandle cam = <CameraHandle>PyCapsule_GetPointer(handle, HANDLE_NAME)
    cdef int timeout
    cdef FrameData* frame = NULL
    cdef FrameData record
    cdef Uint32 rc
    toInt(time_out, &timeout)
    with nogil:
        rc = c.Vexo_getSingleFrame(cam, &frame, <Uint32>timeout)
    if rc != USB_CAMERA_NO_ERROR or frame == NULL:
        return (rc, None, None)
    record = frame[0]
    result = config_dict(&record.cfg)
    data = frameView(cam, &record)
    return (rc, data, result)


def Py_Vexo_setMode(handle, mode):
    """
    Py_Vexo_setMode(handle,mode)
    return error_code
    """
    cdef CameraHandle cam = <CameraHandle>PyCapsule_GetPointer(handle, HANDLE_NAME)
    cdef int m
    cdef Uint32 rc
    toInt(mode, &m)
    with nogil:
        rc = c.Vexo_setMode(cam, <Uint32>m)
    return rc


def Py_Vexo_isFrameReady(handle):
    """
    Py_Vexo_isFrameReady(handle)
    return error_code
    """
    cdef CameraHandle cam = <CameraHandle>PyCapsule_GetPointer(handle, HANDLE_NAME)
    cdef Uint32 rc
    with nogil:
        rc = c.Vexo_isFrameReady(cam)
    return rc


def Py_Vexo_registerCtrls(handle, controls, controls_length):
    cdef CameraHandle cam = <CameraHandle>PyCapsule_GetPointer(handle, HANDLE_NAME)
    cdef int count
    cdef size_t address = 0
    toInt(controls_length, &count)
    if controls:
        toSize(ctypes.addressof(controls.contents), &address)
    elif <Uint32>count != 0:
        # The host would read the records at address 0.
        raise ValueError("controls_length is %d but no controls were given" % count)
    # The host reads the records again on every set: hold them until the next registration
    # or the close, so a caller's temporary array cannot vanish under it.
    registered_controls[<size_t>cam] = controls
    return c.Vexo_registerCtrls(cam, <const c.CtrlRecord*>address, <Uint32>count)


def Py_Vexo_setCtrl(handle, func_name, val):
    cdef CameraHandle cam = <CameraHandle>PyCapsule_GetPointer(handle, HANDLE_NAME)
    cdef long long value
    name = func_name.encode("UTF-8")
    cdef const char* text = name
    toLongLong(val, &value)
    return c.Vexo_setCtrl(cam, text, <int64_t>value)
