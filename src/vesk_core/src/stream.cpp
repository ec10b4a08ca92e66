// vesk.Stream: a reply read as its text arrives.
//
// The stream keeps the text as it comes and reads on from where it stopped:
// along the path to the followed list (the keys, colons and separators of
// the objects and lists around it, the members it passes over), then the
// list's elements or rows, then what follows the list. Each key, value,
// element or row is read once, when its text is whole: one that a chunk
// cuts is followed by an EndScan, which carries its lexical state from
// chunk to chunk, and is read when the scan finds where it may end. close()
// reads the document around the followed list and takes the elements
// already read in the list's place. Text the stream does not take is left
// to loads, whose error is the stream's.
#include <algorithm>
#include <new>
#include <optional>
#include <string>
#include <utility>
#include <vector>

#include "arguments.hpp"
#include "functions.hpp"
#include "parser/grid_skim.hpp"
#include "parser/index_parser.hpp"
#include "parser/stream_text.hpp"

namespace vesk {

FastIndexParser::Opening FastIndexParser::open_list(std::vector<PyRef>& names, PyRef& row_template,
                                                    uint64_t& declared) {
    ++pos;  // the `[`
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
    const uint64_t header = pos;
    if (!read_grid_header(names)) {
        if (!cut_) return Opening::error;
        pos = header;
        return Opening::header;
    }
    // Rows on lines of their own, and rows without names, which consume no
    // text, are read from the whole text.
    if (input_[pos] != ';' || names.empty()) return Opening::other;
    ++pos;  // the header's `;`
    row_template = grid_row_template(names);
    return row_template ? Opening::table : Opening::error;
}

bool FastIndexParser::read_list(const std::vector<PyRef>* names, PyObject* row_template,
                                const Schema* schema, uint32_t depth, uint64_t at,
                                ListState& state, PyObject* out) {
    depth_ = depth;
    for (;;) {
        // Filler at the end is left to the caller: a comment may be open.
        const uint64_t before_filler = pos;
        skip_filler();
        if (at_end()) {
            pos = before_filler;
            return true;
        }
        const uint8_t c = input_[pos];
        if (c == ']') {
            ++pos;
            state = ListState::closed;
            return true;
        }
        if (state == ListState::separator) {
            if (names || c != ',') return failed(invalid_char(pos, c));
            ++pos;  // `,`, perhaps a trailing one: `]` may follow
            state = ListState::element;
            continue;
        }
        const uint64_t start = pos;
        const uint64_t short_tables = short_tables_;
        const uint64_t padded = padded_cells_;
        RowEnd end = RowEnd::semicolon;
        const RowPlace place{RowLayout::inline_rows,
                             static_cast<uint64_t>(PyList_GET_SIZE(out)) + 1, false, at};
        PyRef item =
            names ? read_grid_row(*names, row_template, schema, place, end) : parse_value(schema);
        if (cut_) {
            pos = start;
            padded_cells_ = padded;
            return true;
        }
        if (!item) return false;
        if (may_become_count(start)) {  // read again when more text has come
            pos = start;
            padded_cells_ = padded;
            return true;
        }
        if (short_tables_ != short_tables) {
            state = ListState::irregular;
            return true;
        }
        if (PyList_Append(out, item.get()) < 0) return false;
        state = names && end == RowEnd::semicolon ? ListState::element : ListState::separator;
    }
}

bool FastIndexParser::may_become_count(uint64_t start) const {
    if (pos != length_ || input_[start] != '[') return false;
    uint64_t p = start + 1;
    while (p < length_ && (input_[p] == ' ' || input_[p] == '\t' || input_[p] == '\n' ||
                           input_[p] == '\r'))
        ++p;
    return counted_marker_may_follow(input_, length_, p);
}

PyRef FastIndexParser::read_member(bool key, const Schema* schema, uint32_t depth) {
    depth_ = depth;
    return key ? parse_key() : parse_value(schema);
}

namespace {

using Opening = FastIndexParser::Opening;
using ListState = FastIndexParser::ListState;

// One step of a path: a key (`key` set) or an index.
struct PathStep {
    PyRef key;
    uint64_t index = 0;
};

// A container on the way from the top of the document to the followed list.
struct Level {
    enum class At : uint8_t { member, colon, value, separator };
    bool object;
    bool mapped;  // read under the schema: its keys are the schema's names, by place
    At at = At::member;
    bool target = false;  // the current member or element is where the path goes on
    uint64_t index = 0;   // members or elements before the current one
};

// The text of one feed, and a reader over it made on first use.
struct Reading {
    const uint8_t* text;
    uint64_t limit;  // short of what may still turn into filler
    bool check_counts;
    const uint64_t& padded;  // the padding of the units read whole so far
    std::optional<FastIndexParser> parser;

