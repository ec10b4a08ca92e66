"""A fresh interpreter exits cleanly with key caches alive and threads inside loads."""

import subprocess
import sys

import pytest

PRELUDE = """
import threading, time, vesk
DOC = '{"shutdown_key_a": [1, 2.5, "x"], "shutdown_key_b": {"inner_key": null}}'
INPUTS = [DOC, DOC[:-1], b'{"k": "\\xff"}']
"""

# Key caches outlive their threads: finished workers' (two of them erroring out
# of loads), and the main thread's, destroyed after the interpreter is gone.
CACHES_AT_EXIT = """
def work(bad):
    for i in range(200):
        try:
            vesk.loads(INPUTS[i % 3 if bad else 0])
        except ValueError:
            pass
threads = [threading.Thread(target=work, args=(i % 2,)) for i in range(4)]
for t in threads: t.start()
for t in threads: t.join()
keep = [vesk.loads(DOC) for _ in range(100)]
"""

# The crash needs a daemon thread inside loads at the moment of shutdown; four
# busy threads manage that in most runs, so eight runs make it all but certain.
DAEMONS_IN_LOADS = """
def loop():
    while True:
        vesk.loads(DOC)
for _ in range(4):
    threading.Thread(target=loop, daemon=True).start()
time.sleep(0.05)
"""


@pytest.mark.parametrize("body, runs", [(CACHES_AT_EXIT, 1), (DAEMONS_IN_LOADS, 8)], ids=["caches", "daemons"])
def test_clean_exit(body, runs):
    for _ in range(runs):
        script = PRELUDE + body + "print('clean-end')\n"
        proc = subprocess.run([sys.executable, "-c", script], capture_output=True, text=True, timeout=60)
        assert proc.returncode == 0 and proc.stderr == "", proc.stderr[-2000:]
        assert proc.stdout.strip().endswith("clean-end")
