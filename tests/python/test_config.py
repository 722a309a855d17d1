"""Configuration dicts, open/autoopen/close and scan."""
import collections.abc

import pytest

import VexoSDK as V
from conftest import (BOARDS, JPG_USB3, NOT_A_BOARD, RAW_USB3, USB2_TRIG, Camera, config,
                      run_python)

RETURNED_ORDER = ["u32CameraType", "u32Width", "u32Height", "usbType", "u8PixelBytes", "u16Vid",
                  "u32Size", "u8PixelBits", "u32I2cAddr", "emI2cMode", "emImageFmtMode",
                  "u32TransLvl"]


class Recorder(collections.abc.Mapping):
    """A mapping that is not a dict and records the keys read."""

    def __init__(self, data):
        self.data = dict(data)
        self.reads = []

    def __getitem__(self, key):
        self.reads.append(key)
        return self.data[key]

    def __iter__(self):
        return iter(self.data)

    def __len__(self):
        return len(self.data)


class TestReadingConfig:
    def test_keys_are_read_in_fixed_order_from_any_mapping(self, open_camera):
        cfg = Recorder(config())
        cam = open_camera(RAW_USB3, cfg)
        assert cfg.reads == ["u32CameraType", "u32Width", "u32Height", "usbType",
                             "u8PixelBytes", "u16Vid", "u32Size", "u32I2cAddr", "u8PixelBits",
                             "emI2cMode", "emImageFmtMode", "u32TransLvl"]
        assert list(cam.opened) == RETURNED_ORDER

    def test_missing_key_raises_after_the_others_were_converted(self):
        cfg = config()
        del cfg["u32TransLvl"]
        cfg["u8PixelBits"] = 300
        with pytest.raises(OverflowError, match="^value too large to convert to Uint8$"):
            V.Py_Vexo_open(cfg, 0)
        cfg["u8PixelBits"] = 8
        with pytest.raises(KeyError) as info:
            V.Py_Vexo_open(cfg, 0)
        assert info.value.args == ("u32TransLvl",)
        # a non-dict mapping reports its own error
        with pytest.raises(KeyError):
            V.Py_Vexo_open(Recorder(cfg), 0)

    @pytest.mark.parametrize("key,value,text", [
        ("usbType", 256, "value too large to convert to Uint8"),
        ("u16Vid", 70000, "value too large to convert to Uint16"),
        ("u32Width", -1, "can't convert negative value to Uint32"),
        ("u32Size", 2**32, None),
        ("emImageFmtMode", 2**31, None),
    ])
    def test_value_errors(self, key, value, text):
        with pytest.raises(OverflowError) as info:
            V.Py_Vexo_open(config(**{key: value}), 0)
        if text:
            assert str(info.value) == text

    def test_usbidx_is_converted_before_the_dict(self):
        with pytest.raises(TypeError, match="an integer is required"):
            V.Py_Vexo_open({}, "0")


