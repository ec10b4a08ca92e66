"""The README's `vesk.loads(...)` and `vesk.dumps(...)` examples give the
results written under them."""

import ast
import re
from pathlib import Path

import pytest

import vesk

README = Path(__file__).resolve().parents[1] / "README.md"


def examples():
    """(source, expected) for each `vesk.loads(...)` or `vesk.dumps(...)` statement
    followed by `# result` lines."""
    examples = []
    for block in re.findall(r"```python\n(.*?)```", README.read_text(), re.S):
        lines = block.splitlines()
        for node in ast.parse(block).body:
            call = getattr(node, "value", None)
            if not (isinstance(call, ast.Call) and ast.unparse(call.func) in ("vesk.loads", "vesk.dumps")):
                continue
            comment = []
            for line in lines[node.end_lineno :]:
                if not line.startswith("# "):
                    break
                comment.append(line[2:])
            examples.append((ast.get_source_segment(block, node), " ".join(comment)))
    return examples


EXAMPLES = examples()


def test_readme_has_examples_of_both():
    assert sum(s.startswith("vesk.loads") for s, _ in EXAMPLES) >= 4
    assert sum(s.startswith("vesk.dumps") for s, _ in EXAMPLES) >= 6


@pytest.mark.parametrize("source, expected", EXAMPLES, ids=[s[:40] for s, _ in EXAMPLES])
def test_example_reads_as_shown(source, expected):
    assert eval(source, {"vesk": vesk}) == eval(expected, {"inf": float("inf")})
