"""Frame.save: the C++ frame writers of vexo record, checked with programs no one here wrote
(dcraw for DNG) and byte for byte for raw files."""
import re
import shutil
import subprocess

import numpy as np
import pytest

import vexo
from conftest import BOARD_CONFIGS, RAW_USB3
from vexo.enums import Bayer, Format

if not hasattr(vexo._native, "save_frame"):
    pytest.skip("built without libtiff (no frame writers)", allow_module_level=True)


def frame_of(array, fmt, bits, bayer=Bayer.RG, time=0x01DB0000_00000000):
    """A Frame over the bytes of a (height, width) uint8 or little-endian uint16 array."""
    data = np.ascontiguousarray(array).tobytes()
    h, w = array.shape
    info = {"u32Width": w, "u32Height": h, "emImageFmtMode": int(fmt),
            "u8PixelBytes": array.dtype.itemsize, "u8PixelBits": bits, "u32Size": len(data),
            "u64Time": time}
    return vexo.Frame(data, info, bayer)


def dcraw_mosaic(path):
    """The raw mosaic as dcraw decodes it (-D -4: document mode, 16-bit PGM)."""
    pgm = subprocess.run(["dcraw", "-D", "-4", "-c", str(path)], check=True,
                         capture_output=True).stdout
    magic, size, _max, data = pgm.split(b"\n", 3)  # dcraw writes "P5\nW H\nMAX\n"
    assert magic == b"P5"
    w, h = size.split()
    return np.frombuffer(data, ">u2").reshape(int(h), int(w))


@pytest.mark.skipif(shutil.which("dcraw") is None, reason="dcraw is not installed")
@pytest.mark.parametrize("bits,bayer,pattern", [(8, Bayer.RG, "RG/GB"), (10, Bayer.GR, "GR/BG"),
                                                (12, Bayer.BG, "BG/GR")])
def test_dng_decodes_in_dcraw_to_the_frame_values(tmp_path, bits, bayer, pattern):
    rng = np.random.default_rng(bits)
    dtype = np.uint8 if bits == 8 else "<u2"
    mosaic = rng.integers(0, 1 << bits, size=(40, 64)).astype(dtype)
    path = tmp_path / "f.dng"
    frame_of(mosaic, Format.RAW, bits, bayer).save(path, number=7)
    info = subprocess.run(["dcraw", "-i", "-v", str(path)], check=True, capture_output=True,
                          text=True).stdout
    assert re.search(r"Image size: +64 x 40", info) and f"Filter pattern: {pattern}" in info, info
    assert np.array_equal(dcraw_mosaic(path), mosaic)


def test_raw_png_and_refusals(tmp_path):
    words = (np.arange(48 * 32, dtype="<u2") % 1024).reshape(32, 48)
    mon = frame_of(words, Format.MON, 10)
    mon.save(tmp_path / "m.raw")
    assert (tmp_path / "m.raw").read_bytes() == bytes(mon.data)
    mon.save(tmp_path / "m.png")
    png = (tmp_path / "m.png").read_bytes()
    assert png[:8] == b"\x89PNG\r\n\x1a\n" and png[24] == 16  # 16-bit depth in IHDR
    assert b"sBIT\x0a" in png  # ten significant bits

    with pytest.raises(OSError, match="unknown extension"):
        mon.save(tmp_path / "m.bmp")
    with pytest.raises(OSError, match="DNG holds whole RAW frames only"):
        mon.save(tmp_path / "m.dng")
    with pytest.raises(OSError, match=r"\.jpg holds JPG frames only"):
        mon.save(tmp_path / "m.jpg")
    short = vexo.Frame(bytes(mon.data)[:-2], dict(mon.info, u32Size=len(mon.data) - 2))
    with pytest.raises(OSError, match="PNG holds whole MON frames only"):
        short.save(tmp_path / "s.png")
    short.save(tmp_path / "s.raw")  # a short frame is still kept whole as raw bytes
    assert (tmp_path / "s.raw").stat().st_size == len(mon.data) - 2
    with pytest.raises(OSError, match="nodir"):
        mon.save(tmp_path / "nodir" / "m.png")


@pytest.mark.skipif(shutil.which("dcraw") is None, reason="dcraw is not installed")
def test_a_captured_frame_saves_as_the_board_sent_it(tmp_path):
    with vexo.open(index=RAW_USB3, config=BOARD_CONFIGS[RAW_USB3]) as cam:
        frame = next(iter(cam.frames()))
        with frame:
            frame.save(tmp_path / "c.dng")
            mosaic = frame.array.copy()
    assert np.array_equal(dcraw_mosaic(tmp_path / "c.dng"), mosaic)
