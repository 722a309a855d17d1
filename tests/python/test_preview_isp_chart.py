"""`vexo preview` of a 10-bit virtual board looking at the colour chart, through the ISP, as
headless Chromium shows it: the patches of a screenshot of the page's picture in the chart's
colours (CIEDE2000, skimage), and the white-balance gains the page reports.

The board's sensor is set as test_isp_figures sets it (black level 64, a warm illuminant, a
sensor matrix, read noise, power-on exposure, where white lands at the white level); the
camera file's [colour] section undoes that. The page's picture has been through JPEG (quality
85, 4:2:0) and the browser's scaling, so the limits are those of the ISP's own figures plus
what the compression costs.
"""
import base64
import json
import os
import select
import shutil
import subprocess
import time
import urllib.request

import numpy as np
import pytest

cv2 = pytest.importorskip("cv2")
pytest.importorskip("skimage.color")

from conftest import BUILD  # noqa: E402
from test_isp_figures import (GAINS, NEUTRALS, SENSOR_MATRIX, camera_file,  # noqa: E402
                              chart_errors, inverse_ccm)

TOOL = BUILD / "tools" / "vexo"
CHROMIUM = "/usr/bin/chromium"
TOKEN = "chart-test-token"

# The page's picture on the screen: the canvas's drawn area (it keeps the frame's aspect).
PROBE = """(() => {
  const c = document.getElementById('picture'), r = c.getBoundingClientRect();
  const s = Math.min(r.width / c.width, r.height / c.height);
  const w = c.width * s, h = c.height * s;
  return JSON.stringify({x: r.left + (r.width - w) / 2, y: r.top + (r.height - h) / 2, w, h,
                         cw: c.width, frame: document.getElementById('frameNumber').textContent,
                         colour: !document.getElementById('ispPanel').hidden,
                         gains: document.getElementById('ispGains').textContent});
})()"""


def chart_board(width, height):
    """A virtual board whose sensor looks at the chart, at 30 frames/s."""
    return json.dumps({"boards": [{
        "scene": "chart",
        "sensor": {"blackLevel": 64, "gains": GAINS.tolist(), "readNoise": 2, "seed": 1,
                   "matrix": SENSOR_MATRIX.ravel().tolist()},
        "stream": {"width": width, "height": height, "format": "RAW", "pixelBytes": 2,
                   "pixelBits": 10, "fps": 30}}]})


class DevTools:
    """Chromium driven over --remote-debugging-pipe: commands to its fd 3, answers from its
    fd 4, each message ended by a NUL byte."""

    def __init__(self, profile):
        to_browser, self._send = os.pipe()
        self._receive, from_browser = os.pipe()

        def wire():
            os.dup2(to_browser, 100)
            os.dup2(from_browser, 101)
            os.dup2(100, 3)
            os.dup2(101, 4)

        self.process = subprocess.Popen(
            [CHROMIUM, "--headless", "--no-sandbox", "--disable-gpu", "--no-first-run",
             "--disable-background-networking", "--disable-component-update", "--disable-sync",
             "--remote-debugging-pipe", "--window-size=1280,800", f"--user-data-dir={profile}",
             "about:blank"],
            preexec_fn=wire, close_fds=False, stdout=subprocess.DEVNULL,
            stderr=subprocess.DEVNULL)
        os.close(to_browser)
        os.close(from_browser)
        self._id = 0
        self._buffer = b""
        self.session = None

    def call(self, method, params=None, timeout=30):
        self._id += 1
        message = {"id": self._id, "method": method, "params": params or {}}
        if self.session:
            message["sessionId"] = self.session
        os.write(self._send, json.dumps(message).encode() + b"\0")
        deadline = time.monotonic() + timeout
        while True:
            while b"\0" in self._buffer:
                text, self._buffer = self._buffer.split(b"\0", 1)
                answer = json.loads(text)
                if answer.get("id") == self._id:
                    return answer.get("result", {})
            left = deadline - time.monotonic()
            assert left > 0, f"no answer to {method}"
            if select.select([self._receive], [], [], left)[0]:
                chunk = os.read(self._receive, 1 << 20)
                assert chunk, "the browser went away"
                self._buffer += chunk

    def close(self):
        os.close(self._send)
        os.close(self._receive)
        self.process.terminate()
        self.process.wait(timeout=30)


