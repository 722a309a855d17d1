"""Registers, board commands and user data, checked through what the board answers."""
import pytest

import VexoSDK as V
from conftest import RAW_USB3, config, run_python

SENSOR = 0x20
CONTROLLER = 0x46


class TestRegisters:
    def test_write_sensor_reg_hands_over_16_bits(self, camera):
        h = camera.handle
        assert V.Py_Vexo_writeSensorReg(h, 0x12345, 0x1FF) == 0
        assert V.Py_Vexo_readReg_16_16(h, SENSOR, 0x2345) == (0, 0x1FF)
        assert V.Py_Vexo_readSensorReg(h, 0x2345) == (0, 0x1FF)
        assert V.Py_Vexo_writeSensorReg(h, -1, 0x1234) == 0  # address 0xFFFF, no error
        assert V.Py_Vexo_readReg_16_16(h, SENSOR, 0xFFFF) == (0, 0x1234)
        assert V.Py_Vexo_writeSensorReg(h, 0x3000, 0x12345) == 0  # value cut to 0x2345
        assert V.Py_Vexo_readSensorReg(h, 0x3000) == (0, 0x2345)

    @pytest.mark.parametrize("xy,reg,value", [
        ("8_8", 0x12, 0xAB), ("8_16", 0x13, 0xABCD), ("16_8", 0x3012, 0xCD),
        ("16_16", 0x3014, 0xBEEF), ("16_32", 0x3016, 0xDEADBEEF),
    ])
    def test_register_round_trip_in_every_width(self, camera, xy, reg, value):
        write = getattr(V, f"Py_Vexo_writeReg_{xy}")
        read = getattr(V, f"Py_Vexo_readReg_{xy}")
        assert write(camera.handle, SENSOR, reg, value) == 0
        rc, got = read(camera.handle, SENSOR, reg)
        assert rc == 0 and got == value

    def test_negative_values_by_kind(self, camera):
        h = camera.handle
        with pytest.raises(OverflowError, match="^can't convert negative value to unsigned int$"):
            V.Py_Vexo_writeReg_16_32(h, 0x36, 0x3000, -1)
        # the int kind hands -1 over as 0xFFFFFFFF; the 16-bit register keeps its low bits
        assert V.Py_Vexo_writeReg_16_16(h, SENSOR, 0x3020, -1) == 0
        assert V.Py_Vexo_readReg_16_16(h, SENSOR, 0x3020) == (0, 0xFFFF)

    def test_failed_read_returns_zero_value(self, camera):
        # No device answers at 0x51: the read fails and the cell stays 0.
        rc, value = V.Py_Vexo_readReg_8_8(camera.handle, 0x51, 1)
        assert rc != 0 and value == 0

    def test_force_read_returns_none(self, camera):
        assert V.Py_Vexo_enableForceRead(camera.handle) is None
        assert V.Py_Vexo_disableForceRead(camera.handle) is None


def user_data(h, address, n):
    rc, view = V.Py_Vexo_readUserData(h, address, n)
    assert rc == 0
    return view.tobytes()


