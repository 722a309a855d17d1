"""The vexo package with wrong arguments: documented errors, never a loop without end or bytes
the caller did not mean."""
import subprocess
import sys
import textwrap

import numpy as np
import pytest

import vexo
from conftest import BOARD_CONFIGS, MODULE_DIR, RAW_USB3


@pytest.fixture
def cam():
    camera = vexo.open(index=RAW_USB3, config=BOARD_CONFIGS[RAW_USB3])
    yield camera
    camera.close()


def run_isolated(code, seconds=30):
    """Runs @code against one default virtual board in a fresh interpreter; a call that never
    returns fails the test instead of stopping the suite."""
    prelude = (f"import os, sys\nos.environ['VEXO_VIRTUAL_BOARDS'] = '1'\n"
               f"sys.path.insert(0, {str(MODULE_DIR)!r})\nimport vexo\n")
    try:
        return subprocess.run([sys.executable, "-c", prelude + textwrap.dedent(code)],
                              capture_output=True, text=True, timeout=seconds)
    except subprocess.TimeoutExpired:
        pytest.fail(f"no end within {seconds} s:\n{code}")


class TestCallsThatLoopedForEver:
    def test_user_data_lengths_and_addresses_must_be_integers(self):
        # A length of 0.5 asked the board for 0 bytes again and again.
        proc = run_isolated("""
            with vexo.open() as cam:
                for call in (lambda: cam.user_data.read(0, 0.5), lambda: cam.user_data.read(0, 2.5),
                             lambda: cam.user_data.read(1.5, 1), lambda: cam.user_data[2.5],
                             lambda: cam.user_data.write(0.5, b"ab")):
                    try:
                        call()
                        print("returned")
                    except TypeError:
                        print("TypeError")
                print(cam.user_data.read(1008, 4))
        """)
        assert proc.returncode == 0, proc.stderr
        assert proc.stdout.split("\n")[:6] == ["TypeError"] * 5 + ["b'VEXO'"]

    def test_nan_time_outs_are_refused(self):
        # A NaN deadline is never reached: waiting for a frame that never comes went on for ever.
        proc = run_isolated("""
            import math
            with vexo.open() as cam:
                for call in (lambda: cam.read(math.nan), lambda: next(cam.frames(1, math.nan)),
                             lambda: cam.frame(timeout=float("nan"))):
                    try:
                        call()
                        print("returned")
                    except ValueError as e:
                        print("ValueError", e)
                print(cam.frame(1.0).array.shape)
        """)
        assert proc.returncode == 0, proc.stderr
        lines = proc.stdout.strip().split("\n")
        assert lines[:3] == ["ValueError timeout must be a number of seconds, not NaN"] * 3
        assert lines[3] == "(480, 640)"

    def test_time_outs_of_other_types(self, cam):
        for timeout in ("1", None, b"1", [1]):
            with pytest.raises(TypeError):
                cam.read(timeout)
        with pytest.raises(vexo.CameraError, match="USB_CAMERA_USB_TIMEOUT_ERROR"):
            cam.read(0)  # nothing is captured: a zero time-out gives up at once
        assert cam.frame(np.float32(2.0)).array.shape == (480, 640)


class TestBytesArguments:
    """An int for the data made that many zero bytes (bytes(n)) and sent them."""

    def test_int_data_is_refused(self, cam):
        before = cam.user_data[0:8]
        with pytest.raises(TypeError):
            cam.user_data.write(0, 4)
        with pytest.raises(TypeError):
            cam.user_data[0:4] = 4
        with pytest.raises(TypeError):
            cam.user_data.write(0, 2**40)  # before, bytes(2**40) was attempted first
        assert cam.user_data[0:8] == before
        with pytest.raises(TypeError):
            cam.board_command(0xD7, 0x4600, 0x0300, 1)
        with pytest.raises(TypeError):
            cam.board_command(0xD7, 0x4600, 0x0300, "@")

    def test_byte_sequences_still_work(self, cam):
        cam.user_data.write(0, [1, 2, 3])
        cam.user_data[3:5] = bytearray(b"\x04\x05")
        cam.user_data[5:6] = memoryview(b"\x06")
        assert cam.user_data[0:6] == b"\x01\x02\x03\x04\x05\x06"
        with pytest.raises(ValueError):
            cam.user_data.write(0, [1, 300])

    def test_serial_must_be_text(self, cam):
        for value in (None, b"CAM", 5):
            with pytest.raises(TypeError):
                cam.user_data.serial = value
        assert cam.user_data.serial == "VEXO-PY-RAW-0001"


class TestConfigurationText:
    def test_text_of_other_types_is_refused(self):
        for text in (5, None, ["[camera]"], 2.5):
            with pytest.raises(TypeError, match="configuration text must be str or bytes"):
                vexo.parse_config(text)

    def test_bytes_like_text(self):
        text = vexo.config.DEFAULT_TEXT.encode()
        for data in (bytearray(text), memoryview(text)):
            assert vexo.parse_config(data).to_dict() == vexo.default_config().to_dict()


class TestConversions:
    FUNCTIONS = [lambda a: vexo.convert.debayer(a), lambda a: vexo.convert.to_8bit(a, 10),
                 vexo.convert.grey_to_rgb, vexo.convert.rgb565_to_rgb, vexo.convert.yuyv_to_rgb]

    @pytest.mark.parametrize("fn", FUNCTIONS)
    def test_non_numbers_are_refused(self, fn):
        for value in ("gain", None, object(), np.array(["a", "b"])):
            with pytest.raises(TypeError, match="array of numbers"):
                fn(value)

    def test_nested_lists_are_arrays(self):
        assert vexo.convert.rgb565_to_rgb([[0xF800, 0x07E0]]).tolist() == \
            [[[255, 0, 0], [0, 255, 0]]]
        assert vexo.convert.yuyv_to_rgb([[[235, 128], [16, 128]]]).tolist() == \
            [[[255, 255, 255], [0, 0, 0]]]



class TestFramesOverOtherBuffers:
    INFO = {"u32Width": 4, "u32Height": 2, "emImageFmtMode": 0, "u8PixelBytes": 1,
            "u8PixelBits": 8, "u32Size": 8}

    def test_strided_data_is_refused(self):
        # Before, the frame was made and its array raised BufferError.
        with pytest.raises(ValueError, match="contiguous"):
            vexo.Frame(memoryview(bytes(range(16)))[::2], self.INFO)

    def test_data_of_other_item_formats_is_taken_as_bytes(self):
        words = np.arange(4, dtype="<u2")
        frame = vexo.Frame(memoryview(words), self.INFO)
        assert len(frame.data) == 8 and frame.array.shape == (2, 4)
        assert frame.array.tobytes() == words.tobytes()
        frame = vexo.Frame(memoryview(bytes(range(8))).cast("B", (2, 4)), self.INFO)
        assert frame.array.tolist() == [[0, 1, 2, 3], [4, 5, 6, 7]]

    def test_frames_over_writable_memory_are_read_only(self):
        # Before, a frame made over a bytearray had a writable data view and array.
        memory = bytearray(range(8))
        frame = vexo.Frame(memory, self.INFO)
        assert frame.data.readonly and not frame.array.flags.writeable
        with pytest.raises(ValueError):
            frame.array[0, 0] = 9
        memory[0] = 7  # still no copy: the owner's changes show
        assert frame.array[0, 0] == 7