def start_preview(cfg, boards):
    env = dict(os.environ, VEXO_VIRTUAL_BOARDS=boards)
    preview = subprocess.Popen(
        [str(TOOL), "preview", "-c", str(cfg), "--listen", "127.0.0.1:0", "--token", TOKEN],
        env=env, stdout=subprocess.PIPE, stderr=subprocess.PIPE, text=True)
    for _ in range(20):
        line = preview.stdout.readline()
        if line.startswith("open "):
            return preview, line.split()[1]
        assert line, preview.stderr.read()
    raise AssertionError("the preview printed no address")


@pytest.mark.skipif(not os.access(CHROMIUM, os.X_OK), reason="no " + CHROMIUM)
@pytest.mark.parametrize("white_balance", ["manual", "auto"])
def test_preview_page_shows_the_chart_in_its_colours(tmp_path, white_balance):
    wb = ("white_balance = " + " ".join(f"{1 / g:.9f}" for g in GAINS)
          if white_balance == "manual" else "white_balance = auto")
    w, h = 600, 400
    cfg = tmp_path / "sensor.cfg"
    cfg.write_text(camera_file(w, h, 10, f"black_level = 64\n{wb}\nccm = {inverse_ccm()}"))
    preview, url = start_preview(cfg, chart_board(w, h))
    browser = DevTools(tmp_path / "profile")
    try:
        targets = browser.call("Target.getTargets")["targetInfos"]
        page = next(t["targetId"] for t in targets if t["type"] == "page")
        browser.session = browser.call("Target.attachToTarget",
                                       {"targetId": page, "flatten": True})["sessionId"]
        browser.call("Page.navigate", {"url": url})
        probe = {}
        for _ in range(80):  # the first frames within seconds, even on a loaded machine
            time.sleep(0.25)
            value = browser.call("Runtime.evaluate", {"expression": PROBE})["result"]
            probe = json.loads(value.get("value", "{}"))
            if probe.get("frame", "").isdigit() and probe["cw"] == w and probe["colour"]:
                break
        assert probe.get("frame", "").isdigit() and probe["colour"], probe
        time.sleep(1)  # automatic white balance has seen a few frames
        shot = browser.call("Page.captureScreenshot", {
            "format": "png", "clip": {"x": probe["x"], "y": probe["y"], "width": probe["w"],
                                      "height": probe["h"], "scale": 1}})
        png = base64.b64decode(shot["data"])
        (tmp_path / "page_picture.png").write_bytes(png)
        stats = json.loads(urllib.request.urlopen(url.split("?")[0] + "stats.json").read())
    finally:
        browser.close()
        preview.terminate()
        preview.wait(timeout=30)
    if os.environ.get("VEXO_KEEP_SCREENSHOTS"):
        shutil.copy(tmp_path / "page_picture.png",
                    os.path.join(os.environ["VEXO_KEEP_SCREENSHOTS"],
                                 f"preview_chart_{white_balance}.png"))

    shown = cv2.imdecode(np.frombuffer(png, np.uint8), cv2.IMREAD_COLOR)
    assert shown is not None and shown.shape[0] > h // 2, "the screenshot holds no picture"
    rgb = cv2.resize(shown, (w, h), interpolation=cv2.INTER_AREA)[:, :, ::-1]
    errors, got = chart_errors(rgb)
    print(f"{white_balance} white balance on the page: mean dE2000 {errors.mean():.2f}, "
          f"max {errors.max():.2f}")
    isp = stats["shown"]["isp"]
    assert isp["whiteBalance"] == white_balance
    if white_balance == "manual":
        assert np.allclose(isp["gains"], 1 / GAINS, rtol=1e-6)
        assert errors.mean() <= 1.5, errors
    else:
        # The gains found undo the illuminant to within a few percent.
        assert np.abs(np.array(isp["gains"]) * GAINS / (isp["gains"][1] * GAINS[1]) - 1).max() < 0.05
        assert errors.mean() <= 3.5, errors
        assert np.abs(got[list(NEUTRALS)][:, 1:]).max() <= 2.5
