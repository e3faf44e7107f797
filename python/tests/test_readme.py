import os
import re
import subprocess
import sys

from conftest import SOURCE


def blocks():
    """The Python examples of the README's Python section."""
    with open(os.path.join(SOURCE, "README.md"), encoding="utf-8") as f:
        section = f.read().split("\n## Python\n", 1)[1].split("\n## ", 1)[0]
    return re.findall(r"```python\n(.*?)```", section, re.S)


def test_the_readme_examples_run(tmp_path):
    found = blocks()
    assert len(found) == 2
    plot = tmp_path / "june.png"
    for n, code in enumerate(found):
        assert "examples/jacksboro.tif" in code
        script = tmp_path / f"example{n}.py"
        script.write_text(code.replace("docs/jacksboro-june-python.png", str(plot)))
        env = dict(os.environ, MPLBACKEND="Agg")
        r = subprocess.run([sys.executable, str(script)], cwd=SOURCE, env=env, capture_output=True, text=True)
        assert r.returncode == 0, r.stderr[-3000:]
    assert plot.stat().st_size > 10000
