"""The vexo package against the virtual boards of conftest.py: open, frames, registers, user
data, errors and threads."""
import threading

import numpy as np
import pytest

import VexoSDK as V
import vexo
from conftest import (BOARD_CONFIGS, BOARDS, JPG_USB3, MON_TRAILER, NOT_A_BOARD, RAW_USB3, ROOT,
                      USB2_TRIG, YUV_USB3, run_python)

# Colour bars of the test picture, left to right.
BARS = [(1, 1, 1), (1, 1, 0), (0, 1, 1), (0, 1, 0), (1, 0, 1), (1, 0, 0), (0, 0, 1), (0, 0, 0)]


def assert_bars(rgb):
    """The eight colour bars: the median of the middle of each bar, between the frame number
    at the top and the grey ramp at the bottom, so that the bouncing marker cannot sway it."""
    h, w = rgb.shape[:2]
    for i, expected in enumerate(BARS):
        x, half = (2 * i + 1) * w // 16, max(1, w // 32)
        pixel = np.median(rgb[h // 4:h * 3 // 4, x - half:x + half].reshape(-1, 3), axis=0)
        assert tuple(int(v > 128) for v in pixel) == expected, (i, pixel)
        assert all(v > 200 or v < 40 for v in pixel), (i, pixel)


@pytest.fixture
def cams():
    """Opens cameras with vexo.open(...) and closes them after the test."""
    opened = []

    def opener(index=RAW_USB3, **kw):
        kw.setdefault("config", BOARD_CONFIGS[index] if "serial" not in kw else None)
        cam = vexo.open(index=index if "serial" not in kw else None, **kw)
        opened.append(cam)
        return cam
    yield opener
    for cam in opened:
        cam.close()


class TestErrors:
    def test_table_names_every_status_constant_of_the_module(self):
        constants = {getattr(V, n): n for n in dir(V)
                     if n.startswith(("USB_CAMERA_", "USB_USERDATA_", "USB_BOARD_"))}
        table = vexo.errors.STATUS
        assert len(table) == 23 and list(table) == sorted(table)
        assert {code: name for code, (name, _) in table.items()} == constants
        assert all(hint for _, hint in table.values())

    def test_camera_error_names_the_code(self):
        e = vexo.CameraError(V.USB_CAMERA_DATA_LEN_ERROR, "capture")
        assert (e.code, e.name) == (0xFF24, "USB_CAMERA_DATA_LEN_ERROR")
        assert str(e).startswith("capture: USB_CAMERA_DATA_LEN_ERROR (0xFF24): a frame's byte")
        assert e.hint in str(e)
        odd = vexo.CameraError(0xFF99)
        assert odd.name == "0xFF99" and odd.hint == "" and str(odd) == "0xFF99 (0xFF99)"
        assert vexo.errors.check(5) == 5
        with pytest.raises(vexo.CameraError, match="USB_CAMERA_USB_TIMEOUT_ERROR"):
            vexo.errors.check(0xFF26)


class TestOpen:
    def test_scan_lists_every_board_with_its_serial(self):
        boards = vexo.scan()  # the device of another vendor is not a board
        expected = [i for i in range(len(BOARDS["boards"])) if i != NOT_A_BOARD]
        assert [b.index for b in boards] == expected
        assert [b.serial for b in boards] == [BOARDS["boards"][i]["serial"] for i in expected]

    def test_open_by_serial_and_first_board(self, cams):
        cam = cams(serial="VEXO-PY-MON-0006", config=BOARD_CONFIGS[MON_TRAILER])
        assert cam.index == MON_TRAILER and cam.serial == "VEXO-PY-MON-0006"
        frame = cam.frame()
        assert frame.array.shape == (120, 160)
        cam.close()
        first = vexo.open(config=BOARD_CONFIGS[RAW_USB3])
        with first:
            assert first.index == RAW_USB3 and first.serial == "VEXO-PY-RAW-0001"
        assert first.closed

    def test_open_failures_raise_named_errors(self):
        with pytest.raises(vexo.CameraError) as e:
            vexo.open(serial="NO-SUCH-SERIAL")
        assert e.value.name == "USB_CAMERA_USB_CREATE_ERROR"
        assert "VEXO-PY-RAW-0001" in str(e.value)  # the serials found are listed
        with pytest.raises(vexo.CameraError) as e:
            vexo.open(NOT_A_BOARD)
        assert e.value.name == "USB_CAMERA_USB_VERSION_ERROR"
        with pytest.raises(vexo.CameraError, match="USB_CAMERA_USB_CREATE_ERROR"):
            vexo.open(77)
        with pytest.raises(ValueError):
            vexo.open(0, serial="VEXO-PY-RAW-0001")
        # the board is free again after each failure
        with vexo.open(RAW_USB3, config=BOARD_CONFIGS[RAW_USB3]) as cam:
            assert cam.frame().width == 640

    def test_config_file_runs_its_start_up_steps(self, cams, tmp_path):
        path = tmp_path / "cam.cfg"
        path.write_text((ROOT / "examples/configs/virtual-default.cfg").read_text()
                        + "[board]\n0xD7 0x4600 0x0400 0x5A   # controller scratch register\n")
        cam = cams(RAW_USB3, config=str(path))
        assert cam.config.i2c_mode == vexo.I2cMode.M16_8
        assert V.Py_Vexo_readReg_16_8(cam.handle, 0x20, 0x3012) == (0, 0x40)
        assert V.Py_Vexo_readReg_16_8(cam.handle, 0x20, 0x3013) == (0, 0x02)
        assert cam.i2c(0x46)[4] == 0x5A
        assert_bars(cam.frame().to_rgb())

    def test_config_dict_fills_left_out_keys(self, cams):
        cam = cams(USB2_TRIG, config={"u32Width": 320, "u32Height": 240, "bayer": vexo.Bayer.RG})
        assert cam.info["u32Width"] == 320 and cam.info["emI2cMode"] == vexo.I2cMode.M16_8
        assert cam.info["usbType"] == 2
        with pytest.raises(KeyError, match="u32Widht"):
            vexo.open(USB2_TRIG, config={"u32Widht": 320})

    def test_close_ends_capture_and_is_idempotent(self, cams):
        cam = cams()
        handle = cam.handle
        frames = cam.frames()
        next(frames)
        assert cam.capturing
        cam.close()
        cam.close()
        assert cam.closed and not cam.capturing
        with pytest.raises(ValueError):
            cam.handle
        with pytest.raises(ValueError):  # the module refuses the closed handle
            V.Py_Vexo_availableImage(handle)


class TestFrames:
    def test_frames_are_views_in_order(self, cams):
        cam = cams()
        seen = []
        for frame in cam.frames(5):
            a = frame.array
            assert a.shape == (480, 640) and a.dtype == np.uint8 and not a.flags.writeable
            assert np.shares_memory(a, np.frombuffer(frame.data, np.uint8))
            assert frame.size == 640 * 480 and frame.format == vexo.Format.RAW
            assert f"{frame.format} {frame.bayer}" == "RAW RG"  # names, not numbers
            seen.append((frame.timestamp, frame))
        times = [t for t, _ in seen]
        assert times == sorted(times) and len(set(times)) == 5
        # each frame went back to the camera when the next was asked for
        assert all(f.released for _, f in seen)
        assert not cam.capturing

    def test_leaving_early_ends_capture(self, cams):
        cam = cams()
        with pytest.raises(RuntimeError):
            for frame in cam.frames():
                kept = frame.copy()
                raise RuntimeError("the consumer stops")
        assert not cam.capturing and frame.released
        assert cam.available == 0
        # capture really ended: the module reports it is not running
        assert V.Py_Vexo_captureImage(cam.handle) == V.USB_CAMERA_USB_TASK_ERROR
        assert kept.released and kept.array.shape == (480, 640)
        assert_bars(kept.to_rgb())

    def test_frames_inside_a_running_capture_leave_it_running(self, cams):
        cam = cams()
        cam.start()
        assert len(list(cam.frames(2))) == 2
        assert cam.capturing
        cam.stop()
        assert not cam.capturing and cam.available == 0

    @pytest.mark.parametrize("index,shape,dtype", [
        (USB2_TRIG, (240, 320), np.uint8),
        (MON_TRAILER, (120, 160), np.uint8),
        (YUV_USB3, (48, 64, 2), np.uint8),
    ])
    def test_shapes_and_colours_per_format(self, cams, index, shape, dtype):
        cam = cams(index)
        frame = cam.frame()
        assert frame.array.shape == shape and frame.array.dtype == dtype
        rgb = frame.to_rgb()
        assert rgb.shape == shape[:2] + (3,) and rgb.dtype == np.uint8
        h = shape[0]
        if frame.format == vexo.Format.MON:
            grey = [int(np.median(rgb[h // 4:h * 3 // 4, (2 * i + 1) * shape[1] // 16, 0]))
                    for i in range(8)]
            assert grey[0] == 255 and grey[7] == 0 and grey == sorted(grey, reverse=True)
            assert (rgb[..., 0] == rgb[..., 2]).all()
        else:
            assert_bars(rgb)

    def test_jpeg_frames(self, cams):
        frame = cams(JPG_USB3).frame()
        a = frame.array
        assert a.ndim == 1 and len(a) == frame.size
        assert bytes(a[:2]) == b"\xff\xd8" and bytes(a[-2:]) == b"\xff\xd9"
        with pytest.raises(ValueError, match="JPG"):
            frame.to_rgb()

    def test_reader_thread_beside_capture_thread(self, cams):
        cam = cams()
        stop = threading.Event()
        errors, seen, controller = [], [], []

        def capture():
            try:
                while not stop.is_set():
                    try:
                        cam.capture()
                    except vexo.CameraError as e:
                        if e.code != V.USB_CAMERA_USB_TIMEOUT_ERROR:
                            raise
            except Exception as e:  # noqa: BLE001 - reported below
                errors.append(e)

        def registers():  # serialised with capture by the camera
            try:
                while not stop.is_set():
                    controller.append(cam.i2c(0x46)[5])
            except Exception as e:  # noqa: BLE001
                errors.append(e)

        threads = [threading.Thread(target=capture), threading.Thread(target=registers)]
        cam.start()
        for t in threads:
            t.start()
        try:
            for frame in cam.frames(30, timeout=10, capture=False):
                seen.append((frame.timestamp, int(np.median(frame.array[120:360, 5:35]))))
        finally:
            stop.set()
            for t in threads:
                t.join(30)
        assert errors == [] and not any(t.is_alive() for t in threads)
        times = [t for t, _ in seen]
        assert len(seen) == 30 and times == sorted(times) and len(set(times)) == 30
        assert all(v == 255 for _, v in seen)  # inside the white bar
        assert controller and set(controller) == {21}

    def test_read_lends_until_the_next_read(self, cams):
        cam = cams()
        with pytest.raises(vexo.CameraError, match="USB_CAMERA_USB_TASK_ERROR"):
            cam.capture()  # capture was not started
        cam.start()
        while cam.available < 2:
            cam.capture()
        first = cam.read()
        n = cam.available
        second = cam.read()
        assert first.released and not second.released
        assert cam.available == n - 1 and second.timestamp > first.timestamp
        with pytest.raises(vexo.CameraError, match="USB_CAMERA_USB_TIMEOUT_ERROR"):
            cam.stop()
            cam.read(timeout=0.05)

    def test_trigger_modes(self, cams):
        cam = cams(USB2_TRIG)
        cam.set_mode(vexo.TriggerMode.EXTERNAL)
        try:
            cam.start()
            cam.soft_trigger()
            assert next(cam.frames(1)).width == 320
        finally:
            cam.set_mode(vexo.TriggerMode.CONTINUOUS)
        with pytest.raises(vexo.CameraError) as e:
            cams(RAW_USB3).set_mode(vexo.TriggerMode.EXTERNAL)
        assert e.value.name == "USB_BOARD_FW_VERSION_NOT_SUPPORT_ERROR"


def test_formats_of_other_boards_and_a_stalled_stream():
    """RGB565, 10-bit RAW, MON_D and a stream that never starts, on boards of their own."""
    boards = {"boards": [
        {"stream": {"width": 64, "height": 48, "format": "RGB"}},
        {"stream": {"width": 64, "height": 48, "pixelBytes": 2, "format": "RAW",
                    "bayer": "GBRG"}},
        {"stream": {"width": 64, "height": 48, "format": "MON_D"}},
        {"faults": [{"kind": "stall", "atFrame": 0}]},
    ]}
    proc = run_python("""
        import numpy as np, vexo
        def bars(rgb):  # the middle rows of each bar: the marker covers 4 x 4 pixels
            return [tuple(int(v > 128) for v in np.median(rgb[12:36, 8 * i + 3], axis=0))
                    for i in range(8)]
        def cfg(fmt, pb=1, **kw):
            return dict(dict(u32Width=64, u32Height=48, u8PixelBytes=pb, u8PixelBits=8 * pb,
                             emImageFmtMode=fmt), **kw)
        with vexo.open(0, config=cfg(vexo.Format.RGB)) as cam:
            f = cam.frame()
            print(f.array.shape, f.array.dtype.str, bars(f.to_rgb()))
        with vexo.open(1, config=cfg(vexo.Format.RAW, 2, u8PixelBits=10, bayer=vexo.Bayer.GB)) as cam:
            f = cam.frame()
            print(f.array.shape, f.array.dtype.str, int(f.array.max()), bars(f.to_rgb()))
        with vexo.open(2, config=cfg(vexo.Format.MON_D)) as cam:
            a = cam.frame().array
            print(a.shape, bool((a[:48].astype(int) + a[48:] == 255).all()))
        with vexo.open(3) as cam:
            try:
                for f in cam.frames(1, timeout=0.5):
                    print("frame")
            except vexo.CameraError as e:
                print(e.name, cam.capturing)
    """, boards)
    assert proc.returncode == 0, proc.stderr
    rgb, raw10, mon_d, stalled = proc.stdout.strip().split("\n")
    bars = str(BARS).replace(" ", "")
    assert rgb.replace(" ", "") == f"(48,64)<u2{bars}"
    assert raw10.replace(" ", "") == f"(48,64)<u21023{bars}"
    assert mon_d == "(96, 64) True"
    assert stalled == "USB_CAMERA_USB_TIMEOUT_ERROR False"


class TestRegistersAndUserData:
    def test_sensor_registers_with_the_configured_widths(self, cams):
        cam = cams()  # 16_16, as conftest configures it
        regs = cam.registers
        regs[0x3040] = 0xBEEF
        assert regs[0x3040] == 0xBEEF
        assert V.Py_Vexo_readReg_16_16(cam.handle, 0x20, 0x3040) == (0, 0xBEEF)
        with pytest.raises(ValueError, match="16 bits"):
            regs[0x3040] = 0x10000
        with pytest.raises(IndexError):
            regs[0x10000]
        wide = cam.i2c(0x20, "16_32")
        wide[0x3042] = 0xDEADBEEF
        assert wide[0x3042] == 0xDEADBEEF

    def test_other_devices_and_failures(self, cams):
        cam = cams()
        assert [cam.i2c(0x46)[r] for r in (5, 6, 7)] == [21, 6, 6]
        rc, _ = V.Py_Vexo_readReg_8_8(cam.handle, 0x51, 1)
        with pytest.raises(vexo.CameraError) as e:
            cam.i2c(0x51)[1]  # nothing answers at 0x51
        assert e.value.code == rc != 0 and "0x51" in str(e.value)

    def test_user_data_in_pieces(self, cams):
        cam = cams()
        ud = cam.user_data
        payload = bytes(range(7, 7 + 70))  # three requests of at most 32 bytes
        ud[200:270] = payload
        assert ud[200:270] == payload == ud.read(200, 70)
        assert V.Py_Vexo_readUserData(cam.handle, 232, 32)[1].tobytes() == payload[32:64]
        ud[300] = 0xAB
        assert ud[300] == 0xAB and len(ud) == 1024
        with pytest.raises(IndexError):
            ud.read(1000, 30)
        with pytest.raises(ValueError):
            ud[0:4] = b"12"

    def test_serial_text(self, cams):
        cam = cams()
        ud = cam.user_data
        assert ud.serial == cam.serial == "VEXO-PY-RAW-0001"
        try:
            ud.serial = "RENAMED"
            assert ud[1008:1024] == b"RENAMED" + bytes(9)
            assert [b.serial for b in vexo.scan()][RAW_USB3] == "RENAMED"
        finally:
            ud.serial = "VEXO-PY-RAW-0001"
        with pytest.raises(ValueError):
            ud.serial = "X" * 17
