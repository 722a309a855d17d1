"""vexo.config: the vexo tool's loader seen from Python, as Config values and ConfigError."""
import pytest

import vexo
from conftest import ROOT
from vexo.config import ConfigError, load_config, parse_config

GOOD = """[camera]
width = 320
height = 240
format = RAW
i2c_address = 0x20
i2c_mode = 16_8
"""


class TestDocumentedValues:
    """What docs/camera-config.md says about the example files and the messages."""

    def test_virtual_default(self):
        c = load_config(ROOT / "examples/configs/virtual-default.cfg")
        assert c.to_dict() == vexo.default_config().to_dict()
        assert (c.width, c.height, c.format, c.bayer) == (640, 480, vexo.Format.RAW,
                                                          vexo.Bayer.RG)
        assert (c.i2c_address, c.i2c_mode, c.pixel_bits) == (0x20, vexo.I2cMode.M16_8, 8)
        assert [(s.address, s.value) for s in c.registers] == \
            [(0x0100, 0), (0x3012, 0x40), (0x3013, 0x02), (0x0100, 1)]

    def test_every_part_of_a_file(self):
        c = load_config(ROOT / "examples/configs/usb2-mono10.cfg")
        assert (c.name, c.format, c.pixel_bytes, c.pixel_bits, c.i2c_mode) == \
            ("usb2-mono10", vexo.Format.MON, 2, 10, vexo.I2cMode.M16_16)
        assert c.registers[1] == vexo.RegisterStep(0, 10, delay=True, line=18)
        assert c.board_commands == [vexo.BoardCommand(0xD7, 0x4600, 0x0300, b"@", line=25)]
        assert c.source.endswith("usb2-mono10.cfg")
        # bytes that are not UTF-8 come back as they were given
        assert parse_config(GOOD.encode() + b"name = \xff\n").name == "\udcff"

    def test_messages_name_file_and_line(self, tmp_path):
        path = tmp_path / "my.cfg"
        path.write_text(GOOD + "widht = 640\n")
        with pytest.raises(ConfigError) as e:
            load_config(path)
        assert str(e.value) == f"{path}:7: unknown key 'widht' in [camera]"
        assert (e.value.line, e.value.message) == (7, "unknown key 'widht' in [camera]")
        with pytest.raises(ConfigError, match=r"^s: no \[camera\] section$"):
            parse_config("", "s")
        with pytest.raises(ConfigError, match=r"^s:1: \[camera\] lacks the key 'i2c_address'$"):
            parse_config(GOOD.replace("i2c_address = 0x20\n", ""), "s")
        with pytest.raises(ConfigError, match="No such file"):
            load_config(tmp_path / "absent.cfg")
        with pytest.raises(ConfigError, match="Is a directory") as e:
            load_config(tmp_path)
        assert e.value.line is None