class TestOpen:
    def test_open_writes_back_usb_type_only(self, open_camera):
        cfg = config(u32CameraType=77, u16Vid=0xBEEF, u8PixelBits=10, u32Size=123, usbType=0,
                     emI2cMode=-5)
        cam = open_camera(RAW_USB3, cfg)
        expected = dict(cfg, usbType=V.USB_3)
        assert cam.opened == {k: expected[k] for k in RETURNED_ORDER}
        assert cfg["usbType"] == 0  # the caller's dict is not touched
        usb2 = open_camera(USB2_TRIG)
        assert usb2.opened["usbType"] == V.USB_2

    def test_failed_opens_still_hand_out_a_handle(self):
        cases = [
            (lambda: V.Py_Vexo_open(config(), 200), V.USB_CAMERA_USB_CREATE_ERROR),
            (lambda: V.Py_Vexo_open(config(), NOT_A_BOARD), V.USB_CAMERA_USB_VERSION_ERROR),
            (lambda: V.Py_Vexo_open(config(u32Width=0), 0), V.USB_CAMERA_SIZE_EXCEED_ERROR),
            (lambda: V.Py_Vexo_open(config(u32Width=16385), 0), V.USB_CAMERA_SIZE_EXCEED_ERROR),
            (lambda: V.Py_Vexo_open(config(u8PixelBytes=3), 0), V.USB_CAMERA_SIZE_EXCEED_ERROR),
            (lambda: V.Py_Vexo_autoopen(config(u32Width=0)), V.USB_CAMERA_USB_CREATE_ERROR),
        ]
        for call, code in cases:
            rc, handle, cfg = call()
            assert rc == code
            assert type(handle).__name__ == "PyCapsule"
            assert list(cfg) == RETURNED_ORDER
            # nothing was captured on a failed handle: the queue is empty
            assert V.Py_Vexo_close(handle) == 0

    def test_largest_accepted_size(self, open_camera):
        cam = open_camera(RAW_USB3, config(16384, 1, 2))
        assert cam.rc == 0

    def test_index_256_opens_device_0(self, open_camera):
        cam = open_camera(256, config())
        assert V.Py_Vexo_readUserData(cam.handle, 1008, 16)[1].tobytes() == b"VEXO-PY-RAW-0001"

    def test_autoopen_takes_the_first_board(self, open_camera):
        rc, handle, cfg = V.Py_Vexo_autoopen(config())
        try:
            assert rc == 0 and cfg["usbType"] == V.USB_3
            assert V.Py_Vexo_readUserData(handle, 1008, 16)[1].tobytes() == b"VEXO-PY-RAW-0001"
        finally:
            assert V.Py_Vexo_close(handle) == 0

    def test_get_sensor_cfg_reports_the_applied_config(self, open_camera):
        cam = open_camera(JPG_USB3, config(320, 240, 1, "JPG", u32Size=999, u32I2cAddr=0x30))
        rc, cfg = V.Py_Vexo_getSensorCfg(cam.handle)
        assert rc == 0
        assert list(cfg) == RETURNED_ORDER
        assert cfg["u32Size"] == 0 and cfg["u32I2cAddr"] == 0x30
        assert cfg["u32Width"] == 320 and cfg["emImageFmtMode"] == V.FORMAT_MODE_JPG

    def test_set_cam_cfg(self, camera):
        assert V.Py_Vexo_setCamCfg(camera.handle, config(u32Width=0)) == V.USB_CAMERA_SIZE_EXCEED_ERROR
        assert V.Py_Vexo_setCamCfg(camera.handle, config(u32Height=240)) == 0
        assert V.Py_Vexo_getSensorCfg(camera.handle)[1]["u32Height"] == 240
        with pytest.raises(KeyError):
            V.Py_Vexo_setCamCfg(camera.handle, {})


class TestScan:
    def test_scan_lists_boards_with_their_serials(self):
        count, indexes, serials = V.Py_Vexo_scan()
        boards = [(i, b) for i, b in enumerate(BOARDS["boards"]) if b.get("vendorId", 0x52CB) == 0x52CB]
        assert count == len(boards)
        assert type(indexes) is list and type(serials) is list
        assert indexes == [i for i, _ in boards]
        for view, (_, board) in zip(serials, boards):
            assert view.readonly and len(view) == 16
            assert view.tobytes() == board["serial"].encode().ljust(16, b"\0")

    def test_serials_own_their_bytes(self, camera):
        _, _, serials = V.Py_Vexo_scan()
        before = [s.tobytes() for s in serials]
        V.Py_Vexo_writeUserData(camera.handle, 1008, 4, b"XXXX")
        V.Py_Vexo_scan()
        V.Py_Vexo_writeUserData(camera.handle, 1008, 4, before[0][:4])
        assert [s.tobytes() for s in serials] == before
        assert isinstance(serials[0].obj, bytes)

    def test_no_device_at_all(self):
        proc = run_python("""
            print(VexoSDK.Py_Vexo_scan())
            rc, h, cfg = VexoSDK.Py_Vexo_autoopen(dict(u32CameraType=0, u32Width=640,
                u32Height=480, usbType=0, u8PixelBytes=1, u16Vid=0, u32Size=0, u32I2cAddr=0x20,
                u8PixelBits=8, emI2cMode=0, emImageFmtMode=0, u32TransLvl=0))
            print(hex(rc), type(h).__name__, VexoSDK.Py_Vexo_close(h))
        """, boards=None)
        assert proc.returncode == 0, proc.stderr
        assert proc.stdout.split("\n")[:2] == ["(0, [], [])", "0xff01 PyCapsule 0"]
