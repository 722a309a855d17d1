"""The module object: namespace order, constants, function table, docstrings, start-up."""
import ctypes
import sys
import types

import pytest

import VexoSDK
from conftest import NAMESPACE_AT_IMPORT

CONSTANTS = [
    ("RAW_RG", 0), ("RAW_GR", 1), ("RAW_GB", 2), ("RAW_BG", 3),
    ("I2C_MODE_8_8", 0), ("I2C_MODE_8_16", 1), ("I2C_MODE_16_8", 2), ("I2C_MODE_16_16", 3),
    ("I2C_MODE_16_32", 4),
    ("FORMAT_MODE_RAW", 0), ("FORMAT_MODE_RGB", 1), ("FORMAT_MODE_YUV", 2),
    ("FORMAT_MODE_JPG", 3), ("FORMAT_MODE_MON", 4), ("FORMAT_MODE_RAW_D", 5),
    ("FORMAT_MODE_MON_D", 6),
    ("USB_1", 1), ("USB_2", 2), ("USB_3", 3), ("USB_3_2", 4),
    ("EXTERNAL_TRIGGER_MODE", 1), ("CONTINUOUS_MODE", 2),
    ("USB_CAMERA_NO_ERROR", 0), ("USB_CAMERA_USB_CREATE_ERROR", 0xFF01),
    ("USB_CAMERA_USB_SET_CONTEXT_ERROR", 0xFF02), ("USB_CAMERA_VR_COMMAND_ERROR", 0xFF03),
    ("USB_CAMERA_USB_VERSION_ERROR", 0xFF04), ("USB_CAMERA_BUFFER_ERROR", 0xFF05),
    ("USB_CAMERA_NOT_FOUND_DEVICE_ERROR", 0xFF06), ("USB_CAMERA_I2C_BIT_ERROR", 0xFF0B),
    ("USB_CAMERA_I2C_NACK_ERROR", 0xFF0C), ("USB_CAMERA_I2C_TIMEOUT", 0xFF0D),
    ("USB_CAMERA_USB_TASK_ERROR", 0xFF20), ("USB_CAMERA_DATA_OVERFLOW_ERROR", 0xFF21),
    ("USB_CAMERA_DATA_LACK_ERROR", 0xFF22), ("USB_CAMERA_FIFO_FULL_ERROR", 0xFF23),
    ("USB_CAMERA_DATA_LEN_ERROR", 0xFF24), ("USB_CAMERA_FRAME_INDEX_ERROR", 0xFF25),
    ("USB_CAMERA_USB_TIMEOUT_ERROR", 0xFF26), ("USB_CAMERA_READ_EMPTY_ERROR", 0xFF30),
    ("USB_CAMERA_DEL_EMPTY_ERROR", 0xFF31), ("USB_CAMERA_SIZE_EXCEED_ERROR", 0xFF51),
    ("USB_USERDATA_ADDR_ERROR", 0xFF61), ("USB_USERDATA_LEN_ERROR", 0xFF62),
    ("USB_BOARD_FW_VERSION_NOT_SUPPORT_ERROR", 0xFF71),
]

FUNCTIONS = [
    "Py_Vexo_autoopen", "Py_Vexo_close", "Py_Vexo_scan", "Py_Vexo_open", "Py_Vexo_setCamCfg",
    "Py_Vexo_beginCaptureImage", "Py_Vexo_endCaptureImage", "Py_Vexo_captureImage",
    "Py_Vexo_readImage", "Py_Vexo_del", "Py_Vexo_flush", "Py_Vexo_availableImage",
    "Py_Vexo_writeSensorReg", "Py_Vexo_getSensorCfg", "Py_Vexo_readSensorReg",
    "Py_Vexo_writeReg_8_8", "Py_Vexo_readReg_8_8", "Py_Vexo_writeReg_8_16",
    "Py_Vexo_readReg_8_16", "Py_Vexo_writeReg_16_8", "Py_Vexo_readReg_16_8",
    "Py_Vexo_writeReg_16_16", "Py_Vexo_readReg_16_16", "Py_Vexo_writeReg_16_32",
    "Py_Vexo_readReg_16_32", "Py_Vexo_enableForceRead", "Py_Vexo_disableForceRead",
    "Py_Vexo_setboardConfig", "Py_Vexo_getboardConfig", "Py_Vexo_readUserData",
    "Py_Vexo_writeUserData", "Py_Vexo_softTrigger", "Py_Vexo_getSingleFrame",
    "Py_Vexo_setMode", "Py_Vexo_isFrameReady", "Py_Vexo_registerCtrls", "Py_Vexo_setCtrl",
]

