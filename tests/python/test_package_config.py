"""vexo.config reads camera configuration files as the C++ loader in tools/config/ does: same
values for every example file, same one-line message for every mistake."""
import shutil
import subprocess
from pathlib import Path

import pytest

import vexo
from conftest import ROOT
from vexo.config import ConfigError, load_config, parse_config

EXAMPLES = sorted((ROOT / "examples" / "configs").glob("*.cfg"))

# Prints what loadCameraFile() made of each file named on the command line, one block per file.
DUMP_SOURCE = r"""
#include "config/camera_file.h"
#include <cstdio>
int main(int argc, char** argv) {
    using namespace vexo::tools;
    for (int i = 1; i < argc; ++i) {
        CameraFile f;
        std::string error;
        if (!loadCameraFile(argv[i], f, error)) {
            std::printf("error %s\n", error.c_str());
            continue;
        }
        const CameraConfig& c = f.config;
        std::printf("ok %s|%u %u %u %u %u %u %u %u %u %u %u %u %d\n", f.name.c_str(),
                    c.u32Width, c.u32Height, (unsigned)c.emImageFmtMode, c.u32I2cAddr,
                    (unsigned)c.emI2cMode, c.u8PixelBytes, c.u8PixelBits, c.u32TransLvl,
                    c.u32CameraType, c.u16Vid, c.usbType, c.u32Size, (int)f.bayer);
        for (const RegisterStep& s : f.registers)
            std::printf(" reg %d %u %u %u\n", s.kind == RegisterStep::Kind::Delay, s.address,
                        s.value, s.line);
        for (const BoardCommand& b : f.boardCommands) {
            std::printf(" board %u %u %u %u", b.request, b.value, b.index, b.line);
            for (uint8_t d : b.data) std::printf(" %u", d);
            std::printf("\n");
        }
    }
}
"""


def python_dump(path):
    """The same text as DUMP_SOURCE prints, from vexo.config."""
    try:
        c = load_config(path)
    except ConfigError as e:
        return f"error {e}\n"
    d = c.to_dict()
    out = (f"ok {c.name}|{c.width} {c.height} {int(c.format)} {c.i2c_address} "
           f"{int(c.i2c_mode)} {c.pixel_bytes} {c.pixel_bits} {c.transfer_level} "
           f"{c.camera_type} {c.sensor_vid} {d['usbType']} {d['u32Size']} {int(c.bayer)}\n")
    for s in c.registers:
        out += f" reg {int(s.delay)} {s.address} {s.value} {s.line}\n"
    for b in c.board_commands:
        out += f" board {b.request} {b.value} {b.index} {b.line}" + \
            "".join(f" {x}" for x in b.data) + "\n"
    return out


@pytest.fixture(scope="module")
def cpp_loader(tmp_path_factory):
    """Runs the C++ loader on files: compiled from tools/config/ for this test."""
    compiler = shutil.which("g++") or shutil.which("c++")
    if compiler is None:
        pytest.skip("no C++ compiler to build the C++ loader with")
    work = tmp_path_factory.mktemp("loader")
    (work / "dump.cpp").write_text(DUMP_SOURCE)
    exe = work / "dump"
    subprocess.run([compiler, "-std=c++20", "-O0", "-I", str(ROOT / "tools"),
                    "-I", str(ROOT / "include"), str(work / "dump.cpp"),
                    str(ROOT / "tools" / "config" / "camera_file.cpp"), "-o", str(exe)],
                   check=True, capture_output=True, timeout=300)

    def run(paths):
        proc = subprocess.run([str(exe)] + [str(p) for p in paths], capture_output=True,
                              text=True, check=True, timeout=60)
        return proc.stdout
    return run


# Each text differs from a good file in one way; most are mistakes.
GOOD = """[camera]
width = 320
height = 240
format = RAW
i2c_address = 0x20
i2c_mode = 16_8
"""

