"""The ISP's figures, measured on pictures from a sensor whose answer is known.

A virtual board's sensor looks at a scene (the 24-patch chart, or a natural picture) and makes
raw samples as a sensor does (sRGB to linear light, its matrix, the illuminant's gains, black
level, read noise, clipping, Bayer sampling); `vexo capture` renders them through the camera
file's [colour] section, `vexo record` keeps them as DNG. Colour differences are CIEDE2000
(skimage), the demosaic baseline is OpenCV's, and the DNG is developed by dcraw and LibRaw.
"""
import json
import os
import shutil
import subprocess

import numpy as np
import pytest

cv2 = pytest.importorskip("cv2")
skcolor = pytest.importorskip("skimage.color")
skdata = pytest.importorskip("skimage.data")

from conftest import BUILD  # noqa: E402

TOOL = BUILD / "tools" / "vexo"

CHART = np.array([
    (115, 82, 68), (194, 150, 130), (98, 122, 157), (87, 108, 67), (133, 128, 177),
    (103, 189, 170), (214, 126, 44), (80, 91, 166), (193, 90, 99), (94, 60, 108),
    (157, 188, 64), (224, 163, 46), (56, 61, 150), (70, 148, 73), (175, 54, 60),
    (231, 199, 31), (187, 86, 149), (8, 133, 161), (243, 243, 242), (200, 200, 200),
    (160, 160, 160), (122, 122, 121), (85, 85, 85), (52, 52, 52)], dtype=np.uint8)
NEUTRALS = range(18, 24)

# The sensor of the chart figures: 10 bits, black 64, a warm illuminant, a sensor matrix
# whose rows sum to 1, read noise of 2 codes.
SENSOR_MATRIX = np.array([[0.70, 0.22, 0.08], [0.12, 0.76, 0.12], [0.04, 0.26, 0.70]])
GAINS = np.array([0.55, 1.0, 0.7])


# Helpers the other ISP tests (the package's, vexoisp's) share: a mosaic made here as the
# virtual sensor makes it, and `vexo capture` of it replayed as a recording.
BAYER = {"RG": ((0, 0), (0, 1), (1, 0), (1, 1)), "GR": ((0, 1), (0, 0), (1, 1), (1, 0)),
         "GB": ((1, 0), (0, 0), (1, 1), (0, 1)), "BG": ((1, 1), (0, 1), (1, 0), (0, 0))}
MANIFEST_BAYER = {"RG": "RGGB", "GR": "GRBG", "GB": "GBRG", "BG": "BGGR"}


def srgb_to_linear(v):
    v = np.asarray(v, dtype=np.float64) / 255.0
    return np.where(v <= 0.04045, v / 12.92, ((v + 0.055) / 1.055) ** 2.4)