    // A unit the text cut is read again, from its start, in a later feed:
    // each unit begins from the padding of the units before it.
    FastIndexParser& at(uint64_t pos) {
        if (!parser)
            parser.emplace(text, limit, ReadOptions{ReadOptions::Partial::on, check_counts});
        parser->pos = pos;
        parser->set_padded_cells(padded);
        return *parser;
    }
};

class StreamReader {
public:
    // False with the exception set.
    bool configure(PyObject* schema, bool check_counts, bool fenced, PyObject* path);
    // The elements that the chunk finished, as a new list.
    PyRef feed(const char* data, size_t size);
    PyRef value() const { return read_whole(true); }
    PyRef close();
    bool closed() const { return static_cast<bool>(document_); }

private:
    enum class Phase : uint8_t { walk, list, idle };
    enum class Step : uint8_t { on, wait, failed };

    bool advance();
    Step walk(Reading& r);
    Step enter(Reading& r, uint8_t c);
    Step push(bool object, uint64_t inside);
    Step begin_list(Reading& r);
    Step read_key(Reading& r, Level& level);
    Step skip_value(Reading& r, Level& level);
    Step read_elements(Reading& r);
    Step close_level();
    Step value_done();
    Step pend(EndScan::Unit unit, uint32_t depth, const Reading& r) {
        return pend(unit, depth, r, pos_);
    }
    Step pend(EndScan::Unit unit, uint32_t depth, const Reading& r, uint64_t scan_from);
    Step escalate();
    bool matches(PyObject* key) const;
    const Schema* list_schema() const;
    PyRef read_spliced() const;
    PyRef read_whole(bool partial) const;

    // What the stream was made with.
    PyRef schema_;  // the schema as a list, or null
    Schema fields_;
    bool check_counts_ = false;
    bool fenced_ = true;
    bool first_list_ = true;  // no path: the first list found
    std::vector<PathStep> path_;

    // The text, and where reading it has got to.
    std::string text_;
    FenceScan fence_{true};
    bool started_ = false;  // pos_ is inside the document
    uint64_t pos_ = 0;
    FillerScan filler_;
    Phase phase_ = Phase::walk;
    std::vector<Level> levels_;
    bool top_read_ = false;  // the whole top-level value has been read
    // The cells that padded short rows in the text read whole so far, as
    // loads counts them up to the same place.
    uint64_t padded_ = 0;

    // The followed list.
    bool followed_ = false;
    bool table_ = false;
    bool spliceable_ = false;  // closed, every element read and its count held
    uint64_t list_at_ = 0;     // its `[`
    uint64_t list_end_ = 0;    // just past its `]`
    uint64_t declared_ = FastIndexParser::kNoCount;
    std::vector<PyRef> names_;
    PyRef row_template_;
    uint32_t list_depth_ = 0;
    ListState list_state_ = ListState::element;
    PyRef elements_;        // every element read, in order
    Py_ssize_t given_ = 0;  // of them, those feed has returned

    // A unit the text cuts, from pending_at_; the scan finds where it may end.
    bool pending_ = false;
    bool unsure_ = false;  // the scan found an end the reader did not: read it at every chunk
    uint64_t pending_at_ = 0;
    EndScan scan_;

