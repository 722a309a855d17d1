"""`vexosrc ! vexoisp ! pngenc` with a 10-bit board: the PNG, opened by OpenCV, shows the
colour chart in its colours (CIEDE2000 of the patches, skimage).

The board replays the chart as the simulated sensor of test_isp_figures records it (black level
64, a warm illuminant, a sensor matrix, read noise), and the camera file's [colour] section
undoes that as the ISP's own figures do.
"""
import os
import subprocess

import numpy as np
import pytest

cv2 = pytest.importorskip("cv2")
pytest.importorskip("skimage.color")

from conftest import BUILD  # noqa: E402
from test_isp_figures import (GAINS, NEUTRALS, camera_file, chart_errors,  # noqa: E402
                              chart_mosaic, inverse_ccm, replay_board)

PLUGIN_DIR = BUILD / "gst"


@pytest.mark.parametrize("white_balance", ["manual", "auto"])
def test_gst_launch_isp_png_shows_the_chart(tmp_path, white_balance):
    if not (PLUGIN_DIR / "libgstvexo.so").exists():
        pytest.skip("the GStreamer plugin is not built")
    wb = ("white_balance = " + " ".join(f"{1 / g:.9f}" for g in GAINS)
          if white_balance == "manual" else "white_balance = auto")
    mosaic = chart_mosaic()
    h, w = mosaic.shape
    cfg = tmp_path / "sensor.cfg"
    cfg.write_text(camera_file(w, h, 10, f"black_level = 64\n{wb}\nccm = {inverse_ccm()}"))
    png = tmp_path / "isp.png"
    env = dict(os.environ, VEXO_VIRTUAL_BOARDS=replay_board(tmp_path / "take", mosaic),
               GST_PLUGIN_PATH=str(PLUGIN_DIR), GST_REGISTRY=str(tmp_path / "registry.bin"))
    result = subprocess.run(
        ["gst-launch-1.0", "-q", "vexosrc", f"config={cfg}", "num-buffers=1", "!",
         "vexoisp", f"config-file={cfg}", "!", "pngenc", "!", "filesink", f"location={png}"],
        env=env, capture_output=True, text=True, timeout=120)
    assert result.returncode == 0, result.stdout + result.stderr
    image = cv2.imread(str(png), cv2.IMREAD_UNCHANGED)
    assert image is not None and image.shape == (h, w, 3)
    errors, got = chart_errors(image[:, :, ::-1])
    if white_balance == "manual":
        assert errors.mean() <= 1.0, errors
    else:
        assert errors.mean() <= 3.0, errors
        assert np.abs(got[list(NEUTRALS)][:, 1:]).max() <= 2.0
