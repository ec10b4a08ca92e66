"""`python -m vesk`: the `vesk` command (`python -m vesk demo` for a first look)."""

from vesk.cli import run

if __name__ == "__main__":
    run()
