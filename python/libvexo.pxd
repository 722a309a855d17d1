# C declarations of the Vexo camera functions used by the VexoSDK module.
from libc.stdint cimport int64_t

cdef extern from "vexo/camera.h" nogil:
    # Declared as the header's own typedefs so that conversion errors name them
    # ("value too large to convert to Uint8").
    ctypedef unsigned char Uint8
    ctypedef unsigned short Uint16
    ctypedef unsigned int Uint32
    ctypedef unsigned long long Uint64

    ctypedef int I2cMode
    ctypedef int FormatMode

    enum:
        RAW_RG, RAW_GR, RAW_GB, RAW_BG
        I2C_MODE_8_8, I2C_MODE_8_16, I2C_MODE_16_8, I2C_MODE_16_16, I2C_MODE_16_32
        FORMAT_MODE_RAW, FORMAT_MODE_RGB, FORMAT_MODE_YUV, FORMAT_MODE_JPG
        FORMAT_MODE_MON, FORMAT_MODE_RAW_D, FORMAT_MODE_MON_D
        USB_1, USB_2, USB_3, USB_3_2
        EXTERNAL_TRIGGER_MODE, CONTINUOUS_MODE

    Uint32 USB_CAMERA_NO_ERROR
    Uint32 USB_CAMERA_USB_CREATE_ERROR
    Uint32 USB_CAMERA_USB_SET_CONTEXT_ERROR
    Uint32 USB_CAMERA_VR_COMMAND_ERROR
    Uint32 USB_CAMERA_USB_VERSION_ERROR
    Uint32 USB_CAMERA_BUFFER_ERROR
    Uint32 USB_CAMERA_NOT_FOUND_DEVICE_ERROR
    Uint32 USB_CAMERA_I2C_BIT_ERROR
    Uint32 USB_CAMERA_I2C_NACK_ERROR
    Uint32 USB_CAMERA_I2C_TIMEOUT
    Uint32 USB_CAMERA_USB_TASK_ERROR
    Uint32 USB_CAMERA_DATA_OVERFLOW_ERROR
    Uint32 USB_CAMERA_DATA_LACK_ERROR
    Uint32 USB_CAMERA_FIFO_FULL_ERROR
    Uint32 USB_CAMERA_DATA_LEN_ERROR
    Uint32 USB_CAMERA_FRAME_INDEX_ERROR
    Uint32 USB_CAMERA_USB_TIMEOUT_ERROR
    Uint32 USB_CAMERA_READ_EMPTY_ERROR
    Uint32 USB_CAMERA_DEL_EMPTY_ERROR
    Uint32 USB_CAMERA_SIZE_EXCEED_ERROR
    Uint32 USB_USERDATA_ADDR_ERROR
    Uint32 USB_USERDATA_LEN_ERROR
    Uint32 USB_BOARD_FW_VERSION_NOT_SUPPORT_ERROR

    ctypedef struct CameraConfig:
        Uint32 u32CameraType
        Uint16 u16Vid
        Uint32 u32Width
        Uint32 u32Height
        Uint8 u8PixelBytes
        Uint8 u8PixelBits
        Uint32 u32I2cAddr
        Uint32 u32Size
        Uint8 usbType
        I2cMode emI2cMode
        FormatMode emImageFmtMode
        Uint32 u32TransLvl

    ctypedef struct FrameData:
        CameraConfig cfg
        Uint64 u64Time
        Uint8* imageData

    ctypedef struct ScanEntry:
        Uint8 u8Index
        Uint8 u8Serial[16]

    cdef struct VexoCamera
    ctypedef VexoCamera* CameraHandle

    cdef struct CtrlRecord

    Uint32 Vexo_scan(ScanEntry* entries)
    Uint32 Vexo_autoopen(CameraHandle* handle, CameraConfig* cfg)
    Uint32 Vexo_open(CameraHandle* handle, CameraConfig* cfg, Uint32 index)
    Uint32 Vexo_close(CameraHandle handle)
    Uint32 Vexo_beginCaptureImage(CameraHandle handle)
    Uint32 Vexo_captureImage(CameraHandle handle)
    Uint32 Vexo_endCaptureImage(CameraHandle handle)
    Uint32 Vexo_readImage(CameraHandle handle, FrameData** frame)
    Uint32 Vexo_del(CameraHandle handle)
    Uint32 Vexo_flush(CameraHandle handle)
    Uint32 Vexo_availableImage(CameraHandle handle)
    Uint32 Vexo_writeSensorReg(CameraHandle handle, Uint32 regAddr, Uint32 value)
    Uint32 Vexo_readSensorReg(CameraHandle handle, Uint32 regAddr, Uint32* value)
    Uint32 Vexo_getSensorCfg(CameraHandle handle, CameraConfig* cfg)
    Uint32 Vexo_writeReg_8_8(CameraHandle handle, Uint32 i2cAddr, Uint32 regAddr, Uint32 value)
    Uint32 Vexo_readReg_8_8(CameraHandle handle, Uint32 i2cAddr, Uint32 regAddr, Uint32* value)
    Uint32 Vexo_writeReg_8_16(CameraHandle handle, Uint32 i2cAddr, Uint32 regAddr, Uint32 value)
    Uint32 Vexo_readReg_8_16(CameraHandle handle, Uint32 i2cAddr, Uint32 regAddr, Uint32* value)
    Uint32 Vexo_writeReg_16_8(CameraHandle handle, Uint32 i2cAddr, Uint32 regAddr, Uint32 value)
    Uint32 Vexo_readReg_16_8(CameraHandle handle, Uint32 i2cAddr, Uint32 regAddr, Uint32* value)
    Uint32 Vexo_writeReg_16_16(CameraHandle handle, Uint32 i2cAddr, Uint32 regAddr, Uint32 value)
    Uint32 Vexo_readReg_16_16(CameraHandle handle, Uint32 i2cAddr, Uint32 regAddr, Uint32* value)
    Uint32 Vexo_writeReg_16_32(CameraHandle handle, Uint32 i2cAddr, Uint32 regAddr, Uint32 value)
    Uint32 Vexo_readReg_16_32(CameraHandle handle, Uint32 i2cAddr, Uint32 regAddr, Uint32* value)
    Uint32 Vexo_setboardConfig(CameraHandle handle, Uint8 request, Uint16 value, Uint16 index,
                               Uint32 length, Uint8* data)
    Uint32 Vexo_getboardConfig(CameraHandle handle, Uint8 request, Uint16 value, Uint16 index,
                               Uint32 length, Uint8* data)
    void Vexo_enableForceRead(CameraHandle handle)
    void Vexo_disableForceRead(CameraHandle handle)
    Uint32 Vexo_readUserData(CameraHandle handle, Uint16 address, Uint8 length, Uint8* data)
    Uint32 Vexo_writeUserData(CameraHandle handle, Uint16 address, Uint8 length, Uint8* data)
    Uint32 Vexo_getSingleFrame(CameraHandle handle, FrameData** frame, Uint32 timeoutMs)
    Uint32 Vexo_softTrigger(CameraHandle handle)
    Uint32 Vexo_setMode(CameraHandle handle, Uint32 mode)
    Uint32 Vexo_isFrameReady(CameraHandle handle)
    int Vexo_registerCtrls(CameraHandle handle, const CtrlRecord* records, Uint32 count)
    int Vexo_setCtrl(CameraHandle handle, const char* name, int64_t value)
    Uint32 Vexo_setCamCfg(CameraHandle handle, CameraConfig* cfg)

cdef extern from "vexo/controls.h":
    pass
