"""The module on the sample frame and on what it must leave alone. Run by
CTest with DHTFIX_SAMPLE and DHTFIX_EXAMPLES set."""

import os
import subprocess
import sys
from concurrent.futures import ThreadPoolExecutor

import pytest

import dhtfix

SAMPLE = open(os.environ["DHTFIX_SAMPLE"], "rb").read()
REPAIRED = SAMPLE[:0x14] + dhtfix.STANDARD_SEGMENT + SAMPLE[0x14:]  # its DQT at 0x14


@pytest.mark.parametrize("wrap", [bytes, bytearray, memoryview], ids=["bytes", "bytearray", "memoryview"])
def test_repairs_any_buffer(wrap):
    assert dhtfix.repair(wrap(SAMPLE)) == REPAIRED
    report = dhtfix.inspect(wrap(SAMPLE))
    assert report == dhtfix.Report("lacks_tables", 0x14, 1, (dhtfix.Image(0x14, "fits"),), 1, len(REPAIRED))


def test_a_repaired_frame_and_a_stream():
    assert dhtfix.repair(REPAIRED) is REPAIRED
    assert dhtfix.inspect(REPAIRED).verdict == "has_tables"
    stream = SAMPLE * 3
    assert dhtfix.repair(stream) == REPAIRED * 3
    report = dhtfix.inspect(stream)
    assert (report.images, report.fitting) == (3, 3)
    assert [i.offset for i in report.lacking] == [0x14 + n * len(SAMPLE) for n in range(3)]


@pytest.mark.parametrize("frame, verdict", [
    (b"", "too_short"),
    (b"\x89PNG\r\n\x1a\n" + bytes(100), "not_jpeg"),
    (SAMPLE[:2] + b"\x00" + SAMPLE[3:], "damaged"),
], ids=["empty", "not_a_jpeg", "damaged"])
def test_leaves_bad_input_as_it_is(frame, verdict):
    assert dhtfix.repair(frame) == frame
    assert dhtfix.inspect(bytearray(frame)).verdict == verdict
    with pytest.raises(TypeError):
        dhtfix.repair("not bytes")


def test_two_threads_at_once():
    with ThreadPoolExecutor(2) as pool:
        results = list(pool.map(dhtfix.repair, [SAMPLE] * 400))
    assert all(r == REPAIRED for r in results)


def test_the_capture_example(tmp_path):
    capture, out = tmp_path / "capture.mjpg", tmp_path / "repaired.mjpg"
    capture.write_bytes(SAMPLE * 2)
    example = os.path.join(os.environ["DHTFIX_EXAMPLES"], "repair_capture.py")
    run = subprocess.run([sys.executable, example, str(capture), str(out)], capture_output=True, text=True)
    assert run.returncode == 0, run.stderr
    assert out.read_bytes() == REPAIRED * 2
    assert "2 images, 2 repaired, 0 left alone" in run.stderr
