#!/usr/bin/python3
"""Remakes the seed inputs in fuzz/corpus/<target>/ from what the project's own programs write.

    fuzz/make_corpus.py [BUILD_DIR [GROUP...]]   (default: build; VEXO_BUILD_DIR works too)

GROUP is capture, recording, jpeg or controls (default: all of them).

It needs the build's vexo tool and usb_capture_demo (cmake --build BUILD --target vexo_cli
usb_capture_demo), umockdev-wrapper and editcap. Each seed is a real output cut to a small file:
- a USB capture of a virtual board read through libusb on an emulated usbfs (VEXO_USB_CAPTURE),
  as pcap (link types 220 and 189) and pcapng, for fuzz_capture_file; its events in the
  harness's framing for fuzz_usb_capture; its descriptor answers for fuzz_descriptors; its
  control exchanges and bulk reads as the driver's transfer records for fuzz_transfer_records
  and fuzz_libusb_requests; its stream's bulk reads for fuzz_assembly;
- recordings made by `vexo record` (their manifests, the files renamed to the harness's "f");
- JPEG frames taken by `vexo capture` from a JPG virtual board, for fuzz_jpeg_markers;
- the example configurations' texts for fuzz_controls' script strings.
"""
import json
import os
import shutil
import struct
import subprocess
import sys
import tempfile

ROOT = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))
CORPUS = os.path.join(ROOT, "fuzz", "corpus")
HEADER_220, HEADER_189 = 64, 48


def build_dir():
    if len(sys.argv) > 1 and sys.argv[1]:
        return os.path.abspath(sys.argv[1])
    return os.path.abspath(os.environ.get("VEXO_BUILD_DIR", os.path.join(ROOT, "build")))


def write(target, name, data):
    folder = os.path.join(CORPUS, target)
    os.makedirs(folder, exist_ok=True)
    with open(os.path.join(folder, name), "wb") as f:
        f.write(data)


def fresh(target):
    shutil.rmtree(os.path.join(CORPUS, target), ignore_errors=True)


# ---- USB capture -------------------------------------------------------------------------------

def read_pcap(path):
    with open(path, "rb") as f:
        data = f.read()
    magic, _, _, _, _, snaplen, link = struct.unpack_from("<IHHiIII", data, 0)
    assert magic == 0xA1B2C3D4 and link == 220, "expected a little-endian pcap of link type 220"
    events, at = [], 24
    while at + 16 <= len(data):
        sec, usec, caplen, length = struct.unpack_from("<IIII", data, at)
        events.append(((sec, usec, length), data[at + 16:at + 16 + caplen]))
        at += 16 + caplen
    return data[:24], events


def pcap_bytes(header, events, link=220):
    cut = HEADER_220 - HEADER_189 if link == 189 else 0
    out = bytearray(header[:20] + struct.pack("<I", link))
    for (sec, usec, length), ev in events:
        body = ev[:HEADER_189] + ev[HEADER_220:] if cut else ev
        out += struct.pack("<IIII", sec, usec, len(body), length - cut) + body
    return bytes(out)


def kind(ev):
    """(event type 'S'/'C', transfer type 2 control / 3 bulk, endpoint, id)."""
    return chr(ev[8]), ev[9], ev[10], struct.unpack_from("<Q", ev, 0)[0]


def trimmed(events, bulk_pairs):
    """Every control event and the first `bulk_pairs` bulk submissions with their completions."""
    kept, ids = [], set()
    for e in events:
        t, xfer, _, ident = kind(e[1])
        if xfer != 3:
            kept.append(e)
        elif t == "S" and len(ids) < bulk_pairs:
            ids.add(ident)
            kept.append(e)
        elif t != "S" and ident in ids:
            kept.append(e)
    return kept


def exchanges(events):
    """Control exchanges as (setup bytes, data the host sent, data the device answered) and bulk
    IN completions as (endpoint, bytes kept)."""
    setups, control, bulk = {}, [], []
    for _, ev in events:
        t, xfer, ep, ident = kind(ev)
        data = ev[HEADER_220:]
        if xfer == 2 and t == "S":
            setups[ident] = (ev[40:48], data)
        elif xfer == 2 and t == "C" and ident in setups:
            setup, sent = setups.pop(ident)
            control.append((setup, sent, data))
        elif xfer == 3 and t == "C" and ep & 0x80:
            bulk.append((ep, data))
    return control, bulk


def transfer_record(setup=b"\0" * 8, endpoint=0, data_length=0, timeout=5, data_offset=38):
    """The driver's 38-byte record, as the usb layer builds it (src/driver/driver_wire.h)."""
    return setup + struct.pack("<IBBIIIIII", timeout, 0, endpoint, 0, 0, 0, 0, data_offset,
                               data_length)


