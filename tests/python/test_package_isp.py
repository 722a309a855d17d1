"""vexo.Isp and Frame.to_rgb through the library's ISP: the chart's colours (CIEDE2000) from a
simulated sensor, the same picture as `vexo capture`, white balance and auto exposure state
kept across frames, and auto exposure driving a camera's controls."""
import io
import json
import os
import shutil
import subprocess

import numpy as np
import pytest

import vexo
from conftest import BUILD, RAW_USB3, ROOT, run_python

cv2 = pytest.importorskip("cv2")
skcolor = pytest.importorskip("skimage.color")

TOOL = BUILD / "tools" / "vexo"
# The chart, as the virtual board draws it, and the sensor seeing it (10 bits, black 64, a
# warm illuminant, a matrix whose rows sum to 1, read noise of 2 codes).
from test_isp_figures import CHART, GAINS, NEUTRALS, SENSOR_MATRIX  # noqa: E402


def srgb_to_linear(v):
    v = np.asarray(v, dtype=np.float64) / 255.0
    return np.where(v <= 0.04045, v / 12.92, ((v + 0.055) / 1.055) ** 2.4)


def sense(scene8, bits, black=0, gains=(1, 1, 1), matrix=np.eye(3), noise=0.0, seed=1):
    """An RGGB sensor's mosaic of an 8-bit sRGB scene, as 16-bit codes."""
    cam = srgb_to_linear(scene8) @ np.asarray(matrix).T * np.asarray(gains)
    white = 2 ** bits - 1
    codes = black + cam * (white - black)
    if noise:
        codes = codes + np.random.default_rng(seed).normal(0, noise, codes.shape)
    codes = np.clip(np.round(codes), 0, white)
    mosaic = np.zeros(scene8.shape[:2], dtype=np.uint16)
    for colour, (dy, dx) in zip((0, 1, 1, 2), ((0, 0), (0, 1), (1, 0), (1, 1))):
        mosaic[dy::2, dx::2] = codes[dy::2, dx::2, colour]
    return mosaic


