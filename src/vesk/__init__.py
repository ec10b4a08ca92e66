"""VESK: a JSON superset for handing structured data to language models in fewer tokens."""

from vesk.vesk_core import __simd__, __version__, dumps, format_hint, loads

__all__ = ["loads", "dumps", "format_hint", "__version__", "__simd__"]