def capture_seeds(build, work):
    demo = os.path.join(build, "tests", "libusb", "usb_capture_demo")
    pcap = os.path.join(work, "board.pcap")
    env = dict(os.environ, VEXO_USB_CAPTURE=pcap, VEXO_USB_CAPTURE_DATA="128")
    subprocess.run(["sh", os.path.join(ROOT, "tests", "libusb", "usbfs_run.sh"), demo, "1"],
                   env=env, check=True, stdout=subprocess.DEVNULL)
    header, events = read_pcap(pcap)
    small = trimmed(events, 6)

    for t in ("fuzz_capture_file", "fuzz_usb_capture", "fuzz_descriptors",
              "fuzz_transfer_records", "fuzz_libusb_requests", "fuzz_assembly"):
        fresh(t)
    write("fuzz_capture_file", "board.pcap", pcap_bytes(header, small))
    write("fuzz_capture_file", "board189.pcap", pcap_bytes(header, small, 189))
    ng = os.path.join(work, "board.pcapng")
    small_path = os.path.join(work, "small.pcap")
    with open(small_path, "wb") as f:
        f.write(pcap_bytes(header, small))
    subprocess.run(["editcap", "-F", "pcapng", small_path, ng], check=True)
    with open(ng, "rb") as f:
        write("fuzz_capture_file", "board.pcapng", f.read())

    # fuzz_usb_capture: byte 0 picks the link type (odd: 220), then each event as a 2-byte
    # length and its bytes.
    for link, first in ((220, 1), (189, 0)):
        out = bytearray([first])
        for _, ev in small:
            body = ev if link == 220 else ev[:HEADER_189] + ev[HEADER_220:]
            out += struct.pack("<H", len(body)) + body
        write("fuzz_usb_capture", "board-%d.bin" % link, bytes(out))

    control, bulk = exchanges(events)
    # fuzz_descriptors: byte 0 picks the parse (0, 1: configuration, 2: BOS).
    for setup, _, answer in control:
        request_type, request, value = setup[0], setup[1], struct.unpack_from("<H", setup, 2)[0]
        if request_type != 0x80 or request != 6 or not answer:
            continue
        if value >> 8 == 2 and len(answer) > 9:
            write("fuzz_descriptors", "configuration-%d.bin" % (value & 0xFF), b"\0" + answer)
            write("fuzz_descriptors", "configuration-%d-alt.bin" % (value & 0xFF), b"\1" + answer)
        elif value >> 8 == 15:
            write("fuzz_descriptors", "bos.bin", b"\2" + answer)

    # The records the usb layer sent for these exchanges: a control record with its data stage
    # after it, and a direct read of each bulk endpoint.
    seen = set()
    records = []
    for setup, sent, answer in control:  # one of each request
        if setup[:2] in seen:
            continue
        seen.add(setup[:2])
        length = struct.unpack_from("<H", setup, 6)[0]
        stage = sent if not setup[0] & 0x80 else answer
        stage = (stage + b"\0" * length)[:length]
        if 38 + length > 0xFFF:  # the harness's lengths have 12 bits
            continue
        records.append(("control-%02d-%s" % (len(records), setup.hex()), 4,
                        transfer_record(setup, 0, length) + stage))
    bulk_read = bulk[0][1] if bulk else b""
    records.append(("direct-read", 10, transfer_record(endpoint=bulk[0][0] if bulk else 0x81,
                                                         data_offset=0)))
    for name, code, record in records:
        # fuzz_transfer_records: code index with the same-buffer bit, 12-bit in and out lengths.
        out_length = len(record) if code == 4 else len(bulk_read)
        head = bytes([code | 0x40 if code == 4 else code, len(record) & 0xFF, len(record) >> 8,
                      out_length & 0xFF, (out_length >> 8) & 0x0F])
        write("fuzz_transfer_records", name + ".bin", head + record)
        # fuzz_libusb_requests: selector (0 control, 2 direct), 16-bit out length, the record.
        selector = 0 if code == 4 else 2
        write("fuzz_libusb_requests", name + ".bin",
              bytes([selector]) + struct.pack("<H", out_length) + record)
    write("fuzz_libusb_requests", "usb-ids.bin", b"\4\0\0" + b"2a0e,52cb:03f1,04b4:00f1")
    write("fuzz_libusb_requests", "device-path.bin",
          b"\5\0\0" + b"\\\\?\\usb#vid_52cb&pid_03f1#libusb-003-117#"
          b"{ae18aa60-7f6a-11d4-97dd-00010229b959}")

    # fuzz_assembly: the default board's stream (640x480 RAW8, chunk framing): a configuration
    # header naming its frame size, then the first bulk reads as chunk-framed transfers.
    frame = 640 * 480
    head = bytes([255, 255, 1, 0, 0, 0x80, 0, 0]) + frame.to_bytes(3, "big")
    head += bytes([0x01, 0x00, 1, 0, 0, 0, 0])
    body = bytearray()
    for _, data in bulk[:24]:
        body += bytes([0x01]) + len(data).to_bytes(2, "big") + data
    write("fuzz_assembly", "chunk-raw8.bin", head + bytes(body))