VARIANTS = {
    "good": GOOD,
    "every_key": GOOD + "name = x y\npixel_bytes = 2\npixel_bits = 10\nbayer = gbrg\n"
                 "transfer_level = 0x10\ncamera_type = 4294967295\nsensor_vid = 0xFFFF\n",
    "names_in_any_case": GOOD.replace("RAW", "format_mode_mon_d").replace("16_8", "i2c_mode_8_16")
                         + "bayer = raw_bg\n",
    "crlf_and_comments": GOOD.replace("\n", "  # note\r\n") + "[registers]\r\n0x10 0xFF\r\n",
    "sections_in_any_order": "[board]\n0xA1 0 0\n[registers]\ndelay 60000\n0x3000 0x12\n"
                             + GOOD.replace("[camera]", "[ Camera ]"),
    "board_data": GOOD + "[board]\n0xD7 0x4600 0x0300 0x40 1 2 0xff\n",
    "no_camera": "[registers]\n0x10 0x20\n",
    "empty": "",
    "text_first": "width = 3\n" + GOOD,
    "unknown_key": GOOD + "widht = 640\n",
    "twice": GOOD + "width = 640\n",
    "no_value": GOOD + "name =\n",
    "not_key_value": GOOD + "width 640\n",
    "width_zero": GOOD.replace("320", "0"),
    "width_big": GOOD.replace("320", "16385"),
    "negative": GOOD.replace("320", "-1"),
    "bare_0x": GOOD.replace("320", "0x"),
    "octal_ok": GOOD.replace("320", "0320"),
    "hex_upper": GOOD.replace("320", "0X1A0"),
    "pixel_bytes_3": GOOD + "pixel_bytes = 3\n",
    "pixel_bytes_0": GOOD + "pixel_bytes = 0\n",
    "pixel_bits_0": GOOD + "pixel_bits = 0\n",
    "pixel_bits_too_many": GOOD + "pixel_bits = 9\n",
    "pixel_bits_17": GOOD + "pixel_bytes = 2\npixel_bits = 17\n",
    "bad_format": GOOD.replace("RAW", "BMP"),
    "bad_bayer": GOOD + "bayer = RGBG\n",
    "bad_mode": GOOD.replace("16_8", "16_9"),
    "address_256": GOOD.replace("0x20", "256"),
    "missing_mode": GOOD.replace("i2c_mode = 16_8\n", ""),
    "missing_two": "# lead\n\n" + GOOD.replace("width = 320\n", "").replace("format = RAW\n", ""),
    "header_open": GOOD + "[registers\n",
    "unknown_section": GOOD + "[sensor]\n",
    "section_twice": GOOD + "[camera]\n",
    "reg_value_wide": GOOD + "[registers]\n0x3000 0x100\n",
    "reg_address_wide_8_8": GOOD.replace("16_8", "8_8") + "[registers]\n0x100 1\n",
    "reg_16_32": GOOD.replace("16_8", "16_32") + "[registers]\n0xFFFF 0xFFFFFFFF\n",
    "reg_address_17_bits": GOOD + "[registers]\n0x10000 1\n",
    "reg_three_words": GOOD + "[registers]\n1 2 3\n",
    "delay_words": GOOD + "[registers]\nDELAY\n",
    "delay_long": GOOD + "[registers]\ndelay 60001\n",
    "board_short": GOOD + "[board]\n0xD7 0x4600\n",
    "board_request_wide": GOOD + "[board]\n0x1D7 0 0\n",
    "board_byte_wide": GOOD + "[board]\n0xD7 0 0 1 256\n",
    "board_too_long": GOOD + "[board]\n0xD7 0 0" + " 1" * 4097 + "\n",
    "mode_late_checks_registers": "[registers]\n0x3000 0x1234\n" + GOOD.replace("16_8", "16_16"),
}


class TestAgreesWithTheCppLoader:
    def test_example_files(self, cpp_loader):
        assert EXAMPLES, "examples/configs/ holds no .cfg file"
        expected = cpp_loader(EXAMPLES)
        assert expected.count("ok ") == len(EXAMPLES)
        assert "".join(python_dump(p) for p in EXAMPLES) == expected

    def test_variants_and_mistakes(self, cpp_loader, tmp_path):
        paths = []
        for name, text in VARIANTS.items():
            path = tmp_path / f"{name}.cfg"
            path.write_bytes(text.encode())
            paths.append(path)
        paths.append(tmp_path / "missing.cfg")
        expected = cpp_loader(paths)
        got = "".join(python_dump(p) for p in paths)
        assert got == expected
        # the set above exercises both outcomes
        assert 10 < got.count("error ") < len(paths) - 3


class TestDocumentedValues:
    """What docs/camera-config.md says about the example files, without the C++ loader."""

    def test_virtual_default(self):
        c = load_config(ROOT / "examples/configs/virtual-default.cfg")
        assert c.to_dict() == vexo.default_config().to_dict()
        assert (c.width, c.height, c.format, c.bayer) == (640, 480, vexo.Format.RAW,
                                                          vexo.Bayer.RG)
        assert (c.i2c_address, c.i2c_mode, c.pixel_bits) == (0x20, vexo.I2cMode.M16_8, 8)
        assert [(s.address, s.value) for s in c.registers] == \
            [(0x0100, 0), (0x3012, 0x40), (0x3013, 0x02), (0x0100, 1)]

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
