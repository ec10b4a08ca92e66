// Text in and out: strict UTF-8 decoding into 1-, 2- or 4-byte units against a reference decoder,
// and the writer's output text against a model of 32-bit units.
#include <new>
#include <optional>

#include "native_test.hpp"
#include "parser/utf8.hpp"
#include "types/output_text.hpp"

namespace vesk {
namespace {

// By the definition: shortest form only, no surrogates, at most U+10FFFF.
std::optional<std::vector<uint32_t>> reference_decode(std::string_view s) {
    std::vector<uint32_t> out;
    for (size_t i = 0; i < s.size();) {
        const auto c = static_cast<uint8_t>(s[i]);
        const size_t n = c < 0x80         ? 1
                         : c >> 5 == 0x6  ? 2
                         : c >> 4 == 0xE  ? 3
                         : c >> 3 == 0x1E ? 4
                                          : 0;
        if (n == 0 || i + n > s.size()) return std::nullopt;
        uint32_t cp = n == 1 ? c : c & (0x7F >> n);
        for (size_t k = 1; k < n; ++k) {
            const auto b = static_cast<uint8_t>(s[i + k]);
            if (b >> 6 != 0x2) return std::nullopt;
            cp = cp << 6 | (b & 0x3F);
        }
        const uint32_t shortest[] = {0, 0, 0x80, 0x800, 0x10000};
        if (cp < shortest[n] || (cp >= 0xD800 && cp <= 0xDFFF) || cp > 0x10FFFF)
            return std::nullopt;
        out.push_back(cp);
        i += n;
    }
    return out;
}

std::string utf8(uint32_t cp) {
    std::string out;
    append_utf8(out, cp);
    return out;
}

template <class Unit>
std::optional<std::vector<uint32_t>> decoded_as(std::string_view s, size_t units) {
    std::vector<Unit> out(units + 1, Unit{0x55});  // one guard unit past the room
    if (!decode_utf8(reinterpret_cast<const uint8_t*>(s.data()), s.size(), out.data()))
        return std::nullopt;
    EXPECT_EQ(out[units], Unit{0x55}) << "wrote past the room";
    return std::vector<uint32_t>(out.begin(), out.end() - 1);
}

// Decodes at the width the shape picks, that of the widest code point; invalid text is refused.
void check(std::string_view s) {
    const auto want = reference_decode(s);
    const Utf8Shape shape = utf8_shape(reinterpret_cast<const uint8_t*>(s.data()), s.size());
    const uint32_t width = shape.max_code_point();
    const auto got = width <= 0xFF     ? decoded_as<uint8_t>(s, shape.code_points)
                     : width <= 0xFFFF ? decoded_as<uint16_t>(s, shape.code_points)
                                       : decoded_as<uint32_t>(s, shape.code_points);
    ASSERT_EQ(got, want) << testing::PrintToString(s);
    if (!want) return;
    const uint32_t widest = want->empty() ? 0 : *std::max_element(want->begin(), want->end());
    EXPECT_EQ(width, widest < 0x80      ? 0x7F
                     : widest < 0x100   ? 0xFF
                     : widest < 0x10000 ? 0xFFFF
                                        : 0x10FFFF);
}

// Each bad sequence inserted and written over at every offset of a mixed-width text of over two
// 32-byte blocks, with a run of three-byte characters for several vector steps; random text.
TEST(Utf8, DecodedAsTheReferenceDecodes) {
    std::string run;
    for (uint32_t cp : {0x65E5u, 0x672Cu, 0x8A9Eu, 0x30C6u, 0x30ADu, 0x30B9u, 0x30C8u, 0x800u,
                        0xD7FFu, 0xE000u, 0xFFFFu, 0x3042u, 0x4E00u, 0xFF01u})
        run += utf8(cp);
    const std::string base = "ab" + utf8(0xE9) + "cd" + utf8(0x65E5) + "efgh" + utf8(0x1F600) +
                             std::string(40, 'x') + utf8(0x100) + "yz" + run + "q" + run;
    for (const std::string bad :
         {"\x80", "\xBF", "\xC0\xAF", "\xC1\xBF", "\xC3", "\xC3(", "\xE0\x9F\xBF", "\xE3\x81",
          "\xE3(\x81", "\xED\xA0\x80", "\xED\xBF\xBF", "\xF0\x8F\xBF\xBF", "\xF4\x90\x80\x80",
          "\xF5\x80\x80\x80", "\xF8", "\xFF", "\xF0\x9F\x98"})
        for (size_t at = 0; at <= base.size(); ++at) {
            std::string inserted = base, replaced = base;
            ASSERT_NO_FATAL_FAILURE(check(inserted.insert(at, bad)));
            ASSERT_NO_FATAL_FAILURE(
                check(replaced.replace(std::min(at, base.size() - 1), bad.size(), bad)));
        }
    // Runs of code points at both ends of each width class, with any byte now and then.
    const uint32_t samples[] = {0x00,  0x41,   0x7F,   0x80,   0xE9,   0xFF,    0x100,   0x7FF,
                                0x800, 0x65E5, 0xD7FF, 0xE000, 0xFFFF, 0x10000, 0x1F600, 0x10FFFF};
    std::mt19937_64 rng(0x0DEC0DE);
    for (int round = 0; round < 20000; ++round) {
        std::string s;
        const uint32_t favourite = samples[rng() % std::size(samples)];
        for (size_t i = 0, n = rng() % 120; i < n; ++i)  // any byte, now and then: mostly invalid
            s += rng() % (round % 2 ? 8 : 400) == 0
                     ? std::string(1, static_cast<char>(rng()))
                     : utf8((rng() % 4 ? favourite : samples[rng() % std::size(samples)]) +
                            static_cast<uint32_t>(rng() % 3));
        ASSERT_NO_FATAL_FAILURE(check(s));
    }
}

// Latin-1 runs (zero extension), wide strings of both kinds, writes given up, marks rewound, runs
// on both sides of the widening copy's 32-byte steps; one text, cleared between rounds.
TEST(OutputText, SplicedTextMatchesModel) {
    std::mt19937_64 rng(0x0DD5'711C);
    OutputText text;
    for (int round = 0; round < 400; ++round) {
        text.clear();
        std::vector<uint32_t> model;
        std::vector<std::pair<OutputText::Mark, size_t>> marks;
        for (int step = 0, steps = static_cast<int>(rng() % 24); step < steps; ++step) {
            const size_t length = rng() % 70;
            const uint64_t action = rng() % 6;
            if (action < 2) {
                std::string run(length, '\0');
                for (char& c : run) c = static_cast<char>(rng() % 256);
                text.narrow().append_bytes(run.data(), run.size());
                for (char c : run) model.push_back(static_cast<uint8_t>(c));
            } else if (action < 4) {
                const unsigned kind = rng() % 2 ? 2 : 4;
                std::vector<uint32_t> units(length + 1);  // a wide string is never empty
                for (uint32_t& u : units)
                    u = kind == 2 ? 0x100 + static_cast<uint32_t>(rng() % 0xFF00)
                                  : 0x10000 + static_cast<uint32_t>(rng() % 0x100000);
                const std::vector<uint16_t> units16(units.begin(), units.end());
                const void* data =
                    kind == 2 ? static_cast<const void*>(units16.data()) : units.data();
                const bool keep = rng() % 5 != 0;
                const auto add = [&](OutputBuffer& wide) {
                    wide.append_units(data, kind, units.size());
                    return keep;
                };
                ASSERT_EQ(text.add_wide(kind, add), keep);
                if (keep) model.insert(model.end(), units.begin(), units.end());
            } else if (action == 4) {
                marks.emplace_back(text.mark(), model.size());
            } else if (!marks.empty()) {
                text.rewind(marks.back().first);
                model.resize(marks.back().second);
                marks.pop_back();
            }
            ASSERT_EQ(text.size(), model.size()) << "round " << round << " step " << step;
        }
        // The narrowest kind that holds the text, and every wider one.
        const uint32_t widest = model.empty() ? 0 : *std::max_element(model.begin(), model.end());
        for (unsigned kind = widest > 0xFFFF ? 4 : widest > 0xFF ? 2 : 1; kind <= 4; kind *= 2) {
            std::vector<uint8_t> bytes(text.size() * kind + 1, 0xEE);  // one byte more: no overrun
            text.copy_to(bytes.data(), kind);
            ASSERT_EQ(bytes.back(), 0xEE) << "round " << round << " kind " << kind;
            ASSERT_EQ(units_of(bytes.data(), text.size(), kind), model)
                << "round " << round << " kind " << kind;
        }
    }
}

// Text widened keeps its units; bytes and narrower units appended to a wider buffer are zero
// extended; growth keeps the text, truncate rewinds it, clear keeps the capacity for the next call;
// a size past what a buffer can address is refused, not wrapped.
TEST(OutputBuffer, WidenAppendRewindGrow) {
    for (unsigned from : {1u, 2u, 4u})
        for (unsigned to = from; to <= 4; to *= 2) {
            OutputBuffer out;
            out.widen(from);
            std::vector<uint32_t> want;
            for (size_t i = 0; i < 10000; ++i) {
                const char c = static_cast<char>(0x80 + i % 128);
                out.append_bytes(&c, 1);
                want.push_back(static_cast<uint8_t>(c));
            }
            out.widen(to);
            out.widen(from);  // narrower: no change
            std::string latin(70, 'a');
            latin[1] = '\xe9';  // zero extended, as the rest, by the widening loops' vector steps
            const uint16_t bmp[] = {0x20ac, 'b'};
            out.append_units(latin.data(), 1, latin.size());
            const size_t mark = out.size();
            if (to == 4) out.append_units(bmp, 2, 2);  // into wider units
            out.truncate(mark);
            for (char c : latin) want.push_back(static_cast<uint8_t>(c));
            ASSERT_EQ(std::pair(out.width(), units_of(out.bytes(), out.size(), to)),
                      std::pair(to, want))
                << from << " -> " << to;
            EXPECT_THROW(out.reserve(SIZE_MAX / to), std::bad_alloc);
            const size_t capacity = out.capacity_bytes();
            out.clear();
            EXPECT_EQ(std::tuple(out.size(), out.width(), out.capacity_bytes()),
                      std::tuple(size_t{0}, 1u, capacity));
        }
}

}  // namespace
}  // namespace vesk
