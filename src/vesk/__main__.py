"""`python -m vesk`: a short tour of what the module does."""

import vesk


def main() -> None:
    print(f"vesk {vesk.__version__}, structural scanner: {vesk.__simd__}")
    print()
    print("format_hint() -- paste into a system prompt before sending tables:")
    print()
    print(vesk.format_hint())


if __name__ == "__main__":
    main()
