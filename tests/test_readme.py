"""The README's `vesk.loads(...)` and `vesk.dumps(...)` examples give the results written under them."""

import ast
import re
from pathlib import Path

import pytest

import vesk

EXAMPLES = []  # (source, expected) for each call statement followed by `# result` lines
for block in re.findall(r"```python\n(.*?)```", (Path(__file__).resolve().parents[1] / "README.md").read_text(), re.S):
    for node in ast.parse(block).body:
        call = getattr(node, "value", None)
        if isinstance(call, ast.Call) and ast.unparse(call.func) in ("vesk.loads", "vesk.dumps"):
            after = block.splitlines()[node.end_lineno:] + [""]
            comment = after[:next(i for i, line in enumerate(after) if not line.startswith("# "))]
            EXAMPLES.append((ast.get_source_segment(block, node), " ".join(line[2:] for line in comment)))


def test_readme_has_examples_of_both():
    reads, writes = (sum(s.startswith(f) for s, _ in EXAMPLES) for f in ("vesk.loads", "vesk.dumps"))
    assert reads >= 4 and writes >= 6


@pytest.mark.parametrize("source, expected", EXAMPLES, ids=[s[:40] for s, _ in EXAMPLES])
def test_example_reads_as_shown(source, expected):
    assert eval(source, {"vesk": vesk}) == eval(expected, {"inf": float("inf")})
