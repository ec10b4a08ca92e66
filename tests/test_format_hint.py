"""format_hint: the four fixed prompt texts and how a style picks one."""

import pytest

import vesk
from vesk.vesk_core import format_hint

# Expected texts are written out line by line here, independently of the
# extension's source, and compared byte for byte.
DEFAULT_TEXT = "\n".join(
    [
        "Data is in VESK Ivy Grid format.",
        "Format: [N: col1, col2, col3; row1val1, row1val2, row1val3; row2val1, row2val2, row2val3 ]",
        "N is the optional row count prefix (may be omitted: [: col1, col2; ...]).",
        "The first semicolon-separated segment is the header (field names).",
        "Each subsequent semicolon-separated segment is one data record.",
        "Values within each segment are comma-separated and correspond to the header fields in order.",
        "Example: [3: id, name, score; 1, Alice, 95; 2, Bob, 87; 3, Carol, 92 ]",
        "Decode: {id: 1, name: 'Alice', score: 95}, {id: 2, name: 'Bob', score: 87}, ...",
    ]
)

# Every "\\t" below is a backslash followed by "t": the text names the tab
# character, it never contains one.
TAB_TEXT = "\n".join(
    [
        "Data is in VESK Ivy Grid tab-delimited format.",
        "Format: [: col1\\tcol2\\tcol3; row1val1\\trow1val2\\trow1val3; ... ]",
        "Fields and values are separated by tab characters (\\t).",
        "Each semicolon-separated segment after the headers is one record.",
        "Example: [: id\\tname\\tscore; 1\\tAlice\\t95; 2\\tBob\\t87 ]",
        "Decode: map each tab-separated segment to the corresponding field names.",
    ]
)

ROW_COUNT_TEXT = "\n".join(
    [
        "Data is in VESK Ivy Grid format with explicit row count.",
        "Format: [N: col1, col2, col3; row1val1, row1val2, row1val3; row2val1, ... ]",
        "where N is the total number of data rows and col1, col2, col3 are field names.",
        "Each semicolon-separated segment after the first is one record.",
        "Example: [3: id, name, score; 1, Alice, 95; 2, Bob, 87; 3, Carol, 92 ]",
        "Decode: map each semicolon segment to {id: ..., name: ..., score: ...}.",
    ]
)

MULTILINE_TEXT = "\n".join(
    [
        "Data is in VESK Multiline Ivy Grid format (TOON-compatible).",
        "Header line: [N]{col1,col2,col3}: where N is the row count and col1,col2,col3 are field names.",
        "Each following indented line is one row with values separated by commas.",
        "Example:",
        "  [3]{id,name,score}:",
        "    1,Alice,95",
        "    2,Bob,87",
        "    3,Carol,92",
        "Decode: each comma-separated row maps to {id: ..., name: ..., score: ...}.",
    ]
)

# style -> expected text, for the four recognised style names.
NAMED_STYLES = {
    "ivy_grid": DEFAULT_TEXT,
    "tab": TAB_TEXT,
    "ivy_grid_rowcount": ROW_COUNT_TEXT,
    "multiline": MULTILINE_TEXT,
}


class StrSubclass(str):
    pass


@pytest.mark.parametrize(
    ("text", "expected_bytes"),
    [
        pytest.param(DEFAULT_TEXT, 572, id="default"),
        pytest.param(TAB_TEXT, 362, id="tab"),
        pytest.param(ROW_COUNT_TEXT, 418, id="rowcount"),
        pytest.param(MULTILINE_TEXT, 377, id="multiline"),
    ],
)
def test_expected_text_byte_length(text, expected_bytes):
    # Guards the hand-written expectations above against typos.
    assert len(text.encode("utf-8")) == expected_bytes


def test_no_argument_gives_default_text():
    result = format_hint()
    assert type(result) is str
    assert result == DEFAULT_TEXT
    assert len(result.encode("utf-8")) == 572


@pytest.mark.parametrize("style", list(NAMED_STYLES))
def test_named_style_positional(style):
    result = format_hint(style)
    assert type(result) is str
    assert result == NAMED_STYLES[style]
    assert result.encode("utf-8") == NAMED_STYLES[style].encode("utf-8")


@pytest.mark.parametrize("style", list(NAMED_STYLES))
def test_named_style_keyword(style):
    assert format_hint(style=style) == NAMED_STYLES[style]


@pytest.mark.parametrize(
    "style",
    [
        pytest.param("anything", id="unknown-word"),
        pytest.param("", id="empty"),
        pytest.param("TAB", id="upper-tab"),
        pytest.param(" tab", id="leading-space-tab"),
        pytest.param("tab ", id="trailing-space-tab"),
        pytest.param("Multiline", id="capitalised-multiline"),
        pytest.param("ivy_grid_rowcount\x00", id="rowcount-with-nul"),
        pytest.param("tab\x00", id="tab-with-nul"),
        pytest.param("multiline\u00e9", id="multiline-with-accent"),
        pytest.param(StrSubclass("x"), id="str-subclass-x"),
    ],
)
def test_unrecognised_style_falls_back_to_default(style):
    assert format_hint(style) == DEFAULT_TEXT


@pytest.mark.parametrize("style", list(NAMED_STYLES))
def test_str_subclass_selects_by_value(style):
    assert format_hint(StrSubclass(style)) == NAMED_STYLES[style]


@pytest.mark.parametrize("style", [None, *NAMED_STYLES])
def test_text_has_no_tab_byte_and_no_trailing_newline(style):
    result = format_hint() if style is None else format_hint(style)
    assert "\t" not in result
    assert not result.endswith("\n")


def test_package_reexport_gives_same_texts():
    assert vesk.format_hint() == DEFAULT_TEXT
    assert vesk.format_hint("tab") == TAB_TEXT


@pytest.mark.parametrize(
    ("style", "type_name"),
    [
        pytest.param(None, "NoneType", id="none"),
        pytest.param(3, "int", id="int"),
        pytest.param(b"tab", "bytes", id="bytes"),
    ],
)
def test_non_str_style_is_type_error(style, type_name):
    expected = f"argument 'style': '{type_name}' object cannot be converted to 'PyString'"
    with pytest.raises(TypeError) as info:
        format_hint(style)
    assert str(info.value) == expected
    with pytest.raises(TypeError) as info:
        format_hint(style=style)
    assert str(info.value) == expected


def test_lone_surrogate_style_is_unicode_encode_error():
    with pytest.raises(UnicodeEncodeError):
        format_hint("\ud800")


def test_docstring():
    expected = "\n".join(
        [
            "Return a concise format description for pasting into LLM system prompts.",
            "",
            "Use this to teach an LLM how to read VESK Ivy Grid data before sending it.",
            "",
            "Args:",
            '    style: One of "ivy_grid" (default), "ivy_grid_rowcount", "multiline", "tab"',
            "",
            "Returns:",
            "    A short natural-language description + example the LLM can use.",
            "",
            "Example:",
            "    >>> import vesk",
            "    >>> print(vesk.format_hint())",
            "    Data is in VESK Ivy Grid format. ...",
        ]
    )
    assert format_hint.__doc__ == expected
