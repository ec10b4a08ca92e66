"""`python -m vesk`: a short tour of what the module does."""

import vesk

JSON_TEXT = '{"model": "gpt", "temperature": 0.2, "stop": ["\\n\\n"], "seed": 12345678901234567890}'

VESK_TEXT = """
// Comments, bare keys, trailing commas and special floats are fine:
{
    name: "nightly-eval",
    thresholds: {recall: 0.85, latency_ms: Infinity,},
    tags: ["smoke", "gpu",],   /* trailing commas everywhere */
}
"""


def main() -> None:
    print(f"vesk {vesk.__version__}, structural scanner: {vesk.__simd__}")
    print()
    print("loads() reads JSON ...")
    print(f"  {JSON_TEXT}")
    print(f"  -> {vesk.loads(JSON_TEXT)!r}")
    print()
    print("... and VESK:")
    print("  " + "\n  ".join(VESK_TEXT.strip().splitlines()))
    print(f"  -> {vesk.loads(VESK_TEXT)!r}")
    print()
    print("format_hint() -- paste into a system prompt before sending tables:")
    print()
    print(vesk.format_hint())


if __name__ == "__main__":
    main()
