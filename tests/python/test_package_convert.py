"""Frame conversions of vexo on synthetic pictures whose colours are known exactly, and the
same frame shown alike by Frame.to_rgb and the vexo tool."""
import json
import os
import shutil
import subprocess

import numpy as np
import pytest

import vexo
from conftest import BUILD
from vexo import convert

COLOUR = (200, 100, 50)
SITES = {vexo.Bayer.RG: "RGGB", vexo.Bayer.GR: "GRBG", vexo.Bayer.GB: "GBRG",
         vexo.Bayer.BG: "BGGR"}


def mosaic(order, h=6, w=8, colour=COLOUR):
    """A uniform picture sampled in the given 2x2 order (string like "RGGB")."""
    value = dict(zip("RGB", colour))
    out = np.empty((h, w), np.uint8)
    for dy in range(2):
        for dx in range(2):
            out[dy::2, dx::2] = value[order[2 * dy + dx]]
    return out


class TestDebayer:
    @pytest.mark.parametrize("bayer", list(SITES))
    def test_every_order_gives_the_colour_everywhere(self, bayer):
        rgb = convert.debayer(mosaic(SITES[bayer]), bayer)
        assert rgb.shape == (6, 8, 3)
        assert (rgb == COLOUR).all()  # borders included

    def test_the_order_matters(self):
        rgb = convert.debayer(mosaic("BGGR"), vexo.Bayer.RG)
        assert (rgb[2:4, 2:4] == COLOUR[::-1]).all()  # red and blue swapped

    def test_missing_colours_are_rounded_means_as_in_the_tool(self):
        rgb = convert.debayer([[0, 10], [11, 0]], vexo.Bayer.RG)
        assert rgb[0, 0].tolist() == [0, 11, 0]  # green at red: (10 + 11 + 1) // 2

    def test_edges_are_interpolated(self):
        # left half white, right half black: the edge is one pixel of blend, no ringing
        img = np.zeros((4, 8), np.uint8)
        img[:, :4] = 255
        rgb = convert.debayer(img, vexo.Bayer.RG)
        assert (rgb[:, :3] == 255).all() and (rgb[:, 5:] == 0).all()
        assert rgb.min() >= 0 and rgb.max() <= 255


class TestOtherFormats:
    def test_rgb565(self):
        words = np.array([[0xF800, 0x07E0, 0x001F, 0xFFFF, 0x0000, 0x8410, 0x18E3]], "<u2")
        assert convert.rgb565_to_rgb(words).tolist() == [[
            [255, 0, 0], [0, 255, 0], [0, 0, 255], [255, 255, 255], [0, 0, 0], [132, 130, 132],
            [24, 28, 24]]]  # top bits repeated below: 3 -> 0b00011_000

    def test_yuyv_bt601_studio_range(self):
        # white, black, then a red pair (Y 81, U 90, V 240), then a lone last pixel
        row = np.array([[235, 128], [235, 128], [16, 128], [16, 128],
                        [81, 90], [81, 240], [126, 60]], np.uint8)
        rgb = convert.yuyv_to_rgb(row[None])
        assert rgb[0, 0].tolist() == rgb[0, 1].tolist() == [255, 255, 255]
        assert rgb[0, 2].tolist() == [0, 0, 0]
        assert rgb[0, 4].tolist() == rgb[0, 5].tolist() == [255, 0, 0]  # the pair shares U, V
        assert rgb[0, 6].tolist() == [128, 155, 0]  # U 60 and a neutral V

    def test_samples_scaled_to_8_bits(self):
        ten = np.array([0, 3, 4, 1023, 0xFC00 | 1023, 1024], "<u2")
        # rounded; values above 10 bits are full scale
        assert convert.to_8bit(ten, 10).tolist() == [0, 1, 1, 255, 255, 255]
        assert convert.to_8bit(np.array([0, 15], "<u2"), 4).tolist() == [0, 255]
        eight = np.arange(5, dtype=np.uint8)
        assert convert.to_8bit(eight, 8) is eight


def frame_info(fmt, w=4, h=2, pb=1, size=None):
    return {"u32Width": w, "u32Height": h, "emImageFmtMode": int(fmt), "u8PixelBytes": pb,
            "u8PixelBits": 8 * pb, "u32Size": size if size is not None else w * h * pb}