def chart_mosaic(width=600, height=400):
    pw, ph = width // 6, height // 4
    cols = np.minimum(np.arange(width) // pw, 5)
    rows = np.minimum(np.arange(height) // ph, 3)
    scene = CHART[rows[:, None] * 6 + cols[None, :]]
    return sense(scene, 10, black=64, gains=GAINS, matrix=SENSOR_MATRIX, noise=2.0)


def camera_file(width, height, bits, colour):
    return (f"[camera]\nwidth = {width}\nheight = {height}\nformat = RAW\npixel_bytes = 2\n"
            f"pixel_bits = {bits}\nbayer = RG\ni2c_address = 0x20\ni2c_mode = 16_8\n"
            + ("" if colour is None else f"[colour]\n{colour}\n"))


def chart_errors(rgb8):
    """CIEDE2000 of the middle half of each patch's mean against the chart, and the Lab."""
    h, w = rgb8.shape[:2]
    pw, ph = w // 6, h // 4
    means = []
    for i in range(24):
        r, c = divmod(i, 6)
        y0, x0 = r * ph + ph // 4, c * pw + pw // 4
        means.append(rgb8[y0:y0 + ph // 2, x0:x0 + pw // 2].reshape(-1, 3).mean(axis=0))

    def lab(srgb8):
        return skcolor.rgb2lab(np.asarray(srgb8, np.float64).reshape(1, -1, 3) / 255.0)[0]

    got = lab(means)
    return skcolor.deltaE_ciede2000(lab(CHART), got), got


def inverse_ccm():
    return " ".join(f"{v:.9f}" for v in np.linalg.inv(SENSOR_MATRIX).ravel())


MANUAL = "white_balance = " + " ".join(f"{1 / g:.9f}" for g in GAINS)
DEFAULT_CFG = ROOT / "examples/configs/virtual-default.cfg"
COLOUR = f"black_level = 64\n{{wb}}\nccm = {inverse_ccm()}\ngamma = srgb"


def frame_of(mosaic, bits, config=None):
    """A frame of a 2-byte mosaic, as a camera opened with @config would hand it out."""
    h, w = mosaic.shape
    data = mosaic.astype("<u2").tobytes()
    info = {"u32Width": w, "u32Height": h, "emImageFmtMode": 0, "u8PixelBytes": 2,
            "u8PixelBits": bits, "u32Size": len(data)}
    colour = config.parsed if config is not None and config.colour else None
    return vexo.Frame(data, info, vexo.Bayer.RG, colour=colour)


def chart_config(wb, width=600, height=400):
    return vexo.parse_config(camera_file(width, height, 10, COLOUR.format(wb=wb)))


@pytest.mark.parametrize("wb, through", [(MANUAL, "to_rgb"), ("white_balance = auto", "to_rgb"),
                                         ("white_balance = auto", "Isp")])
def test_chart_colours(wb, through):
    config = chart_config(wb)
    frames = [frame_of(chart_mosaic(), 10, config) for _ in range(3)]
    if through == "to_rgb":
        rgb = frames[0].to_rgb()
    else:
        isp = vexo.Isp(config)
        for frame in frames:
            rgb = isp.process(frame)
        # the gains found undo the illuminant's (relative to green)
        gains = np.array(isp.white_balance)
        np.testing.assert_allclose(gains / gains[1] * GAINS, 1.0, atol=0.05)
    errors, lab = chart_errors(rgb)
    if wb == MANUAL:
        assert errors.mean() <= 1.0
    else:
        assert errors.mean() <= 3.0
        assert np.abs(lab[list(NEUTRALS)][:, 1:]).max() <= 2.0


@pytest.mark.skipif(not TOOL.exists(), reason="the vexo tool is not built")
@pytest.mark.parametrize("colour", [COLOUR.format(wb="white_balance = auto"), None])
def test_the_same_picture_as_vexo_capture(tmp_path, colour):
    """A camera's frame of the virtual chart (noiseless: every frame the same bytes) through
    to_rgb and through `vexo capture`: the same picture, with [colour] and without."""
    boards = chart_board(readNoise=0, width=120, height=80)
    code = "f = cam.frame()\nnp.save('frame.npy', f.to_rgb())\nopen('frame.png', 'wb')" \
           ".write(f._repr_png_())\nprint('{}')"
    run_camera(tmp_path, code, boards, colour, size=(120, 80))
    rgb = np.load(tmp_path / "frame.npy")
    env = dict(os.environ, VEXO_VIRTUAL_BOARDS=json.dumps(boards))
    run = subprocess.run([str(TOOL), "capture", "-c", str(tmp_path / "chart.cfg"), "-n", "1",
                          "-o", str(tmp_path / "out"), "--8bit"], env=env, capture_output=True,
                         text=True, timeout=120)
    assert run.returncode == 0, run.stderr
    written = cv2.imread(str(tmp_path / "out" / "frame_0000.png"), cv2.IMREAD_UNCHANGED)
    np.testing.assert_array_equal(rgb, written[:, :, ::-1])
    # a notebook shows the same picture
    from PIL import Image
    shown = np.asarray(Image.open(tmp_path / "frame.png"))
    np.testing.assert_array_equal(shown, rgb)


def test_a_cameras_frames_carry_its_colour_section(tmp_path):
    text = (ROOT / "examples/configs/virtual-default.cfg").read_text()
    path = tmp_path / "colour.cfg"
    path.write_text(text + "\n[colour]\nblack_level = 16\nwhite_balance = 1.5 1 0.8\n")
    with vexo.open(RAW_USB3, config=path) as cam:
        frame = cam.frame()  # a copy keeps it too
    isp = vexo.Isp(vexo.load_config(path))
    np.testing.assert_array_equal(frame.to_rgb(), isp.process(frame))
    assert isp.white_balance == (1.5, 1.0, 0.8)
    plain = vexo.Frame(frame.data, frame.info, frame.bayer)
    assert np.abs(frame.to_rgb().astype(int) - plain.to_rgb()).mean() > 5
    # 16-bit pictures through the same chain
    wide = isp.process(frame, bits=16)
    assert wide.dtype == np.uint16
    np.testing.assert_allclose(wide / 257.0, frame.to_rgb(), atol=1.0)


def grey_frame(level, bits=10):
    """A flat grey scene at @level of linear light (the rest of the range above it)."""
    scene = np.full((64, 96, 3), 128, np.uint8)
    scale = level / srgb_to_linear(128)
    return frame_of(sense(scene, bits, gains=(scale, scale, scale)), bits)


def test_auto_exposure_drives_the_cameras_controls(tmp_path):
    text = (ROOT / "examples/configs/sensor-controls.cfg").read_text()
    path = tmp_path / "ae.cfg"
    path.write_text(text.replace("[controls]", "[registers]\n0x3500 0x00\n0x3501 0x40\n"
                                 "0x3502 0x00\n0x3508 0x01\n0x3509 0x00\n[colour]\n"
                                 "auto_exposure = on\n[controls]", 1))
    with vexo.open(RAW_USB3, config=path) as cam:
        assert cam.controls["exposure"].value == 1024
        isp = vexo.Isp(cam)
        assert isp.auto_exposure
        steps = []
        for _ in range(4):  # a dark scene: 3 stops under mid grey
            isp.process(grey_frame(0.18 / 8))
            steps.append(isp.last_step)
        assert "adjusted" in steps
        brighter = cam.controls["exposure"].value
        assert brighter > 1024 and isp.exposure.adjustments >= 1
        assert isp.exposure.exposure == brighter and isp.exposure.level < 0.18
        for _ in range(4):  # then a bright one
            isp.process(grey_frame(0.9))
        assert cam.controls["exposure"].value < brighter
    # From the file alone there is nothing to drive.
    assert not vexo.Isp(vexo.load_config(path)).auto_exposure
    with pytest.raises(ValueError, match="camera"):
        vexo.Isp(path, auto_exposure=True)


@pytest.mark.skipif(shutil.which("dcraw") is None, reason="dcraw is not installed")
def test_saved_dng_develops_to_the_charts_colours(tmp_path):
    """Frame.save writes the [colour] section into the DNG, as vexo record does: dcraw
    develops it to the chart; without the section it cannot."""
    config = chart_config(MANUAL)
    errors = {}
    for name, frame in (("colour", frame_of(chart_mosaic(), 10, config)),
                        ("plain", frame_of(chart_mosaic(), 10))):
        dng = tmp_path / f"{name}.dng"
        frame.save(dng)
        subprocess.run(["dcraw", "-w", "-W", "-o", "1", "-g", "2.4", "12.92", "-T", str(dng)],
                       check=True, capture_output=True, timeout=120)
        image = cv2.imread(str(tmp_path / f"{name}.tiff"), cv2.IMREAD_UNCHANGED)
        if image.dtype == np.uint16:
            image = np.round(image / 257.0).astype(np.uint8)
        errors[name] = chart_errors(image[:, :, ::-1])[0].mean()
    print(errors)
    assert errors["colour"] <= 3.0 < errors["plain"], errors


@pytest.mark.parametrize("fmt, pixel_bytes, bits, size, error", [
    (vexo.Format.YUV, 2, 8, 64 * 48 * 2, "takes RAW"),
    (vexo.Format.RAW, 2, 8, 64 * 48 * 2 - 1, "needs"),  # one byte short
    (vexo.Format.RAW, 2, 12, 64 * 48 * 2, "8 or 16"),
])
def test_isp_refusals(fmt, pixel_bytes, bits, size, error):
    info = {"u32Width": 64, "u32Height": 48, "emImageFmtMode": int(fmt),
            "u8PixelBytes": pixel_bytes, "u8PixelBits": 10, "u32Size": size}
    with pytest.raises(ValueError, match=error):
        vexo.Isp().process(vexo.Frame(bytes(size), info), bits=bits)


def chart_board(width=600, height=400, **sensor):
    settings = {"blackLevel": 64, "gains": list(GAINS), "readNoise": 2, "seed": 1,
                "matrix": list(SENSOR_MATRIX.ravel()), **sensor}
    return {"boards": [{"scene": "chart", "sensor": settings,
                        "stream": {"width": width, "height": height, "pixelBytes": 2,
                                   "pixelBits": 10}}]}


def exposure_registers(lines):
    bits = lines << 4
    return {"0x3500": bits >> 16, "0x3501": (bits >> 8) & 0xFF, "0x3502": bits & 0xF0}


def run_camera(tmp_path, code, boards, colour, controls="", size=(600, 400)):
    """@code run in @tmp_path with a camera on @boards opened with a 10-bit file (chart.cfg)
    whose [colour] is @colour; what it prints last, as JSON."""
    cfg = tmp_path / "chart.cfg"
    cfg.write_text(camera_file(*size, 10, colour) + controls)
    prelude = (f"import json, os, numpy as np, vexo\nos.chdir({str(tmp_path)!r})\n"
               f"cam = vexo.open(config={str(cfg)!r})\n")
    proc = run_python(prelude + code, boards)
    assert proc.returncode == 0, proc.stderr[-3000:]
    return json.loads(proc.stdout.splitlines()[-1])


@pytest.mark.parametrize("wb", [MANUAL, "white_balance = auto"])
def test_the_virtual_charts_colours_through_to_rgb(tmp_path, wb):
    """The virtual board's chart seen by a sensor with black level, an illuminant, a colour
    matrix and read noise: Frame.to_rgb of a camera frame renders the chart's colours."""
    code = "rgb = cam.frame().to_rgb()\nprint(json.dumps(rgb.tolist()))"
    boards = chart_board()
    rgb = np.array(run_camera(tmp_path, code, boards, COLOUR.format(wb=wb)), np.uint8)
    errors, lab = chart_errors(rgb)
    print(f"{wb}: mean dE2000 {errors.mean():.2f}")
    assert errors.mean() <= (1.0 if wb == MANUAL else 3.0)
    if wb != MANUAL:
        assert np.abs(lab[list(NEUTRALS)][:, 1:]).max() <= 2.0


@pytest.mark.parametrize("stops", [-3, 3])
def test_auto_exposure_brings_the_virtual_chart_to_its_level(tmp_path, stops):
    """vexo.Isp's auto exposure on the virtual sensor, from 3 stops under and over: the green
    of the neutral patch 22 comes within 1/3 stop of its level exposed right (exposure 1024
    lines, gain 1x) within 10 frames and stays there."""
    controls = "\n[controls]\n" + "\n".join(
        line for line in DEFAULT_CFG.read_text().splitlines()
        if line.startswith(("exposure ", "analogue_gain ", "group_hold")))
    code = """
isp = vexo.Isp(cam)
levels = []
for frame in cam.frames(20):
    a = frame.array.astype(float)
    patch = a[300:400, 300:400][25:75, 25:75]  # patch 22: row 4, column 4
    green = np.concatenate([patch[0::2, 1::2].ravel(), patch[1::2, 0::2].ravel()])
    levels.append((green.mean() - 64) / (1023 - 64))
    isp.process(frame)
print(json.dumps(levels))
"""
    boards = chart_board(registers=exposure_registers(int(1024 * 2 ** stops)))
    colour = COLOUR.format(wb=MANUAL) + "\nauto_exposure = on"
    levels = np.array(run_camera(tmp_path, code, boards, colour, controls))
    off = np.abs(np.log2(levels / srgb_to_linear(122)))
    print(f"{stops:+d} stops: " + " ".join(f"{v:.2f}" for v in off))
    assert off[0] > 2  # it did start far away (3 stops over clips the patch at 2.4)
    assert (off[9:] <= 1 / 3).all()
