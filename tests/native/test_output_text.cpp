// The writer's output text: narrow text with wide strings spliced in, marks
// and rewinds, filled into every kind. A model that keeps every character
// as a 32-bit unit says what the text must be.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstdint>
#include <new>
#include <random>
#include <string>
#include <tuple>
#include <utility>
#include <vector>

#include "types/output_text.hpp"

namespace vesk {
namespace {

std::vector<uint32_t> filled(const OutputText& text, unsigned kind) {
    std::vector<uint8_t> bytes(text.size() * kind + 1, 0xEE);  // one byte more: no overrun
    text.copy_to(bytes.data(), kind);
    EXPECT_EQ(bytes.back(), 0xEE) << "wrote past " << text.size() << " units of " << kind;
    std::vector<uint32_t> units(text.size());
    for (size_t i = 0; i < units.size(); ++i) {
        const uint8_t* at = bytes.data() + i * kind;
        uint32_t unit = 0;
        for (unsigned b = 0; b < kind; ++b) unit |= uint32_t{at[b]} << (8 * b);
        units[i] = unit;
    }
    return units;
}

unsigned kind_of(const std::vector<uint32_t>& units) {
    const uint32_t widest = units.empty() ? 0 : *std::max_element(units.begin(), units.end());
    return widest > 0xFFFF ? 4 : widest > 0xFF ? 2 : 1;
}

// Random narrow runs (Latin-1, so that zero extension is tested), wide
// strings of both kinds, writes given up, and marks rewound, with run
// lengths on both sides of the 32-byte steps of the widening copy.
TEST(OutputText, SplicedTextMatchesModel) {
    std::mt19937_64 rng(0x0DD5'711C);
    for (int round = 0; round < 400; ++round) {
        OutputText text;
        std::vector<uint32_t> model;
        std::vector<std::pair<OutputText::Mark, size_t>> marks;
        const int steps = static_cast<int>(rng() % 24);
        for (int step = 0; step < steps; ++step) {
            const size_t length = rng() % 70;
            switch (rng() % 6) {
                case 0: case 1: {
                    std::string run(length, '\0');
                    for (char& c : run) c = static_cast<char>(rng() % 256);
                    text.narrow().append_bytes(run.data(), run.size());
                    for (char c : run) model.push_back(static_cast<uint8_t>(c));
                    break;
                }
                case 2: case 3: {
                    const unsigned kind = rng() % 2 ? 2 : 4;
                    std::vector<uint32_t> units(length + 1);  // a wide string is never empty
                    for (uint32_t& u : units)
                        u = kind == 2 ? 0x100 + static_cast<uint32_t>(rng() % 0xFF00)
                                      : 0x10000 + static_cast<uint32_t>(rng() % 0x100000);
                    const std::vector<uint16_t> units16(units.begin(), units.end());
                    const bool keep = rng() % 5 != 0;
                    const bool added = text.add_wide(kind, [&](OutputBuffer& wide) {
                        if (kind == 2) wide.append_units(units16.data(), 2, units.size());
                        else wide.append_units(units.data(), 4, units.size());
                        return keep;
                    });
                    ASSERT_EQ(added, keep);
                    if (keep) model.insert(model.end(), units.begin(), units.end());
                    break;
                }
                case 4: marks.emplace_back(text.mark(), model.size()); break;
                default:
                    if (marks.empty()) break;
                    text.rewind(marks.back().first);
                    model.resize(marks.back().second);
                    marks.pop_back();
                    break;
            }
            ASSERT_EQ(text.size(), model.size()) << "round " << round << " step " << step;
        }
        // The narrowest kind that holds the text, and every wider one.
        for (unsigned kind : {1u, 2u, 4u}) {
            if (kind < kind_of(model)) continue;
            ASSERT_EQ(filled(text, kind), model) << "round " << round << " kind " << kind;
        }
    }
}

TEST(OutputText, ClearKeepsNothingOfTheLastText) {
    OutputText text;
    const uint32_t emoji[] = {0x1F600};
    text.narrow().append_bytes("ab", 2);
    ASSERT_TRUE(text.add_wide(4, [&](OutputBuffer& wide) {
        wide.append_units(emoji, 4, 1);
        return true;
    }));
    text.clear();
    text.narrow().append_bytes("xy", 2);
    EXPECT_EQ(filled(text, 1), (std::vector<uint32_t>{'x', 'y'}));
}

std::vector<uint32_t> read_units(const OutputBuffer& out) {
    std::vector<uint32_t> units(out.size());
    for (size_t i = 0; i < units.size(); ++i)
        for (unsigned b = 0; b < out.width(); ++b)
            units[i] |= uint32_t{out.bytes()[i * out.width() + b]} << (8 * b);
    return units;
}

// The buffer under the text: ASCII written in place keeps only its length,
// widening keeps what is written (Latin-1 bytes zero-extended), units of
// any kind go into a wider buffer, truncation and clear rewind, growth keeps the
// text and impossible sizes are refused with the text intact.
TEST(OutputBuffer, WidenAppendRewindGrow) {
    for (unsigned from : {1u, 2u, 4u})
        for (unsigned to : {from, std::min(2 * from, 4u), 4u}) {
            OutputBuffer out;
            out.widen(from);
            std::vector<uint32_t> want;
            for (size_t i = 0; i < 10000; ++i) {
                const char c = static_cast<char>(0x80 + i % 128);
                out.append_bytes(&c, 1);
                want.push_back(static_cast<uint8_t>(c));
            }
            if (from == 1) {  // numbers are written into narrow text
                char* at = out.ascii_begin(48);
                std::fill(at, at + 48, '#');
                at[0] = '7';
                out.ascii_end(1);
                want.push_back('7');
            }
            out.widen(to);
            out.widen(from);  // narrower: no change
            const uint8_t latin[] = {'a', 0xe9};
            out.append_units(latin, 1, 2);
            want.insert(want.end(), {'a', 0xe9});
            const size_t mark = out.size();
            if (to == 4) {
                const uint32_t astral[] = {0x1f600, 'c'};
                out.append_units(astral, 4, 2);
            } else if (to == 2) {
                const uint16_t bmp[] = {0x20ac, 'b'};
                out.append_units(bmp, 2, 2);
            }
            EXPECT_EQ(out.width(), to);
            out.truncate(mark);
            EXPECT_EQ(read_units(out), want) << from << " -> " << to;
            EXPECT_THROW(out.reserve(SIZE_MAX / to), std::bad_alloc);
            out.append_bytes("!", 1);
            EXPECT_EQ(read_units(out).back(), uint32_t{'!'});
            EXPECT_EQ(read_units(out)[99], want[99]);
            const size_t capacity = out.capacity_bytes();
            out.clear();
            EXPECT_EQ(std::tuple(out.size(), out.width(), out.capacity_bytes()),
                      std::tuple(size_t{0}, 1u, capacity));  // memory kept for the next call
        }
}

}  // namespace
}  // namespace vesk
