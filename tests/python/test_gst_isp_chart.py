"""`vexosrc ! vexoisp ! pngenc` with a 10-bit board: the PNG, opened by OpenCV, shows the
colour chart in its colours (CIEDE2000 of the patches, skimage).

The board either replays the chart as the simulated sensor of test_isp_figures records it, or
looks at the chart with the virtual sensor set the same way (black level 64, a warm illuminant,
a sensor matrix, read noise); the camera file's [colour] section undoes that as the ISP's own
figures do.

vexosrc's extra-controls expose the live sensor at its power-on 1024 lines (or 512 lines at
twice the gain, the same light), or for a quarter of that, a picture too dark to match.
"""
import json
import os
import subprocess

import numpy as np
import pytest

cv2 = pytest.importorskip("cv2")
pytest.importorskip("skimage.color")

from conftest import BUILD  # noqa: E402
from test_isp_figures import (GAINS, NEUTRALS, SENSOR_MATRIX, camera_file,  # noqa: E402
                              chart_errors, chart_mosaic, inverse_ccm, replay_board)

PLUGIN_DIR = BUILD / "gst"
WIDTH, HEIGHT = 600, 400
CONTROLS = ("[controls]\ngroup_hold = 0x0104\n"
            "exposure type=integer min=1 max=65535 default=1024 "
            "registers=0x3500,0x3501,0x3502 bits=4..23\n"
            "analogue_gain type=float min=1 max=15.9921875 default=1 scale=128 "
            "registers=0x3508,0x3509 bits=0..10\n")


def live_board():
    return json.dumps({"boards": [{
        "scene": "chart",
        "sensor": {"blackLevel": 64, "gains": GAINS.tolist(), "readNoise": 2, "seed": 1,
                   "matrix": SENSOR_MATRIX.ravel().tolist()},
        "stream": {"width": WIDTH, "height": HEIGHT, "format": "RAW", "pixelBytes": 2,
                   "pixelBits": 10}}]})


@pytest.mark.parametrize("board,white_balance,controls", [
    ("replay", "manual", None), ("replay", "auto", None),
    ("live", "manual", "c,exposure=(int)1024"),
    ("live", "auto", "c,exposure=(int)512,analogue_gain=2.0"),
    ("live", "manual", "c,exposure=(int)256")])
def test_gst_launch_isp_png_shows_the_chart(tmp_path, board, white_balance, controls):
    if not (PLUGIN_DIR / "libgstvexo.so").exists():
        pytest.skip("the GStreamer plugin is not built")
    wb = ("white_balance = " + " ".join(f"{1 / g:.9f}" for g in GAINS)
          if white_balance == "manual" else "white_balance = auto")
    h, w = HEIGHT, WIDTH
    boards = (replay_board(tmp_path / "take", chart_mosaic(w, h)) if board == "replay"
              else live_board())
    cfg = tmp_path / "sensor.cfg"
    cfg.write_text(camera_file(w, h, 10, f"black_level = 64\n{wb}\nccm = {inverse_ccm()}\n")
                   + CONTROLS)
    env = dict(os.environ, VEXO_VIRTUAL_BOARDS=boards,
               GST_PLUGIN_PATH=str(PLUGIN_DIR), GST_REGISTRY=str(tmp_path / "registry.bin"))
    # The third frame: exposed after every control written at the start has been latched.
    result = subprocess.run(
        ["gst-launch-1.0", "-q", "vexosrc", f"config={cfg}", "num-buffers=3"]
        + ([f"extra-controls={controls}"] if controls else [])
        + ["!", "vexoisp", f"config-file={cfg}", "!", "pngenc", "!", "multifilesink",
           f"location={tmp_path / 'isp%d.png'}"],
        env=env, capture_output=True, text=True, timeout=120)
    assert result.returncode == 0, result.stdout + result.stderr
    image = cv2.imread(str(tmp_path / "isp2.png"), cv2.IMREAD_UNCHANGED)
    assert image is not None and image.shape == (h, w, 3)
    errors, got = chart_errors(image[:, :, ::-1])
    print(f"{board}, {white_balance}, {controls}: mean dE2000 {errors.mean():.2f}")
    if controls == "c,exposure=(int)256":
        assert errors.mean() > 5, errors  # a quarter of the light: the controls reached it
    elif white_balance == "manual":
        assert errors.mean() <= 1.0, errors
    else:
        assert errors.mean() <= 3.0, errors
        assert np.abs(got[list(NEUTRALS)][:, 1:]).max() <= 2.0
