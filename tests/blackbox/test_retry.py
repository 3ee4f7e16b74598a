"""The suite's own rule for bound tests: a failure gets one retry, alone,
and the run says so; other tests get none."""

import os
import subprocess
import sys
from pathlib import Path

HERE = Path(__file__).resolve().parent

TESTS = '''
import pytest
from pathlib import Path

COUNT = Path(__file__).with_name("count")


def runs(name):
    f = COUNT.with_suffix("." + name)
    n = int(f.read_text()) + 1 if f.exists() else 1
    f.write_text(str(n))
    return n


@pytest.mark.bound
def test_slow_once():
    assert runs("once") > 1, "the machine was busy"


@pytest.mark.bound
def test_slow_always():
    runs("always")
    assert False, "really too slow"


def test_plain_failure():
    runs("plain")
    assert False
'''


def test_a_failed_bound_test_runs_once_more_and_says_so(tmp_path):
    (tmp_path / "test_sample.py").write_text(TESTS)
    env = dict(os.environ, PYTHONPATH=str(HERE), EBBMARK_TEST_LOCK_DIR=str(tmp_path))
    run = subprocess.run([sys.executable, "-m", "pytest", "-q", "-p", "no:cacheprovider",
                          "-p", "conftest", "--rootdir", str(tmp_path), str(tmp_path)],
                         env=env, cwd=tmp_path, capture_output=True, text=True, timeout=120)
    out = run.stdout
    assert run.returncode == 1, out
    assert "retry needed: test_sample.py::test_slow_once" in out
    assert "retry needed: test_sample.py::test_slow_always" in out
    assert "retry needed: test_sample.py::test_plain_failure" not in out
    assert "2 failed, 1 passed" in out, out
    counts = {n: int((tmp_path / f"count.{n}").read_text()) for n in ("once", "always", "plain")}
    assert counts == {"once": 2, "always": 2, "plain": 1}
