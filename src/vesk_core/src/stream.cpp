// The native steps of vesk.Stream: a top-level list or table read element
// by element as the text of a reply arrives. Each call reads the text the
// caller has gathered so far, from where the last call stopped, and returns
// only elements that are whole; an element the text cuts is read again,
// from its start, by the next call.
#include "functions.hpp"
#include "parser/grid_skim.hpp"
#include "parser/index_parser.hpp"

namespace vesk {

FastIndexParser::Opening FastIndexParser::open_list(std::vector<PyRef>& names, uint64_t& declared) {
    skip_filler();
    if (at_end()) return Opening::wait;
    if (input_[pos] != '[') return Opening::other;
    ++pos;
    skip_filler();
    if (at_end()) return Opening::wait;
    const uint8_t first = input_[pos];
    if (first != ':' && (first < '0' || first > '9')) return Opening::array;
    const uint64_t marker = grid_marker_at(input_, length_, pos);
    if (marker >= length_) {
        if (count_may_follow() || counted_marker_may_follow(input_, length_, pos))
            return Opening::wait;
        return counted_marker_at(input_, length_, pos) < length_ ? Opening::other : Opening::array;
    }
    declared = declared_count(marker);
    pos = marker + 1;
    skip_filler();
    if (at_end()) return Opening::wait;
    if (input_[pos] == ']') return Opening::table;  // `[:]`: no header, no rows
    if (!read_grid_header(names)) return cut_ ? Opening::wait : Opening::error;
    // Rows on lines of their own, and rows without names, which consume no
    // text, are read from the whole text.
    if (input_[pos] != ';' || names.empty()) return Opening::other;
    ++pos;  // the header's `;`
    return Opening::table;
}

bool FastIndexParser::read_list(const std::vector<PyRef>* names, const Schema* schema,
                                ListState& state, PyObject* out, uint64_t rows_before) {
    depth_ = 1;  // inside the top-level list
    PyRef row_template;
    if (names) {
        row_template = grid_row_template(*names);
        if (!row_template) return false;
    }
    for (;;) {
        // Filler at the end is read again next time: a comment may be open.
        const uint64_t before_filler = pos;
        skip_filler();
        if (at_end()) {
            pos = before_filler;
            return true;
        }
        const uint8_t c = input_[pos];
        if (state == ListState::closed) return failed({"Trailing content after document", pos});
        if (c == ']') {
            ++pos;
            state = ListState::closed;
            continue;
        }
        if (state == ListState::separator) {
            if (names || c != ',') return failed(invalid_char(pos, c));
            ++pos;  // `,`, perhaps a trailing one: `]` may follow
            state = ListState::element;
            continue;
        }
        const uint64_t start = pos;
        const uint64_t short_tables = short_tables_;
        RowEnd end = RowEnd::semicolon;
        const RowPlace place{RowLayout::inline_rows,
                             rows_before + static_cast<uint64_t>(PyList_GET_SIZE(out)) + 1, false};
        PyRef item = names ? read_grid_row(*names, row_template.get(), schema, place, end)
                           : parse_value(schema);
        if (cut_) {  // not whole yet: read again once more text has come
            cut_ = false;
            pos = start;
            return true;
        }
        if (!item) return false;
        if (short_tables_ != short_tables) {
            state = ListState::irregular;
            return true;
        }
        if (PyList_Append(out, item.get()) < 0) return false;
        state = names && end == RowEnd::semicolon ? ListState::element : ListState::separator;
    }
}

namespace {

// The bytes of a bytes-like object, held for the call.
class Bytes {
public:
    explicit Bytes(PyObject* object) {
        ok_ = PyObject_GetBuffer(object, &view_, PyBUF_SIMPLE) == 0;
    }
    ~Bytes() {
        if (ok_) PyBuffer_Release(&view_);
    }
    Bytes(const Bytes&) = delete;
    Bytes& operator=(const Bytes&) = delete;