SPECIAL_DOCS = {
    "Py_Vexo_autoopen": "\n    Py_Vexo_autoopen(cfg)\n    return error_code,handle,cfg \n    ",
    "Py_Vexo_close": "\n    Py_Vexo_close(handle)\n    return error_code\n    ",
    "Py_Vexo_scan": "\n    Py_Vexo_scan()\n    return count,(index,...),(serials,...)\n    ",
    "Py_Vexo_open": "\n    Py_Vexo_open(cfg,usbIdx)\n    return error_code,handle,cfg\n    ",
    "Py_Vexo_setCamCfg": "\n    Py_Vexo_setCamCfg(handle, cfg)\n    return error_code\n    ",
    "Py_Vexo_readImage": "\n    Py_Vexo_readImage(handle)\n    return error_code,data,cfg\n    ",
    "Py_Vexo_getSensorCfg": "\n    Py_Vexo_getSensorCfg(handle)\n    return error_code,cfg\n    ",
    "Py_Vexo_readSensorReg":
        "\n    Py_Vexo_readSensorReg(handle,regAddr)\n    return error_code,regValue\n    ",
    "Py_Vexo_writeSensorReg":
        "\n    Py_Vexo_writeSensorReg(handle,regAddr,val)\n    return error_code\n    ",
    "Py_Vexo_enableForceRead": "\n    Py_Vexo_enableForceRead(handle)\n    ",
    "Py_Vexo_disableForceRead": "\n    Py_Vexo_disableForceRead(handle)\n    ",
    "Py_Vexo_setboardConfig": "\n    Py_Vexo_setboardConfig(handle,command,value,index,buffsize,"
                              "datas)\n    return error_code\n    ",
    "Py_Vexo_getboardConfig": "\n    Py_Vexo_getboardConfig(handle,command,value,index,buffsize)"
                              "\n    return error_code,datas\n    ",
    "Py_Vexo_readUserData":
        "\n    Py_Vexo_readUserData(handle,u16Addr,u8Len)\n    return error_code,datas\n    ",
    "Py_Vexo_writeUserData":
        "\n    Py_Vexo_writeUserData(handle,address,length,datas)\n    return error_code\n    ",
    "Py_Vexo_getSingleFrame":
        "\n    Py_Vexo_getSingleFrame(handle,time_out = 1500)\n    return error_code,data,cfg\n    ",
    "Py_Vexo_setMode": "\n    Py_Vexo_setMode(handle,mode)\n    return error_code\n    ",
    "Py_Vexo_registerCtrls": None,
    "Py_Vexo_setCtrl": None,
}


def expected_doc(name):
    if name in SPECIAL_DOCS:
        return SPECIAL_DOCS[name]
    if name.startswith("Py_Vexo_writeReg_"):
        return f"\n    {name}(handle,shipAddr,regAddr,val)\n    return error_code\n    "
    if name.startswith("Py_Vexo_readReg_"):
        return f"\n    {name}(handle,shipAddr,regAddr)\n    return error_code,regValue\n    "
    return f"\n    {name}(handle)\n    return error_code\n    "


def test_namespace_holds_exactly_the_published_names_in_order():
    names = [n for n in NAMESPACE_AT_IMPORT if not (n.startswith("__") and n.endswith("__"))]
    assert names == ["ctypes"] + [n for n, _ in CONSTANTS] + FUNCTIONS
    assert VexoSDK.ctypes is ctypes
    assert VexoSDK.__test__ == {}
    order = NAMESPACE_AT_IMPORT
    assert order.index("__test__") > order.index(FUNCTIONS[-1])
    assert VexoSDK.__name__ == "VexoSDK"
    assert VexoSDK.__doc__ == "\nVexo Python SDK.\n"


def test_constants_are_plain_ints_with_the_record_values():
    for name, value in CONSTANTS:
        got = getattr(VexoSDK, name)
        assert type(got) is int and got == value, name


@pytest.mark.parametrize("name", FUNCTIONS)
def test_functions_are_builtins_with_their_docstrings(name):
    fn = getattr(VexoSDK, name)
    assert isinstance(fn, types.BuiltinFunctionType)
    assert fn.__module__ == "VexoSDK"
    assert fn.__self__ is None
    assert fn.__doc__ == expected_doc(name)


def test_second_initialisation_returns_the_same_module():
    init = ctypes.PyDLL(VexoSDK.__file__).PyInit_VexoSDK
    init.restype = ctypes.py_object
    saved = sys.modules.pop("VexoSDK")
    try:
        again = init()
    finally:
        sys.modules["VexoSDK"] = saved
    assert again is VexoSDK
    assert again.Py_Vexo_open is VexoSDK.Py_Vexo_open


def test_exception_tracebacks_name_the_module_function():
    with pytest.raises(KeyError) as info:
        VexoSDK.Py_Vexo_open({"u32CameraType": 0}, 0)
    last = info.tb
    while last.tb_next is not None:
        last = last.tb_next
    assert last.tb_frame.f_code.co_name == "VexoSDK.Py_Vexo_open"
    assert last.tb_frame.f_code.co_filename == "pyVexo"
