"""cam.controls: the named controls of a camera file, set and read from Python through the
library's NamedControls, checked against the vexo tool (`vexo ctrl --set`) and the sensor's
registers; mistakes refused as the library's rule says."""
import json
import math
import os
import subprocess

import pytest

import vexo
from conftest import BUILD, RAW_USB3, ROOT

TOOL = BUILD / "tools" / "vexo"
EXAMPLE = ROOT / "examples/configs/sensor-controls.cfg"
DEFAULT = ROOT / "examples/configs/virtual-default.cfg"

# Other settings sharing the controls' registers: a write must leave these bits alone.
BACKGROUND = {0x3502: 0x0A, 0x3508: 0xF8, 0x4008: 0xFC, 0x3820: 0x81, 0x5080: 0x15}
REGISTERS = (0x3500, 0x3501, 0x3502, 0x3508, 0x3509, 0x4008, 0x4009, 0x5001, 0x3820, 0x5080,
             0x0104)
# Every register of the controls as a test starts (the tests' boards keep their registers from
# one open to the next).
START = {a: BACKGROUND.get(a, 0) for a in REGISTERS}


def with_startup(text, registers):
    """A camera file's text with @registers written first at start-up."""
    lines = "".join(f"0x{a:04X} 0x{v:02X}\n" for a, v in registers.items())
    if "[registers]\n" in text:
        return text.replace("[registers]\n", f"[registers]\n{lines}", 1)
    return text.replace("[controls]", f"[registers]\n{lines}\n[controls]", 1)


@pytest.fixture(scope="module")
def started(tmp_path_factory):
    """Each example file with START written at start-up, by the example's path."""
    folder = tmp_path_factory.mktemp("controls")
    paths = {}
    for example in (EXAMPLE, DEFAULT):
        paths[example] = folder / example.name
        paths[example].write_text(with_startup(example.read_text(), START))
    return paths


@pytest.fixture(scope="module")
def example_file(started):
    return started[EXAMPLE]


def tool_ctrl(registers, *sets, example=EXAMPLE):
    """`vexo ctrl -c EXAMPLE --set ... --json` on a virtual board whose sensor starts with
    @registers: name -> value read back."""
    args = [str(TOOL), "ctrl", "-c", str(example), "--json"]
    for s in sets:
        args += ["--set", s]
    preset = {f"0x{a:04X}": f"0x{v:02X}" for a, v in registers.items()}
    board = {"boards": [{"sensor": {"registers": preset}}]}
    env = dict(os.environ, VEXO_VIRTUAL_BOARDS=json.dumps(board))
    run = subprocess.run(args, env=env, capture_output=True, text=True, timeout=60)
    assert run.returncode == 0, run.stderr
    return {entry["name"]: entry["value"] for entry in json.loads(run.stdout)}


def cases():
    """Every control of the examples at min, max, default and a middle value; numbers past
    both ends (clamped); a value between steps; menu entries by name."""
    for example in (EXAMPLE, DEFAULT):
        for c in vexo.load_config(example).controls:
            if c.type == "menu":
                values = [name for name, _ in c.menu]
            elif c.type == "boolean":
                values = [False, True, "on"]
            else:
                middle = c.min + (c.max - c.min) / 2
                values = [c.min, c.max, c.default, middle, c.min - 100, c.max * 4,
                          c.min + c.step * 1.4]
            for v in values:
                yield pytest.param(example, c.name, v, id=f"{example.stem}:{c.name}={v}")


@pytest.mark.skipif(not TOOL.exists(), reason="the vexo tool is not built")
@pytest.mark.parametrize("example, name, value", list(cases()))
def test_python_tool_and_registers_agree(started, example, name, value):
    with vexo.open(RAW_USB3, config=started[example]) as cam:
        applied = cam.controls[name].set(value)
        after = cam.controls.values_now()
        raw = {a: cam.registers[a] for a in REGISTERS}
    assert after[name] == applied
    # The tool, given the same setting on a sensor holding the same bytes, reads back the same
    # value of every control...
    setting = value if isinstance(value, str) else repr(float(value))
    if isinstance(value, bool):
        setting = "on" if value else "off"
    assert tool_ctrl(START, f"{name}={setting}", example=example) == pytest.approx(after)
    # ... and so does a sensor that starts with the register bytes Python left behind (the
    # group hold released).
    assert raw[0x0104] == 0
    assert tool_ctrl(raw, example=example) == pytest.approx(after)