    bool ok() const { return ok_; }
    const uint8_t* data() const { return static_cast<const uint8_t*>(view_.buf); }
    uint64_t size() const { return static_cast<uint64_t>(view_.len); }

private:
    Py_buffer view_{};
    bool ok_ = false;
};

// `pos` and `end` as offsets into `text`; false with ValueError otherwise.
bool read_span(const Bytes& text, unsigned long long pos, unsigned long long end) {
    if (pos <= end && end <= text.size()) return true;
    PyErr_SetString(PyExc_ValueError, "span outside the text");
    return false;
}

}  // namespace

// _stream_open(text, pos, end) -> None while the text does not yet show
// the document's kind; else (kind, pos, declared, names) with kind
// "array", "table" or "other" (read whole at the end).
PyRef stream_open(PyObject* args, PyObject* /*kwargs*/) {
    PyObject* data = nullptr;
    unsigned long long pos = 0, end = 0;
    if (!PyArg_ParseTuple(args, "OKK:_stream_open", &data, &pos, &end)) return {};
    const Bytes text(data);
    if (!text.ok() || !read_span(text, pos, end)) return {};
    FastIndexParser parser(text.data(), partial_text_end(text.data(), pos, end),
                           {ReadOptions::Partial::on, false});
    parser.pos = pos;
    std::vector<PyRef> names;
    uint64_t declared = FastIndexParser::kNoCount;
    const FastIndexParser::Opening opening = parser.open_list(names, declared);
    if (opening == FastIndexParser::Opening::error) return {};
    if (opening == FastIndexParser::Opening::wait) return PyRef::borrow(Py_None);
    const char* kind = opening == FastIndexParser::Opening::array   ? "array"
                       : opening == FastIndexParser::Opening::table ? "table"
                                                                    : "other";
    PyRef name_list = PyRef::steal(PyList_New(static_cast<Py_ssize_t>(names.size())));
    if (!name_list) return {};
    for (size_t i = 0; i < names.size(); ++i)
        PyList_SET_ITEM(name_list.get(), static_cast<Py_ssize_t>(i), names[i].release());  // stolen
    PyRef count = declared == FastIndexParser::kNoCount
                      ? PyRef::borrow(Py_None)
                      : PyRef::steal(PyLong_FromUnsignedLongLong(declared));
    if (!count) return {};
    return PyRef::steal(Py_BuildValue("(sKOO)", kind, static_cast<unsigned long long>(parser.pos),
                                      count.get(), name_list.get()));
}

// _stream_read(text, pos, end, names, schema, state, rows) -> (elements,
// pos, state): the elements or rows (names a list) that the text holds
// whole, from `pos`, after `rows` rows read before. state: 0 before an
// element, 1 before a separator, 2 after the closing bracket, 3 a table
// that only the whole text can count.
PyRef stream_read(PyObject* args, PyObject* /*kwargs*/) {
    PyObject* data = nullptr;
    PyObject* name_list = nullptr;
    PyObject* schema = nullptr;
    unsigned long long pos = 0, end = 0, rows = 0;
    int state = 0;
    if (!PyArg_ParseTuple(args, "OKKOOiK:_stream_read", &data, &pos, &end, &name_list, &schema,
                          &state, &rows))
        return {};
    const Bytes text(data);
    if (!text.ok() || !read_span(text, pos, end)) return {};
    std::vector<PyRef> names;
    if (name_list != Py_None) {
        if (!PyList_Check(name_list)) {
            PyErr_SetString(PyExc_TypeError, "names must be a list");
            return {};
        }
        for (Py_ssize_t i = 0; i < PyList_GET_SIZE(name_list); ++i)
            names.push_back(PyRef::borrow(PyList_GET_ITEM(name_list, i)));
    }
    Schema fields;
    const bool has_schema = schema != Py_None;
    if (has_schema && !build_schema(schema, fields)) return {};

    PyRef elements = PyRef::steal(PyList_New(0));
    if (!elements) return {};
    FastIndexParser parser(text.data(), partial_text_end(text.data(), pos, end),
                           {ReadOptions::Partial::on, false});
    parser.pos = pos;
    auto list_state = static_cast<FastIndexParser::ListState>(state);
    if (!parser.read_list(name_list != Py_None ? &names : nullptr, has_schema ? &fields : nullptr,
                          list_state, elements.get(), rows))
        return {};
    return PyRef::steal(Py_BuildValue("(OKi)", elements.get(),
                                      static_cast<unsigned long long>(parser.pos),
                                      static_cast<int>(list_state)));
}

}  // namespace vesk
