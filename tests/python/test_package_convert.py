"""Frame conversions of vexo on synthetic pictures whose colours are known exactly."""
import numpy as np
import pytest

import vexo
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
