"""VexoSDK on a board reached through real libusb on an emulated usbfs.

Runs under umockdev-wrapper. The board comes from the vexo_usbfs_board helper, loaded into this
process with ctypes; VexoSDK finds it through the library's libusb backend like a real board.
"""
import pytest

from usbfs_board import HELPER, HEIGHT, WIDTH  # also finds the build's VexoSDK
import VexoSDK as V  # noqa: E402


def config():
    return {
        "u32CameraType": 0x1234, "u32Width": WIDTH, "u32Height": HEIGHT, "usbType": 0,
        "u8PixelBytes": 1, "u16Vid": 0x0C45, "u32Size": 0, "u32I2cAddr": 0x20,
        "u8PixelBits": 8, "emI2cMode": V.I2C_MODE_16_16, "emImageFmtMode": 0,
        "u32TransLvl": 0,
    }


# 0x03F1 streams chunk headers, 0x03F2 trailer packets.
@pytest.mark.parametrize("product", [0x03F1, 0x03F2])
def test_frames_through_libusb_match_the_board(product):
    assert HELPER.vexo_usbfs_plug(product, WIDTH, HEIGHT) == 0
    count, indexes, serials = V.Py_Vexo_scan()
    assert count == 1
    rc, handle, _ = V.Py_Vexo_open(config(), 0)
    assert rc == 0
    assert V.Py_Vexo_beginCaptureImage(handle) == 0
    matched = 0
    for _ in range(400):
        assert V.Py_Vexo_captureImage(handle) <= 0xFF
        while matched < 8:
            rc, data, frame = V.Py_Vexo_readImage(handle)
            if rc != 0:
                break
            assert frame["u32Size"] == WIDTH * HEIGHT
            assert HELPER.vexo_usbfs_frame_matches(data.tobytes(), frame["u32Size"]) == 1
            assert V.Py_Vexo_del(handle) == 0
            matched += 1
        if matched >= 8:
            break
    assert matched == 8
    assert V.Py_Vexo_endCaptureImage(handle) == 0
    assert V.Py_Vexo_close(handle) == 0
    HELPER.vexo_usbfs_unplug()


def test_unplugged_mid_stream_returns_status_codes():
    assert HELPER.vexo_usbfs_plug(0x03F1, WIDTH, HEIGHT) == 0
    rc, handle, _ = V.Py_Vexo_open(config(), 0)
    assert rc == 0
    assert V.Py_Vexo_beginCaptureImage(handle) == 0
    HELPER.vexo_usbfs_unplug()
    results = [V.Py_Vexo_captureImage(handle) for _ in range(70)]
    assert results[-1] >= 0xFF01
    assert V.Py_Vexo_endCaptureImage(handle) == 0
    assert V.Py_Vexo_close(handle) == 0
