"""vexo.SyncGroup: the rig of the C++ sync group's tests (three boards with their own clock
offsets and jitter, one losing frames to damaged headers) through the Python package, blocking
and with asyncio. Every board stamps each frame with its trigger's index, so the sets are
checked against the truth: one stamp per set, set k answering trigger k, lost frames leaving
their sets incomplete."""
import json

from conftest import run_python

SERIALS = ["PY-SYNC-A", "PY-SYNC-B", "PY-SYNC-C"]


def rig(line):
    boards = []
    for serial, offset in zip(SERIALS, (1500, -1000, 300)):
        board = {"serial": serial, "productId": "0x52CB",
                 "stream": {"stamp": True, "width": 64, "height": 48},
                 "clock": {"offsetUs": offset, "jitterUs": 50}}
        if serial == "PY-SYNC-B":
            board["faults"] = [{"kind": "corruptHeader", "atFrame": 5, "count": 3}]
        boards.append(board)
    doc = {"boards": boards}
    if line:
        doc["rig"] = {"triggerHz": 30}
    return doc


CHECK = """
import asyncio, json, struct
import vexo

def stamps(s):
    return sorted({struct.unpack_from("<I", f.data)[0] for f in s.frames})

def summary(sets, group):
    return {"sets": [{"index": s.index, "trigger": s.trigger, "complete": s.complete,
                      "boards": [f.board for f in s.frames], "stamps": stamps(s),
                      "shape": list(s.frames[0].array.shape) if s.frames else None}
                     for s in sets],
            "stats": group.stats()}
"""


def run(code, line):
    proc = run_python(CHECK + code, rig(line))
    assert proc.returncode == 0, proc.stderr
    return json.loads(proc.stdout.strip().splitlines()[-1])


def check_sets(result):
    seen_b = set()
    for s in result["sets"]:
        assert len(s["stamps"]) <= 1, f"set {s['index']} mixes instants: {s}"
        assert s["complete"] == (s["boards"] == [0, 1, 2]), s
        if 1 in s["boards"]:
            seen_b.update(s["stamps"])
        assert s["shape"] in (None, [48, 64])
    lost = [s for s in result["sets"] if s["stamps"] and s["stamps"][0] not in seen_b]
    assert len(lost) >= 3 and not any(s["complete"] for s in lost)
    stats = result["stats"]
    assert stats["complete"] + stats["incomplete"] == len(result["sets"])
    assert stats["boards"][1]["frame_errors"] >= 1
    return result


def test_software_triggers_give_one_set_each_with_their_index():
    result = check_sets(run("""
with vexo.SyncGroup(%r, trigger="soft", rate=30, sets=20,
                    config=vexo.Config(width=64, height=48)) as group:
    sets = list(group)
    print(json.dumps(summary(sets, group)))
""" % SERIALS, line=False))
    assert [s["trigger"] for s in result["sets"]] == list(range(20))
    for s in result["sets"]:
        assert s["stamps"] in ([], [s["trigger"]]), s
    assert result["stats"]["triggers"] == 20


def test_asyncio_sets_from_the_shared_line():
    result = check_sets(run("""
async def main():
    sets = []
    async with vexo.SyncGroup(%r, trigger="external", rate=30,
                              config=vexo.Config(width=64, height=48)) as group:
        async for s in group.asets():
            sets.append(s)
            if len(sets) == 24:
                break
        return summary(sets, group)

print(json.dumps(asyncio.run(main())))
""" % SERIALS, line=True))
    assert len(result["sets"]) == 24
