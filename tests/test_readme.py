"""Every Python example of the README runs unchanged on the simulated robot, with the command the
README gives for it (`python -m wenlo_sim FILE`): documentation that cannot drift."""
import pathlib
import re
import subprocess
import sys

import pytest

from runs import fresh_shell_env

README = pathlib.Path(__file__).resolve().parent.parent / "README.md"
EXAMPLES = re.findall(r"^```python\n(.*?)^```", README.read_text(), re.S | re.M)


def test_the_readme_has_its_examples():
    assert len(EXAMPLES) >= 2  # a changed fence must not leave nothing to run


@pytest.mark.parametrize("code", EXAMPLES, ids=[f"example {i + 1}" for i in range(len(EXAMPLES))])
def test_readme_example_runs_as_written(tmp_path, code):
    script = tmp_path / "example.py"
    script.write_text(code)
    done = subprocess.run([sys.executable, "-m", "wenlo_sim", str(script)], cwd=tmp_path,
                          env=fresh_shell_env(), capture_output=True, text=True, timeout=120)
    assert done.returncode == 0, done.stderr[-3000:]
    assert "Traceback" not in done.stderr
    # An example that shows a snapshot after commanding the neck shows the neck moved.
    if "set_neck_position" in code:
        neck = re.findall(r"neck=\[([^\]]*)\]", done.stdout)
        numbers = re.findall(r"^\[([-0-9.e, ]*)\]$", done.stdout, re.M)
        last = neck[-1] if neck else numbers[-1]
        assert max(abs(float(v)) for v in last.split(",")) > 0.1, done.stdout