class TestFrameArrays:
    def test_arrays_share_the_frame_memory(self):
        raw = bytearray(range(8)) * 2
        frame = vexo.Frame(memoryview(raw), frame_info(vexo.Format.RAW, pb=2))
        a = frame.array
        assert a.shape == (2, 4) and a.dtype == np.dtype("<u2")
        raw[0:2] = b"\x34\x12"
        assert a[0, 0] == 0x1234  # no copy
        copy = frame.copy()
        raw[0:2] = b"\x00\x00"
        assert copy.array[0, 0] == 0x1234 and a[0, 0] == 0

    def test_a_short_buffer_is_refused(self):
        frame = vexo.Frame(bytes(7), frame_info(vexo.Format.RAW))
        with pytest.raises(ValueError, match="needs 8"):
            frame.array

    def test_release_runs_once(self):
        calls = []
        with vexo.Frame(bytes(8), frame_info(vexo.Format.MON),
                        release=lambda: calls.append(1)) as frame:
            assert not frame.released
        frame.release()
        assert calls == [1] and frame.released


TOOL = BUILD / "tools" / "vexo"
PATTERN = {"RG": "RGGB", "GR": "GRBG", "GB": "GBRG", "BG": "BGGR"}


def png_samples(path, wide):
    """The PNG's samples as decoded by GStreamer's pngdec (libpng): uint8, or 16-bit values."""
    raw = path.with_suffix(".rgb")
    subprocess.run(["gst-launch-1.0", "-q", "filesrc", f"location={path}", "!", "pngdec", "!",
                    "filesink", f"location={raw}"], check=True, capture_output=True, timeout=60)
    return np.frombuffer(raw.read_bytes(), ">u2" if wide else np.uint8)


@pytest.mark.skipif(not TOOL.exists() or shutil.which("gst-launch-1.0") is None,
                    reason="needs the vexo tool and gst-launch-1.0")
@pytest.mark.parametrize("fmt,pb,bits,bayer,h", [
    ("RAW", 1, 8, "GB", 24),
    ("RAW", 2, 10, "GR", 24),   # random words: most lie above 10 bits, white in both
    ("RAW_D", 1, 8, "BG", 23),  # odd height: the second image starts in the order too
    ("MON", 1, 6, "RG", 24),    # 1-byte samples are shown as they are, whatever the bits
    ("MON_D", 2, 12, "RG", 24),  # the tool keeps 16 bits: compared rounded to 8
    ("RGB", 1, 8, "RG", 24),
    ("YUV", 1, 8, "RG", 24),
])
def test_to_rgb_is_the_picture_vexo_capture_writes(tmp_path, fmt, pb, bits, bayer, h):
    # One frame of random bytes, replayed to `vexo capture --8bit` and converted by Frame.to_rgb.
    w, images = 32, 2 if fmt.endswith("_D") else 1
    size = w * h * images * (2 if fmt in ("RGB", "YUV") else pb)
    data = np.random.default_rng(size).integers(0, 256, size, np.uint8).tobytes()
    (tmp_path / "frame_000000.raw").write_bytes(data)
    (tmp_path / "manifest.json").write_text(json.dumps({
        "vexoRecording": 1,
        "configuration": {"width": w, "height": h, "pixelBytes": pb, "pixelBits": bits,
                          "format": fmt, "bayer": PATTERN[bayer]},
        "frames": [{"file": "frame_000000.raw", "offset": 0, "number": 0, "u64Time": 1,
                    "u32Size": size, "status": "whole"}]}))
    cfg = tmp_path / "cam.cfg"
    cfg.write_text(f"[camera]\nwidth = {w}\nheight = {h}\nformat = {fmt}\npixel_bytes = {pb}\n"
                   f"pixel_bits = {bits}\nbayer = {bayer}\ni2c_address = 0x20\n"
                   "i2c_mode = 16_8\n")
    boards = {"boards": [{"stream": {"replay": str(tmp_path), "paced": False}}]}
    run = subprocess.run([str(TOOL), "capture", "-c", str(cfg), "-n", "1", "--8bit", "-q",
                          "-o", str(tmp_path / "out")], capture_output=True, text=True,
                         timeout=60, env=dict(os.environ, VEXO_VIRTUAL_BOARDS=json.dumps(boards)))
    assert run.returncode == 0, run.stderr + run.stdout
    wide = fmt == "MON_D"
    tool = png_samples(tmp_path / "out" / "frame_0000.png", wide)
    if wide:
        tool = ((tool.astype(np.uint32) * 255 + 32767) // 65535).astype(np.uint8)
    if fmt.startswith("MON"):
        tool = np.repeat(tool[:, None], 3, axis=1)

    info = {"u32Width": w, "u32Height": h, "emImageFmtMode": int(vexo.Format[fmt]),
            "u8PixelBytes": pb, "u8PixelBits": bits, "u32Size": size}
    rgb = vexo.Frame(data, info, vexo.Bayer[bayer]).to_rgb()
    assert rgb.shape == (h * images, w, 3)
    assert np.array_equal(rgb.reshape(-1, 3), tool.reshape(-1, 3))