def chart_scene(width, height):
    """The chart as the virtual board draws it: 6 x 4 equal patches, the remainder to the
    last column and row."""
    pw, ph = width // 6, height // 4
    cols = np.minimum(np.arange(width) // pw, 5)
    rows = np.minimum(np.arange(height) // ph, 3)
    return CHART[(rows[:, None] * 6 + cols[None, :])]


def sense(scene8, bits, black=0, gains=(1, 1, 1), matrix=np.eye(3), noise=0.0, seed=1,
          bayer="RG"):
    """A sensor's mosaic of an 8-bit sRGB scene, as 16-bit codes (light 1.0 at the white
    level, the range above black)."""
    lin = srgb_to_linear(scene8)
    cam = lin @ np.asarray(matrix).T * np.asarray(gains)
    white = 2 ** bits - 1
    codes = black + cam * (white - black)
    if noise:
        codes = codes + np.random.default_rng(seed).normal(0, noise, codes.shape)
    codes = np.clip(np.round(codes), 0, white)
    h, w = scene8.shape[:2]
    mosaic = np.zeros((h, w), dtype=np.uint16)
    for colour, (dy, dx) in zip((0, 1, 1, 2), BAYER[bayer]):
        mosaic[dy::2, dx::2] = codes[dy::2, dx::2, colour]
    return mosaic


def chart_mosaic(width=600, height=400):
    return sense(chart_scene(width, height), 10, black=64, gains=GAINS, matrix=SENSOR_MATRIX,
                 noise=2.0)


def replay_board(directory, mosaic, bayer="RG"):
    """A recording of one frame of `mosaic`, and the board document that replays it."""
    h, w = mosaic.shape
    directory.mkdir(parents=True, exist_ok=True)
    data = mosaic.astype("<u2").tobytes()
    (directory / "frame_000000.raw").write_bytes(data)
    manifest = {"vexoRecording": 1,
                "configuration": {"width": w, "height": h, "pixelBytes": 2, "format": "RAW",
                                  "bayer": MANIFEST_BAYER[bayer]},
                "frames": [{"file": "frame_000000.raw", "offset": 0, "number": 0,
                            "u64Time": 1, "u32Size": len(data), "status": "whole"}]}
    (directory / "manifest.json").write_text(json.dumps(manifest))
    return json.dumps({"boards": [{"stream": {"replay": str(directory), "loop": True,
                                              "paced": False}}]})


def run_tool(args, boards):
    env = dict(os.environ, VEXO_VIRTUAL_BOARDS=boards)
    result = subprocess.run([str(TOOL), *args], env=env, capture_output=True, text=True,
                            timeout=120)
    assert result.returncode == 0, result.stdout + result.stderr
    return result


def capture(tmp_path, mosaic, colour, bits, extra=()):
    """`vexo capture` of the mosaic, replayed, through [colour] (None: no section): 8-bit RGB."""
    h, w = mosaic.shape
    cfg = tmp_path / "sensor.cfg"
    cfg.write_text(camera_file(w, h, bits, colour))
    boards = replay_board(tmp_path / "take", mosaic)
    out = tmp_path / "out"
    shutil.rmtree(out, ignore_errors=True)
    run_tool(["capture", "-c", str(cfg), "-n", "1", "-o", str(out), "--8bit", *extra], boards)
    image = cv2.imread(str(out / "frame_0000.png"), cv2.IMREAD_UNCHANGED)
    assert image is not None and image.shape == (h, w, 3)
    return image[:, :, ::-1]


def linear_to_srgb8(l):
    l = np.clip(l, 0, 1)
    s = np.where(l <= 0.0031308, 12.92 * l, 1.055 * l ** (1 / 2.4) - 0.055)
    return np.round(s * 255).astype(np.uint8)


def camera_file(width, height, bits, colour, registers=""):
    return (f"[camera]\nwidth = {width}\nheight = {height}\nformat = RAW\npixel_bytes = 2\n"
            f"pixel_bits = {bits}\nbayer = RG\ni2c_address = 0x20\ni2c_mode = 16_8\n"
            + (f"[registers]\n{registers}\n" if registers else "")
            + ("" if colour is None else f"[colour]\n{colour}\n"))


class Board:
    """A virtual board whose sensor looks at `scene`, and the camera file that opens it."""

    def __init__(self, tmp_path, scene, width, height, bits, sensor=None, registers=""):
        self.tmp_path, self.width, self.height, self.bits = tmp_path, width, height, bits
        self.registers = registers
        self.document = json.dumps({"boards": [{
            "scene": scene, "sensor": sensor or {},
            "stream": {"width": width, "height": height, "pixelBytes": 2, "pixelBits": bits,
                       "format": "RAW", "bayer": "RGGB"}}]})

    def config(self, colour):
        cfg = self.tmp_path / "sensor.cfg"
        cfg.write_text(camera_file(self.width, self.height, self.bits, colour, self.registers))
        return str(cfg)

    def run(self, *args):
        env = dict(os.environ, VEXO_VIRTUAL_BOARDS=self.document)
        result = subprocess.run([str(TOOL), *args], env=env, capture_output=True, text=True,
                                timeout=120)
        assert result.returncode == 0, result.stdout + result.stderr
        return result

    def capture(self, colour, extra=()):
        """`vexo capture` of one frame through [colour] (None: no section): 8-bit RGB."""
        out = self.tmp_path / "out"
        shutil.rmtree(out, ignore_errors=True)
        self.run("capture", "-c", self.config(colour), "-n", "1", "-o", str(out), "--8bit",
                 *extra)
        image = cv2.imread(str(out / "frame_0000.png"), cv2.IMREAD_UNCHANGED)
        assert image is not None and image.shape == (self.height, self.width, 3)
        return image[:, :, ::-1]

    def record(self, colour, raw=False):
        """`vexo record` of one frame: the recording's directory."""
        out = self.tmp_path / "rec"
        shutil.rmtree(out, ignore_errors=True)
        self.run("record", "-c", self.config(colour), "-n", "1", "-o", str(out),
                 *(["--raw"] if raw else []))
        return out

    def mosaic(self):
        """The samples of a frame as the board sends them."""
        data = (self.record(None, raw=True) / "frame_000000.raw").read_bytes()
        return np.frombuffer(data, dtype="<u2").reshape(self.height, self.width)


def patch_means(rgb8):
    """Mean sRGB of the middle half of each patch."""
    h, w = rgb8.shape[:2]
    pw, ph = w // 6, h // 4
    means = []
    for i in range(24):
        r, c = divmod(i, 6)
        y0, x0 = r * ph + ph // 4, c * pw + pw // 4
        means.append(rgb8[y0:y0 + ph // 2, x0:x0 + pw // 2].reshape(-1, 3).mean(axis=0))
    return np.array(means)


def lab(srgb8):
    return skcolor.rgb2lab(np.asarray(srgb8, dtype=np.float64).reshape(1, -1, 3) / 255.0)[0]


def chart_errors(rgb8):
    got, want = lab(patch_means(rgb8)), lab(CHART)
    return skcolor.deltaE_ciede2000(want, got), got


def inverse_ccm():
    return " ".join(f"{v:.9f}" for v in np.linalg.inv(SENSOR_MATRIX).ravel())


def chart_board(tmp_path, width=600, height=400):
    """The chart at the sensor's power-on exposure: white (light 1.0) lands on the white
    level, the codes from black to white being the range of light, as the ISP and DNG
    readers take them."""
    sensor = {"blackLevel": 64, "gains": GAINS.tolist(), "readNoise": 2, "seed": 1,
              "matrix": SENSOR_MATRIX.ravel().tolist()}
    return Board(tmp_path, "chart", width, height, 10, sensor)


@pytest.mark.parametrize("white_balance", ["manual", "auto"])
def test_chart_colours(tmp_path, white_balance):
    wb = ("white_balance = " + " ".join(f"{1 / g:.9f}" for g in GAINS)
          if white_balance == "manual" else "white_balance = auto")
    rgb = chart_board(tmp_path).capture(f"black_level = 64\n{wb}\nccm = {inverse_ccm()}\n"
                                        "gamma = srgb")
    errors, got = chart_errors(rgb)
    print(f"{white_balance} white balance: mean dE2000 {errors.mean():.2f}, max {errors.max():.2f}")
    if white_balance == "manual":
        assert errors.mean() <= 1.0
    else:
        assert errors.mean() <= 3.0
        neutral = got[list(NEUTRALS)]
        assert np.abs(neutral[:, 1:]).max() <= 2.0, neutral


def test_no_isp_keeps_the_plain_picture(tmp_path):
    """--no-isp writes what a file without [colour] gives; the ISP's picture differs."""
    board = chart_board(tmp_path, 120, 80)
    colour = f"black_level = 64\nccm = {inverse_ccm()}"
    plain = board.capture(None)
    assert np.array_equal(board.capture(colour, extra=["--no-isp"]), plain)
    assert np.abs(board.capture(colour).astype(int) - plain).mean() > 10


def test_chart_grey_world_would_fail(tmp_path):
    """The chart is a scene where averaging everything to grey is wrong: the auto white
    balance check above is one that a grey-world balance does not pass."""
    mosaic = chart_board(tmp_path).mosaic().astype(np.float64) - 64
    red, green, blue = mosaic[0::2, 0::2].mean(), mosaic[0::2, 1::2].mean(), mosaic[1::2, 1::2].mean()
    grey_world = np.array([green / red, 1.0, green / blue])
    assert np.abs(grey_world * GAINS - 1).max() > 0.05


def psnr(a, b):
    mse = np.mean((a.astype(np.float64) - b.astype(np.float64)) ** 2)
    return 10 * np.log10(255.0 ** 2 / mse)


def natural_scenes():
    # Even sizes keep every scene a whole number of 2x2 cells.
    for name in ("astronaut", "coffee", "chelsea"):
        image = getattr(skdata, name)()
        h, w = image.shape[:2]
        yield name, np.ascontiguousarray(image[: h & ~1, : w & ~1])


def test_demosaic_beats_bilinear_and_opencv_edge_aware(tmp_path):
    """Natural pictures as the scene of a noiseless 12-bit sensor: PSNR of the final sRGB
    picture against the scene, 4 pixels of border left out for every method."""
    colour = "white_balance = 1 1 1\ngamma = srgb\ndemosaic = {}"
    results = {}
    for name, scene in natural_scenes():
        png = tmp_path / f"{name}.png"
        cv2.imwrite(str(png), scene[:, :, ::-1])
        h, w = scene.shape[:2]
        board = Board(tmp_path, {"image": str(png)}, w, h, 12)
        inner = (slice(4, -4), slice(4, -4))
        gradient = board.capture(colour.format("gradient"))
        bilinear = board.capture(colour.format("bilinear"))
        # OpenCV's edge-aware demosaic on the same linear mosaic, then the same curve. Its
        # BG code is the RGGB order (OpenCV names the second row's first two colours).
        ea = cv2.cvtColor(board.mosaic(), cv2.COLOR_BayerBG2BGR_EA)[:, :, ::-1] / 4095.0
        opencv = linear_to_srgb8(ea)
        results[name] = [psnr(x[inner], scene[inner]) for x in (gradient, bilinear, opencv)]
        print(f"{name}: gradient {results[name][0]:.2f} dB, bilinear {results[name][1]:.2f} dB, "
              f"OpenCV EA {results[name][2]:.2f} dB")
    for name, (gradient, bilinear, opencv) in results.items():
        assert gradient >= bilinear + 3.0, name
        assert gradient >= opencv, name


@pytest.mark.parametrize("developer", ["dcraw", "dcraw_emu"])
def test_raw_developers_render_the_dng_as_the_isp(tmp_path, developer):
    """`vexo record` writes the chart's DNG with the [colour] section's black level, neutral
    and matrix; dcraw (and LibRaw's dcraw_emu) develop it to the chart's colours."""
    if not shutil.which(developer):
        pytest.skip(f"{developer} is not installed")
    board = chart_board(tmp_path)
    h, w = board.height, board.width
    wb = " ".join(f"{1 / g:.9f}" for g in GAINS)
    out = board.record(f"black_level = 64\nwhite_balance = {wb}\nccm = {inverse_ccm()}")
    dng = out / "frame_000000.dng"
    subprocess.run([developer, "-w", "-W", "-o", "1", "-g", "2.4", "12.92", "-T", str(dng)],
                   check=True, capture_output=True, timeout=120)
    # dcraw replaces the extension, dcraw_emu appends to it.
    tiff = next(p for p in (out / "frame_000000.tiff", out / "frame_000000.dng.tiff") if p.exists())
    image = cv2.imread(str(tiff), cv2.IMREAD_UNCHANGED)
    assert image is not None and image.shape[:2] == (h, w)
    if image.dtype == np.uint16:
        image = np.round(image / 257.0).astype(np.uint8)
    errors, _ = chart_errors(image[:, :, ::-1])
    print(f"{developer}: mean dE2000 {errors.mean():.2f}, max {errors.max():.2f}")
    assert errors.mean() <= 3.0
