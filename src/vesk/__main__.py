"""`python -m vesk`: a short tour of what the module does."""

import json

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

DOCUMENT = {
    "run": "nightly-eval",
    "model": {"name": "gpt", "temperature": 0.2},
    "results": [
        {"case": 1, "question": "capital of France", "answer": "Paris", "correct": True, "latency_ms": 412.5},
        {"case": 2, "question": "7 * 6", "answer": "42", "correct": True, "latency_ms": 230.0},
        {"case": 3, "question": "largest planet", "answer": "Saturn", "correct": False, "latency_ms": 388.25},
        {"case": 4, "question": "author of Hamlet", "answer": None, "correct": False, "latency_ms": 1502.0},
    ],
}


def compare(label: str, value, plain=None) -> None:
    """Prints `value` as VESK beside the size of `plain` (by default `value`) as JSON."""
    plain = value if plain is None else plain
    as_json = json.dumps(plain, ensure_ascii=False, separators=(",", ":"))
    default, lean = vesk.dumps(value), vesk.dumps(value, lean=True)
    print(f"{label}: compact JSON {len(as_json.encode())} bytes, VESK {len(default.encode())} bytes, "
          f"VESK lean {len(lean.encode())} bytes")
    print(f"  {default}")
    print(f"  {lean}")
    assert vesk.loads(default) == vesk.loads(lean) == json.loads(as_json)


def models() -> None:
    try:
        import pydantic
    except ImportError:
        print("(pydantic is not installed: `pip install pydantic` to see models written as a table)")
        return

    class Employee(pydantic.BaseModel):
        id: int
        name: str
        team: str
        remote: bool

    staff = [Employee(id=7, name="Carol Nguyen", team="search", remote=True),
             Employee(id=8, name="Bob Smith", team="billing", remote=False),
             Employee(id=9, name="Zoe Okafor", team="search", remote=True)]
    compare("A list of Pydantic models", staff, [m.model_dump() for m in staff])


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
    print("dumps() turns a JSON document into VESK; its list of records becomes a table:")
    text = vesk.dumps(json.loads(json.dumps(DOCUMENT)))
    print(f"  {text}")
    print(f"  and back: loads(text) == the document: {vesk.loads(text) == DOCUMENT}")
    print()
    compare("The records alone", DOCUMENT["results"])
    print()
    models()
    print()
    print("format_hint() -- paste into a system prompt before sending tables:")
    print()
    print(vesk.format_hint())


if __name__ == "__main__":
    main()