@pytest.mark.parametrize("name, value, registers", [
    # 70000 lines clamp to 65535 = 0x0FFFF in bits 4..23; 0x3502's low nibble is kept.
    ("exposure", 70000, {0x3500: 0x0F, 0x3501: 0xFF, 0x3502: 0xFA}),
    ("exposure", 0x1234, {0x3500: 0x01, 0x3501: 0x23, 0x3502: 0x4A}),
    # 3.3 x on a 1/128 grid: 422 = 0x1A6, in bits 0..10 of 0x3508 (high), 0x3509.
    ("analogue_gain", 3.3, {0x3508: 0xF9, 0x3509: 0xA6}),
    # 510 goes to the nearest step of 4 (512 = 0x200); 0x4009 holds the low byte.
    ("black_level", 510, {0x4009: 0x00, 0x4008: 0xFE}),
    ("brightness", -7, {0x5001: 57}),
    ("flip", True, {0x3820: 0x85}),
    ("test_pattern", "noise", {0x5080: 0xD5}),
])
def test_register_bytes(example_file, name, value, registers):
    with vexo.open(RAW_USB3, config=example_file) as cam:
        cam.controls[name] = value
        assert {a: cam.registers[a] for a in registers} == registers


class TestRule:
    """Refusals leave the sensor as it was; the description is the file's."""

    @pytest.fixture
    def cam(self, example_file):
        with vexo.open(RAW_USB3, config=example_file) as cam:
            yield cam

    def registers(self, cam):
        return {a: cam.registers[a] for a in REGISTERS}

    @pytest.mark.parametrize("setting, error", [
        ({"test_pattern": 7}, ValueError),          # not on the menu
        ({"test_pattern": "stripes"}, ValueError),  # no such entry
        ({"exposure": math.nan}, ValueError),
        ({"exposure": "fast"}, ValueError),
        ({"exposure": None}, TypeError),
        ({"shutter": 1}, KeyError),
        # set() checks every name and text before writing anything
        ({"exposure": 5, "flip": "maybe"}, ValueError),
        ({"exposure": 5, "nope": 1}, KeyError),
    ])
    def test_refused_settings_write_nothing(self, cam, setting, error):
        before = self.registers(cam)
        with pytest.raises(error):
            if len(setting) == 1:
                (name, value), = setting.items()
                cam.controls[name] = value
            else:
                cam.controls.set(**setting)
        assert self.registers(cam) == before

    def test_clamping_and_callbacks(self, cam):
        seen = []
        cam.controls.on_change(lambda name, value: seen.append((name, value)))
        applied = cam.controls.set(exposure=-5, analogue_gain=1e300, brightness=2**2000,
                                   test_pattern="fade", mirror=0.5)
        assert applied == {"exposure": 1, "analogue_gain": 15.5, "brightness": 63,
                           "test_pattern": 2, "mirror": True}
        assert seen == list(applied.items())
        assert cam.controls["test_pattern"].text == "fade"
        assert cam.controls["analogue_gain"].reset() == 2.0
        assert type(cam.controls["analogue_gain"].value) is float

    def test_description(self, cam):
        gain = cam.controls["analogue_gain"]
        assert (gain.type, gain.unit, gain.min, gain.max, gain.step, gain.default) == \
            ("float", "x", 1.0, 15.5, 1 / 128, 2.0)
        assert (gain.registers, gain.bits, gain.scale) == ((0x3508, 0x3509), (0, 11), 128)
        pattern = cam.controls["test_pattern"]
        assert pattern.menu == (("off", 0), ("bars", 1), ("fade", 2), ("noise", 3))
        assert list(cam.controls) == [c.name for c in cam.config.controls]
        table = cam.controls.table()
        assert [t["name"] for t in table] == list(cam.controls)
        assert table[-1]["menu"] == ["off", "bars", "fade", "noise"]

    def test_a_closed_camera_refuses(self, cam):
        controls = cam.controls
        cam.close()
        with pytest.raises(ValueError, match="closed"):
            controls["exposure"].value


def test_a_camera_without_controls():
    with vexo.open(RAW_USB3, config=vexo.Config()) as cam:
        assert len(cam.controls) == 0
        with pytest.raises(KeyError):
            cam.controls["exposure"] = 1


