from collections.abc import Buffer, Iterable
from typing import Any, Literal, SupportsIndex, overload

__version__: str
__simd__: Literal["AVX2", "AVX-512"]
__all__: list[str]

@overload
def loads(
    data: bytes | str,
    schema: Iterable[str] | None = None,
    *,
    partial: bool | Literal["trailing-strings"] = False,
    check_counts: bool = False,
    fenced: bool = False,
    lines: Literal[False] = False,
) -> Any: ...
@overload
def loads(
    data: bytes | str,
    schema: Iterable[str] | None = None,
    *,
    partial: bool | Literal["trailing-strings"] = False,
    check_counts: bool = False,
    fenced: bool = False,
    lines: Literal[True],
) -> list[Any]: ...
@overload
def loads(
    data: bytes | str,
    schema: Iterable[str] | None = None,
    *,
    partial: bool | Literal["trailing-strings"] = False,
    check_counts: bool = False,
    fenced: bool = False,
    lines: bool,
) -> Any: ...
def dumps(
    data: Any,
    *,
    ivy_grid: bool = True,
    unquoted_keys: bool = False,
    indent: SupportsIndex | None = None,
    bare_strings: bool = False,
    implicit_null: bool = False,
    row_count: bool = True,
    multiline_ivy: bool = False,
    delimiter: str = "comma",
    lean: bool = False,
    lines: bool = False,
) -> str: ...
def format_hint(
    style: Literal["ivy_grid", "ivy_grid_rowcount", "multiline", "tab", "lean"] | str = "ivy_grid",
) -> str: ...

class Stream:
    def __init__(
        self,
        schema: Iterable[str] | None = None,
        check_counts: bool = False,
        fenced: bool = True,
        path: Iterable[str | int] | None = None,
    ) -> None: ...
    def feed(self, chunk: str | Buffer) -> list[Any]: ...
    @property
    def value(self) -> Any: ...
    def close(self) -> Any: ...