# ---- recordings and frames from the tool ---------------------------------------------------------

def run_tool(build, args, boards, work):
    vexo = os.path.join(build, "tools", "vexo")
    env = dict(os.environ, VEXO_VIRTUAL_BOARDS=json.dumps({"boards": [boards]}))
    subprocess.run([vexo] + args, env=env, check=True, cwd=work, stdout=subprocess.DEVNULL)


def camera_file(work, name, width, height, pixel_bytes, bits, fmt):
    path = os.path.join(work, name)
    with open(path, "w") as f:
        f.write("[camera]\nwidth = %d\nheight = %d\npixel_bytes = %d\npixel_bits = %d\n"
                "format = %s\nbayer = GR\ni2c_address = 0x20\ni2c_mode = 16_8\n"
                % (width, height, pixel_bytes, bits, fmt))
    return path


def recording_seeds(build, work):
    fresh("fuzz_recording")
    cases = [("raw10", 8, 4, 2, 10, "RAW", ["--raw"]), ("dng10", 8, 4, 2, 10, "RAW", []),
             ("mon8", 8, 8, 1, 8, "MON", ["--raw"]), ("yuv", 4, 8, 1, 8, "YUV", [])]
    for name, w, h, pb, bits, fmt, extra in cases:
        cfg = camera_file(work, name + ".cfg", w, h, pb, bits, fmt)
        out = os.path.join(work, "rec-" + name)
        board = {"stream": {"width": w, "height": h, "pixelBytes": pb, "format": fmt}}
        run_tool(build, ["record", "-q", "-c", cfg, "-n", "3", "-o", out] + extra, board, work)
        with open(os.path.join(out, "manifest.json")) as f:
            manifest = json.load(f)
        manifest["configuration"]["source"] = name + ".cfg"
        # The harness keeps one 64-byte file "f" beside the manifest.
        for frame in manifest["frames"]:
            frame["file"] = "f"
            if frame.get("offset", 0) + frame["u32Size"] > 64:
                frame["offset"] = 0
        write("fuzz_recording", name + ".json", json.dumps(manifest, indent=1).encode())


def jpeg_seeds(build, work):
    fresh("fuzz_jpeg_markers")
    # Large enough for the chunk framing's end search, which looks at frames of 1026 bytes on.
    cfg = camera_file(work, "jpg.cfg", 64, 48, 1, 8, "JPG")
    board = {"stream": {"width": 64, "height": 48, "pixelBytes": 1, "format": "JPG"}}
    out = os.path.join(work, "jpg")
    os.makedirs(out)
    run_tool(build, ["capture", "-q", "-c", cfg, "-n", "1", "-o", out], board, work)
    jpgs = sorted(n for n in os.listdir(out) if n.endswith(".jpg"))
    with open(os.path.join(out, jpgs[0]), "rb") as f:
        frame = f.read()
    # Byte 0 picks how the rest becomes a frame: even, as it is.
    write("fuzz_jpeg_markers", "frame.bin", b"\0" + frame)


def control_seeds():
    fresh("fuzz_controls")
    for name in ("virtual-default.cfg", "usb2-mono10.cfg"):
        with open(os.path.join(ROOT, "examples", "configs", name), "rb") as f:
            write("fuzz_controls", name + ".bin", f.read()[:2048])


def camera_file_seeds():
    fresh("fuzz_camera_file")
    folder = os.path.join(ROOT, "examples", "configs")
    for name in sorted(os.listdir(folder)):
        if name.endswith(".cfg"):
            with open(os.path.join(folder, name), "rb") as f:
                write("fuzz_camera_file", name, f.read())


def main():
    build = build_dir()
    groups = sys.argv[2:] or ["capture", "recording", "jpeg", "controls", "configs"]
    with tempfile.TemporaryDirectory(prefix="vexo_corpus_") as work:
        if "capture" in groups:
            capture_seeds(build, work)
        if "recording" in groups:
            recording_seeds(build, work)
        if "jpeg" in groups:
            jpeg_seeds(build, work)
        if "controls" in groups:
            control_seeds()
        if "configs" in groups:
            camera_file_seeds()
    for target in sorted(os.listdir(CORPUS)):
        folder = os.path.join(CORPUS, target)
        sizes = [os.path.getsize(os.path.join(folder, n)) for n in os.listdir(folder)]
        print("%-24s %2d seeds, %6d bytes" % (target, len(sizes), sum(sizes)))


if __name__ == "__main__":
    main()