    PyRef document_;  // what close returned
};

bool StreamReader::configure(PyObject* schema, bool check_counts, bool fenced, PyObject* path) {
    if (schema != Py_None) {
        schema_ = PyRef::steal(PySequence_List(schema));
        if (!schema_ || !build_schema(schema_.get(), fields_)) return false;
    }
    check_counts_ = check_counts;
    fenced_ = fenced;
    fence_ = FenceScan(fenced);
    if (path == Py_None) return true;
    first_list_ = false;
    const char* wrong = "path must be a sequence of str keys and int indices";
    if (PyUnicode_Check(path) || PyBytes_Check(path))
        return static_cast<bool>(raise_error(PyExc_TypeError, wrong));
    PyRef steps = PyRef::steal(PySequence_Fast(path, wrong));
    if (!steps) return false;
    for (Py_ssize_t i = 0; i < PySequence_Fast_GET_SIZE(steps.get()); ++i) {
        PyObject* item = PySequence_Fast_GET_ITEM(steps.get(), i);
        PathStep step;
        if (PyUnicode_Check(item)) {
            step.key = PyRef::steal(PyUnicode_FromObject(item));  // an exact str
            if (!step.key) return false;
        } else if (PyLong_Check(item) && !PyBool_Check(item)) {
            const long long index = PyLong_AsLongLong(item);
            if (index == -1 && PyErr_Occurred()) return false;
            if (index < 0)
                return static_cast<bool>(
                    raise_error(PyExc_ValueError, "path indices must not be negative"));
            step.index = static_cast<uint64_t>(index);
        } else {
            return static_cast<bool>(raise_error(PyExc_TypeError, wrong));
        }
        path_.push_back(std::move(step));
    }
    return true;
}

PyRef StreamReader::feed(const char* data, size_t size) {
    text_.append(data, size);
    if (!advance()) return {};
    const Py_ssize_t held = elements_ ? PyList_GET_SIZE(elements_.get()) : 0;
    if (held == given_) return PyRef::steal(PyList_New(0));
    PyRef found = PyRef::steal(PyList_GetSlice(elements_.get(), given_, held));
    if (found) given_ = held;
    return found;
}

// Reads on as far as the text allows; false with the error set.
bool StreamReader::advance() {
    const auto* text = reinterpret_cast<const uint8_t*>(text_.data());
    if (!fence_.update(text, text_.size())) return true;
    if (!started_) {
        pos_ = fence_.begin;
        started_ = true;
    }
    Reading r{text, partial_text_end(text, fence_.begin, fence_.end), check_counts_, padded_, {}};
    for (;;) {
        if (phase_ == Phase::idle) return true;
        if (pending_ && !unsure_ && !scan_.scan(text, r.limit)) return true;
        const Step step = phase_ == Phase::list ? read_elements(r) : walk(r);
        if (pending_ && pos_ != pending_at_) pending_ = false;  // read whole
        if (step != Step::on) return step == Step::wait;
    }
}

// One step along the document outside the followed list.
StreamReader::Step StreamReader::walk(Reading& r) {
    if (!filler_.skip(r.text, r.limit, pos_)) return Step::wait;
    const uint8_t c = r.text[pos_];
    if (levels_.empty()) return top_read_ ? escalate() : enter(r, c);
    Level& level = levels_.back();
    const uint8_t close = level.object ? '}' : ']';
    switch (level.at) {
        case Level::At::member:
            if (c == close) return close_level();
            if (level.object) return read_key(r, level);
            level.target = !followed_ && !first_list_ && !path_[levels_.size() - 1].key &&
                           path_[levels_.size() - 1].index == level.index;
            level.at = Level::At::value;
            return Step::on;
        case Level::At::colon:
            if (c != ':') return escalate();
            ++pos_;
            level.at = Level::At::value;
            return Step::on;
        case Level::At::value:
            if (level.target || (first_list_ && !followed_ && c == '[')) return enter(r, c);
            return skip_value(r, level);
        case Level::At::separator:
            if (c == close) return close_level();
            if (c != ',') return escalate();
            ++pos_;
            ++level.index;
            level.at = Level::At::member;
            return Step::on;
    }
    return Step::on;
}

// The value at pos_ is where the path goes on (the top-level value first).
StreamReader::Step StreamReader::enter(Reading& r, uint8_t c) {
    const size_t taken = levels_.size();  // the steps that led here
    if (first_list_ ? c == '[' : taken == path_.size()) {
        if (c == '[') return begin_list(r);
    } else if (first_list_ || path_[taken].key) {
        if (c == '{') return push(true, pos_ + 1);
    } else if (c == '[') {
        std::vector<PyRef> names;
        PyRef row_template;
        uint64_t declared = FastIndexParser::kNoCount;
        FastIndexParser& parser = r.at(pos_);
        const Opening opening = parser.open_list(names, row_template, declared);
        if (opening == Opening::wait || opening == Opening::error)
            return opening == Opening::wait ? Step::wait : Step::failed;
        if (opening == Opening::array) return push(false, parser.pos);
    }
    // The path leads to nothing else than a list or table, or not into a table's rows.
    phase_ = Phase::idle;
    return Step::wait;
}

// Opens the object or list at pos_, whose first member or element is read
// from `inside`, as a level of the path.
StreamReader::Step StreamReader::push(bool object, uint64_t inside) {
    if (levels_.size() >= kMaxNestingDepth) return escalate();
    levels_.push_back({object, object && list_schema() != nullptr});
    pos_ = inside;
    return Step::on;
}

StreamReader::Step StreamReader::begin_list(Reading& r) {
    FastIndexParser& parser = r.at(pos_);
    std::vector<PyRef> names;
    PyRef row_template;
    uint64_t declared = FastIndexParser::kNoCount;
    const Opening opening = parser.open_list(names, row_template, declared);
    if (opening == Opening::wait || opening == Opening::error)
        return opening == Opening::wait ? Step::wait : Step::failed;
    if (opening == Opening::header)
        return pend(EndScan::Unit::header, static_cast<uint32_t>(levels_.size()), r, parser.pos);
    if (opening == Opening::other) {  // only the whole text counts its rows
        phase_ = Phase::idle;
        return Step::wait;
    }
    elements_ = PyRef::steal(PyList_New(0));
    if (!elements_) return Step::failed;
    followed_ = true;
    table_ = opening == Opening::table;
    list_at_ = pos_;
    pos_ = parser.pos;
    declared_ = declared;
    names_ = std::move(names);
    row_template_ = std::move(row_template);
    list_depth_ = static_cast<uint32_t>(levels_.size()) + 1;
    phase_ = Phase::list;
    return Step::on;
}

StreamReader::Step StreamReader::read_key(Reading& r, Level& level) {
    const auto depth = static_cast<uint32_t>(levels_.size());
    if (level.mapped) {
        // The written key is skipped unread: its place names it.
        if (level.index >= fields_.size()) return escalate();
        if (!pending_) {
            pending_ = true;
            unsure_ = false;
            pending_at_ = pos_;
            scan_.start(EndScan::Unit::value, pos_, kMaxNestingDepth - depth);
            return Step::on;  // the next round scans it
        }
        pos_ = scan_.pos;
        level.target = matches(fields_[level.index].key.get());
        level.at = Level::At::colon;
        return Step::on;
    }
    FastIndexParser& parser = r.at(pos_);
    PyRef key = parser.read_member(true, nullptr, depth);
    if (parser.cut()) return pend(EndScan::Unit::value, depth, r);
    if (!key) return Step::failed;
    pos_ = parser.pos;
    level.target = matches(key.get());
    level.at = Level::At::colon;
    return Step::on;
}

// Whether the key of the innermost level's current member is the path's.
bool StreamReader::matches(PyObject* key) const {
    if (followed_ || first_list_) return false;
    return PyUnicode_Compare(key, path_[levels_.size() - 1].key.get()) == 0;
}

// The schema of the values inside a list at the end of the levels: none
// once an object has been entered.
const Schema* StreamReader::list_schema() const {
    const bool inside_object =
        std::any_of(levels_.begin(), levels_.end(), [](const Level& l) { return l.object; });
    return schema_ && !inside_object ? &fields_ : nullptr;
}

// A member or element that the path does not go through: read, so that
// its errors are reported, and dropped.
StreamReader::Step StreamReader::skip_value(Reading& r, Level& level) {
    const auto depth = static_cast<uint32_t>(levels_.size());
    FastIndexParser& parser = r.at(pos_);
    PyRef value = parser.read_member(false, level.object ? nullptr : list_schema(), depth);
    if (parser.cut()) return pend(EndScan::Unit::value, depth, r);
    if (!value) return Step::failed;
    pos_ = parser.pos;
    padded_ = parser.padded_cells();
    level.at = Level::At::separator;
    return Step::on;
}

StreamReader::Step StreamReader::read_elements(Reading& r) {
    if (!filler_.skip(r.text, r.limit, pos_)) return Step::wait;
    FastIndexParser& parser = r.at(pos_);
    if (!parser.read_list(table_ ? &names_ : nullptr, row_template_.get(), list_schema(),
                          list_depth_, list_at_, list_state_, elements_.get()))
        return Step::failed;
    pos_ = parser.pos;
    padded_ = parser.padded_cells();
    // loads refuses a table while it is still open once it holds more rows
    // than any table may, or than it declares when counts are checked.
    const auto rows = static_cast<uint64_t>(PyList_GET_SIZE(elements_.get()));
    const bool counted = table_ && check_counts_ && declared_ != FastIndexParser::kNoCount;
    if (table_ && (rows > kMaxGridRows || (counted && rows > declared_))) return escalate();
    if (parser.cut())
        return pend(table_ ? EndScan::Unit::row : EndScan::Unit::value, list_depth_, r);
    if (list_state_ == ListState::irregular) {
        phase_ = Phase::idle;  // close reads the whole text
        return Step::wait;
    }
    if (list_state_ != ListState::closed) return Step::wait;  // filler runs to the end
    if (counted && rows != declared_) return escalate();
    list_end_ = pos_;
    spliceable_ = true;
    phase_ = Phase::walk;
    return value_done();
}

StreamReader::Step StreamReader::close_level() {
    ++pos_;
    levels_.pop_back();
    if (!followed_) {  // the path leads nowhere
        phase_ = Phase::idle;
        return Step::wait;
    }
    return value_done();
}

// A value on the path has been read: the level around it goes on.
StreamReader::Step StreamReader::value_done() {
    if (levels_.empty())
        top_read_ = true;
    else
        levels_.back().at = Level::At::separator;
    return Step::on;
}

// The text cuts the unit at pos_: the scan follows it, from `scan_from`
// (past a table's marker, for its header), until it may be whole.
StreamReader::Step StreamReader::pend(EndScan::Unit unit, uint32_t depth, const Reading& r,
                                      uint64_t scan_from) {
    if (pending_ && pending_at_ == pos_) {
        unsure_ = true;
        return Step::wait;
    }
    pending_ = true;
    pending_at_ = pos_;
    scan_.start(unit, scan_from, kMaxNestingDepth - depth);
    // An end the scan finds in the text that the reader found cut: the
    // unit is read again at every chunk instead.
    unsure_ = scan_.scan(r.text, r.limit);
    return Step::wait;
}

// Text that the stream does not take: loads, given the text so far, raises
// the error it holds. Should it read the text, nothing more is followed.
StreamReader::Step StreamReader::escalate() {
    if (!read_whole(true)) return Step::failed;
    phase_ = Phase::idle;
    return Step::wait;
}

PyRef StreamReader::close() {
    if (!document_) {
        PyRef document = read_spliced();
        if (!document) {
            PyErr_Clear();  // loads gives the error, or reads what the splice could not
            document = read_whole(false);
        }
        if (!document) return {};
        document_ = std::move(document);
    }
    return PyRef::borrow(document_.get());
}

// The whole document, with the elements read as they came in the place of
// the followed list; empty when the list did not close as it should.
PyRef StreamReader::read_spliced() const {
    if (!spliceable_) return {};
    const auto* text = reinterpret_cast<const uint8_t*>(text_.data());
    FastIndexParser parser(text, fence_.final_end(text_.size()),
                           {ReadOptions::Partial::off, check_counts_});
    parser.pos = fence_.begin;
    // The feeds have read the text around the list, and its padding counted
    // in full; counted here from none, it is never refused.
    parser.splice(list_at_, list_end_, elements_.get());
    parser.skip_filler();
    PyRef document = parser.parse_value(schema_ ? &fields_ : nullptr);
    if (!document) return {};
    parser.skip_filler();
    return parser.at_end() ? std::move(document) : PyRef{};
}

// loads of the text so far, as the stream was made to read it.
PyRef StreamReader::read_whole(bool partial) const {
    PyRef data = PyRef::steal(
        PyBytes_FromStringAndSize(text_.data(), static_cast<Py_ssize_t>(text_.size())));
    PyRef names = PyRef::steal(Py_BuildValue("(sss)", "partial", "check_counts", "fenced"));
    if (!data || !names) return {};
    PyObject* args[] = {data.get(), schema_ ? schema_.get() : Py_None, partial ? Py_True : Py_False,
                        check_counts_ ? Py_True : Py_False, fenced_ ? Py_True : Py_False};
    return loads(args, 2, names.get());
}

// The native part of a vesk.Stream object.
struct StreamState {
    StreamReader reader;
    PyRef failure;  // the ValueError (a DecodeError, mostly) that ended the stream
    bool busy = false;
};

struct StreamObject {
    PyObject ob_base;
    StreamState state;
};

StreamState& state_of(PyObject* self) { return reinterpret_cast<StreamObject*>(self)->state; }

// A fresh copy of exception `error`, as its __reduce__ rebuilds it: without
// its traceback, whose frames may hold the stream.
PyRef copy_error(PyObject* error) {
    PyRef reduced = PyRef::steal(PyObject_CallMethod(error, "__reduce__", nullptr));
    if (!reduced) return {};
    PyObject* make = nullptr;
    PyObject* args = nullptr;
    PyObject* state = Py_None;
    if (!PyArg_ParseTuple(reduced.get(), "OO!|O", &make, &PyTuple_Type, &args, &state)) return {};
    PyRef copy = PyRef::steal(PyObject_Call(make, args, nullptr));
    if (!copy) return {};
    if (state != Py_None) {
        PyRef set = PyRef::steal(PyObject_CallMethod(copy.get(), "__setstate__", "O", state));
        if (!set) return {};
    }
    return copy;
}

// Runs body(state) as one call on the stream: a stream that has failed
// raises its error again, and a call while another thread is inside one
// (the reader lets other threads run while it scans a table, and a chunk's
// buffer may be made by Python code) raises RuntimeError.
template <class Body>
PyObject* in_turn(PyObject* self, Body body) {
    return guarded([&]() -> PyRef {
        StreamState& state = state_of(self);
        if (state.failure) {
            PyRef error = copy_error(state.failure.get());
            if (error) PyErr_SetObject(reinterpret_cast<PyObject*>(Py_TYPE(error.get())), error.get());
            return {};
        }
        if (state.busy)
            return raise_error(PyExc_RuntimeError, "Stream is in use by another thread");
        struct Turn {
            bool& busy;
            ~Turn() { busy = false; }
        } turn{state.busy};
        state.busy = true;
        return body(state);
    });
}

// A ValueError from reading the text ends the stream: every later call
// raises it again. (Where it cannot be copied, the call raises the copy's
// error instead, and the stream stays open.)
PyRef ended(StreamState& state) {
    if (PyErr_ExceptionMatches(PyExc_ValueError)) {
        PyObject* raised = PyErr_GetRaisedException();
        state.failure = copy_error(raised);
        if (state.failure) PyErr_SetRaisedException(raised);
        else Py_DECREF(raised);
    }
    return {};
}

PyObject* stream_new(PyTypeObject* type, PyObject* /*args*/, PyObject* /*kwargs*/) {
    PyObject* self = type->tp_alloc(type, 0);
    if (self) new (&state_of(self)) StreamState();  // constructs without allocating
    return self;
}

void stream_dealloc(PyObject* self) {
    PyTypeObject* type = Py_TYPE(self);
    state_of(self).~StreamState();
    type->tp_free(self);
    Py_DECREF(type);  // each instance of a heap type holds its type
}

int stream_init(PyObject* self, PyObject* args, PyObject* kwargs) {
    static const char* kKeywords[] = {"schema", "check_counts", "fenced", "path", nullptr};
    PyObject* schema = Py_None;
    int check_counts = 0;
    int fenced = 1;
    PyObject* path = Py_None;
    if (!PyArg_ParseTupleAndKeywords(args, kwargs, "|OppO:Stream", const_cast<char**>(kKeywords),
                                     &schema, &check_counts, &fenced, &path))
        return -1;
    PyObject* done = guarded([&]() -> PyRef {
        StreamState& state = state_of(self);
        if (state.busy)
            return raise_error(PyExc_RuntimeError, "Stream is in use by another thread");
        StreamReader reader;
        if (!reader.configure(schema, check_counts != 0, fenced != 0, path)) return {};
        state.reader = std::move(reader);
        state.failure = PyRef();
        return PyRef::borrow(Py_None);
    });
    Py_XDECREF(done);
    return done ? 0 : -1;
}

PyObject* stream_feed(PyObject* self, PyObject* chunk) {
    return in_turn(self, [&](StreamState& state) -> PyRef {
        if (state.reader.closed()) return raise_error(PyExc_RuntimeError, "Stream is closed");
        InputText input;
        if (!input.read(chunk, "chunk")) return {};
        // The stream keeps its own copy of the text, read from then on.
        PyRef found = state.reader.feed(reinterpret_cast<const char*>(input.data()), input.size());
        return found ? std::move(found) : ended(state);
    });
}

PyObject* stream_close(PyObject* self, PyObject* /*unused*/) {
    return in_turn(self, [](StreamState& state) {
        PyRef document = state.reader.close();
        return document ? std::move(document) : ended(state);
    });
}

PyObject* stream_value(PyObject* self, void* /*closure*/) {
    return in_turn(self, [](StreamState& state) { return state.reader.value(); });
}

const char kStreamDoc[] =
    "Stream(schema=None, check_counts=False, fenced=True, path=None)\n"
    "--\n"
    "\n"
    "Reads a VESK or JSON reply that arrives in chunks.\n"
    "\n"
    "`feed` returns the elements of the followed list or table that each\n"
    "chunk finished, each once and in order; `value` is what `loads` with\n"
    "`partial=True` gives for the text so far; `close` returns the whole\n"
    "document. The followed list is the top-level list or table or, when the\n"
    "top level is an object, its first member whose value is a list or table.\n"
    "`path` names another by the keys and indices that lead to it from the\n"
    "top, as in the document `close` returns (`(\"data\", \"users\")`); where\n"
    "it leads to no list or table, `feed` returns nothing and `close` the\n"
    "document. `schema` maps the objects `loads` maps: those reached from the\n"
    "top through lists and table cells alone. Each element is read once: the\n"
    "work is linear in the length of the reply. A stream is used by one\n"
    "thread at a time.";

const char kFeedDoc[] =
    "feed(chunk)\n"
    "--\n"
    "\n"
    "Adds a chunk of the reply (str, or bytes or any contiguous buffer of\n"
    "bytes, split anywhere) and returns the elements of the followed list or\n"
    "table that it finished. A chunk that makes the text wrong raises\n"
    "vesk.DecodeError, as every later call does.";

const char kCloseDoc[] =
    "close()\n"
    "--\n"
    "\n"
    "The whole document, as `loads` gives it; vesk.DecodeError if the text is\n"
    "incomplete or wrong. Closing again gives the same document.";

const char kValueDoc[] = "What `loads(text so far, partial=True)` returns.";

PyMethodDef kStreamMethods[] = {
    {"feed", stream_feed, METH_O, kFeedDoc},
    {"close", stream_close, METH_NOARGS, kCloseDoc},
    {nullptr, nullptr, 0, nullptr},
};

PyGetSetDef kStreamGetSet[] = {
    {"value", stream_value, nullptr, kValueDoc, nullptr},
    {nullptr, nullptr, nullptr, nullptr, nullptr},
};

PyType_Slot kStreamSlots[] = {
    {Py_tp_doc, const_cast<char*>(kStreamDoc)},
    {Py_tp_new, reinterpret_cast<void*>(stream_new)},
    {Py_tp_init, reinterpret_cast<void*>(stream_init)},
    {Py_tp_dealloc, reinterpret_cast<void*>(stream_dealloc)},
    {Py_tp_methods, kStreamMethods},
    {Py_tp_getset, kStreamGetSet},
    {0, nullptr},
};

PyType_Spec kStreamSpec = {
    "vesk.Stream",
    static_cast<int>(sizeof(StreamObject)),
    0,
    Py_TPFLAGS_DEFAULT | Py_TPFLAGS_BASETYPE,
    kStreamSlots,
};

}  // namespace

bool add_stream_type(PyObject* module) {
    PyRef type = PyRef::steal(PyType_FromSpec(&kStreamSpec));
    return type && PyModule_AddObjectRef(module, "Stream", type.get()) == 0;
}

}  // namespace vesk