@pytest.mark.parametrize("entry, why", [
    ("gain min=0 max=10 default=11 registers=0x3000", "default"),
    ("gain min=0 max=10 step=0 registers=0x3000", "step"),
    ("gain min=0 max=10 registers=0x3000 lua=set_gain", "either"),
    ("gain min=0 max=10 registers=0x123456", "address"),
    ("a min=0 max=1 registers=0x3000 bits=0\nb min=0 max=1 registers=0x3000 bits=0", "overlaps"),
])
def test_malformed_controls_name_file_and_line(tmp_path, entry, why):
    path = tmp_path / "bad.cfg"
    head = ("[camera]\nwidth = 64\nheight = 48\nformat = RAW\ni2c_address = 0x20\n"
            "i2c_mode = 16_8\n[controls]\n")
    path.write_text(head + entry + "\n")
    with pytest.raises(vexo.ConfigError) as info:
        vexo.load_config(path)
    line = head.count("\n") + entry.count("\n") + 1
    assert info.value.line == line
    assert str(info.value).startswith(f"{path}:{line}: ")
    assert why in info.value.message


def test_controls_set_beside_a_stream(example_file):
    """A control set from another thread while frames stream: the frames arrive in order,
    and the sensor holds the last value set."""
    import threading

    with vexo.open(RAW_USB3, config=example_file) as cam:
        done = threading.Event()
        values = []

        def setter():
            v = 1
            while not done.is_set() and v < 4000:
                values.append(cam.controls["exposure"].set(v))
                v += 7

        thread = threading.Thread(target=setter)
        thread.start()
        stamps = [f.timestamp for f in cam.frames(40)]
        done.set()
        thread.join()
        assert len(stamps) == 40 and stamps == sorted(set(stamps))
        assert values and values == sorted(values)
        assert cam.controls["exposure"].value == values[-1]


def test_lua_controls_call_the_cameras_scripts(tmp_path):
    """A lua= control runs the script registered on the camera (through VexoSDK's copy of the
    library); its value is the one last set; a failing script raises RuntimeError."""
    import ctypes

    import VexoSDK

    class CtrlRecord(ctypes.Structure):  # the control host's record (docs/controls.md)
        _fields_ = [("minValue", ctypes.c_int64), ("maxValue", ctypes.c_int64),
                    ("callerData", ctypes.c_uint8 * 148), ("name", ctypes.c_char * 132),
                    ("script", ctypes.c_char_p)]

    path = tmp_path / "lua.cfg"
    path.write_text("[camera]\nwidth = 640\nheight = 480\nformat = RAW\ni2c_address = 0x20\n"
                    "i2c_mode = 16_8\n[controls]\n"
                    "gain min=0 max=200 default=10 lua=gain\n"
                    "broken min=0 max=1 lua=broken\n")
    script = ("function gain(v) writeReg(0x3060, math.floor(v)) end "
              "function broken(v) error('no') end")
    recs = (CtrlRecord * 2)()
    for rec, (name, top) in zip(recs, (("gain", 100), ("broken", 1))):
        rec.name, rec.minValue, rec.maxValue, rec.script = name.encode(), 0, top, script.encode()
    with vexo.open(RAW_USB3, config=path) as cam:
        ptr = ctypes.cast(recs, ctypes.POINTER(CtrlRecord))
        assert VexoSDK.Py_Vexo_registerCtrls(cam.handle, ptr, 2) == 0
        assert cam.controls["gain"].value == 10  # the default, before a set
        assert cam.controls["gain"].set(150) == 150
        assert cam.registers[0x3060] == 100  # the record's own range clamps the script's
        with pytest.raises(RuntimeError, match="broken"):
            cam.controls["broken"] = 1
        assert cam.controls["gain"].value == 150


def test_the_default_boards_controls_change_its_picture(started):
    """The default virtual board's sensor exposes with its exposure and gain registers: set
    from Python, the frames that follow show the change."""
    import numpy as np

    def level(cam):
        # the sensor latches at a frame's start: the frames after the next show a change
        # (the mean: the moving marker and frame number weigh little in it)
        return float([f.array.mean() for f in cam.frames(4)][-1])

    with vexo.open(RAW_USB3, config=started[DEFAULT]) as cam:
        assert list(cam.controls) == ["exposure", "analogue_gain"]
        cam.controls.set(exposure=1024, analogue_gain=1)
        full = level(cam)
        assert cam.controls["exposure"].set(512) == 512
        assert level(cam) == pytest.approx(full / 2, rel=0.03)
        assert cam.controls["analogue_gain"].set(2) == 2.0
        assert level(cam) == pytest.approx(full, rel=0.03)
        assert cam.registers[0x0104] == 0  # the group hold is released after each set