class TestBoardCommands:
    def test_user_data_write_request_on_the_wire(self, camera):
        h = camera.handle
        # 0xF8: user data write, wValue 0x1C00 + address, wIndex length * 256
        assert V.Py_Vexo_setboardConfig(h, 0xF8, 0x1C00 + 16, 4 * 256, 4, [1, 2, 3, 4]) == 0
        assert user_data(h, 16, 4) == b"\x01\x02\x03\x04"
        # command, value and index keep their low 8, 16 and 16 bits
        assert V.Py_Vexo_setboardConfig(h, 0x1F8, 0x11C00 + 20, 0x10200, 2, b"\x09\x08") == 0
        assert user_data(h, 20, 2) == b"\x09\x08"
        rc, view = V.Py_Vexo_getboardConfig(h, 0xF7, 0x1C00 + 16, 4 * 256, 4)
        assert rc == 0 and view.readonly and view.tobytes() == b"\x01\x02\x03\x04"

    def test_no_buffer_cases(self, camera):
        h = camera.handle
        # firmware version request with no buffer at all (size 0): nothing to read into
        assert V.Py_Vexo_setboardConfig(h, 0xA2, 1, 2, 0, None) == 0
        rc, view = V.Py_Vexo_getboardConfig(h, 0x80, 0, 0, 0)
        assert view.readonly and len(view) == 0
        rc, view = V.Py_Vexo_getboardConfig(h, 0x80, 0, 0, 2)
        assert rc == 0 and view.tobytes() == b"\x03\x20"

    def test_bad_data_sends_nothing(self, camera):
        h = camera.handle
        before = user_data(h, 40, 3)
        with pytest.raises(OverflowError, match="^value too large to convert to Uint8$"):
            V.Py_Vexo_setboardConfig(h, 0xF8, 0x1C00 + 40, 3 * 256, 3, [1, 2, 300])
        with pytest.raises(OverflowError, match="^can't convert negative value to size_t$"):
            V.Py_Vexo_getboardConfig(h, 0x41, 0, 0, -5)
        # a bad element is reported before the handle is looked at
        with pytest.raises(OverflowError):
            V.Py_Vexo_setboardConfig(None, 0xF8, 0, 0, 3, [1, 2, -1])
        with pytest.raises(TypeError):
            V.Py_Vexo_writeUserData(h, 40, 3, [1, None, 3])
        assert user_data(h, 40, 3) == before

    def test_size_beyond_the_data_is_refused(self, camera):
        h = camera.handle
        before = user_data(h, 60, 8)
        with pytest.raises(ValueError, match="buffsize"):
            V.Py_Vexo_setboardConfig(h, 0xF8, 0x1C00 + 60, 8 * 256, 8, [1, 2])
        with pytest.raises(ValueError, match="buffsize"):
            V.Py_Vexo_setboardConfig(h, 0xF8, 0x1C00 + 60, 8 * 256, 8, None)
        with pytest.raises(ValueError, match="buffsize"):
            V.Py_Vexo_setboardConfig(h, 0xF8, 0x1C00 + 60, 8 * 256, -1, b"12")
        with pytest.raises(ValueError, match="length"):
            V.Py_Vexo_writeUserData(h, 60, 8, b"1234")
        with pytest.raises(ValueError, match="length"):
            V.Py_Vexo_writeUserData(h, 60, 8, [])
        assert user_data(h, 60, 8) == before
        # fewer bytes than supplied is fine: only that many go out
        assert V.Py_Vexo_writeUserData(h, 60, 2, b"abcdef") == 0
        assert user_data(h, 60, 8) == b"ab" + before[2:]
        # a length whose low 8 bits fit the data is what the board is told
        assert V.Py_Vexo_writeUserData(h, 60, 256 + 3, b"xyz") == 0
        assert user_data(h, 60, 3) == b"xyz"

    def test_a_length_no_request_carries_is_refused_before_its_buffer_is_made(self):
        # A control request carries at most 65535 bytes. Longer reads used to make their
        # buffer first (2**31 - 1 bytes: MemoryError under this address-space limit).
        proc = run_python("""
            import re, resource
            cfg = dict(u32CameraType=0, u32Width=640, u32Height=480, usbType=0,
                       u8PixelBytes=1, u16Vid=0, u32Size=0, u32I2cAddr=0x20, u8PixelBits=8,
                       emI2cMode=3, emImageFmtMode=0, u32TransLvl=0)
            rc, h, _ = VexoSDK.Py_Vexo_open(cfg, 0)
            size = int(re.search(r"VmSize:\\s+(\\d+)", open("/proc/self/status").read())[1])
            resource.setrlimit(resource.RLIMIT_AS, (size * 1024 + (1 << 29),) * 2)
            for n in (65535, 65536, 2**31 - 1):
                rc, view = VexoSDK.Py_Vexo_getboardConfig(h, 0x80, 0, 0, n)
                print(hex(rc), len(view), bytes(view[:2]).hex())
            VexoSDK.Py_Vexo_close(h)
        """, {"boards": [{}]})
        assert proc.returncode == 0, proc.stderr
        assert proc.stdout.split("\n")[:3] == ["0x0 65535 0320", "0xff03 0 ", "0xff03 0 "]


class TestUserData:
    def test_serial_area(self, camera):
        rc, view = V.Py_Vexo_readUserData(camera.handle, 0x3F0, 16)
        assert rc == 0 and view.readonly and len(view) == 16
        assert view.tobytes() == b"VEXO-PY-RAW-0001"

    def test_round_trip_and_limits(self, camera):
        h = camera.handle
        assert V.Py_Vexo_writeUserData(h, 0, 4, bytes([1, 2, 3, 4])) == 0
        assert user_data(h, 0, 4) == b"\x01\x02\x03\x04"
        assert V.Py_Vexo_writeUserData(h, 100, 3, (7, 8, 9)) == 0
        assert user_data(h, 100, 3) == b"\x07\x08\x09"
        assert V.Py_Vexo_writeUserData(h, 1020, 8, bytes(8)) == V.USB_USERDATA_ADDR_ERROR
        assert V.Py_Vexo_writeUserData(h, 0, 33, bytes(33)) == V.USB_USERDATA_LEN_ERROR
        rc, view = V.Py_Vexo_readUserData(h, 0, 33)
        assert rc == V.USB_USERDATA_LEN_ERROR and view.tobytes() == bytes(33)

    def test_read_length_beyond_8_bits(self, camera):
        # The board is told the low 8 bits (4); the view has all 260 bytes, the rest zero.
        rc, view = V.Py_Vexo_readUserData(camera.handle, 0x3F0, 260)
        assert rc == 0 and len(view) == 260
        assert view[:4].tobytes() == b"VEXO" and view[4:].tobytes() == bytes(256)
        rc, view = V.Py_Vexo_readUserData(camera.handle, 0, 0)
        assert len(view) == 0
