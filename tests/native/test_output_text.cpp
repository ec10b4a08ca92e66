// The writer's output text (wide strings spliced into narrow text, marks, rewinds, copies into
// every kind) against a model of 32-bit units; and the buffer under it.

#include <new>

#include "native_test.hpp"
#include "types/output_text.hpp"

namespace vesk {
namespace {

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
                const bool keep = rng() % 5 != 0;
                ASSERT_EQ(text.add_wide(kind,
                                        [&](OutputBuffer& wide) {
                                            if (kind == 2)
                                                wide.append_units(units16.data(), 2, units.size());
                                            else
                                                wide.append_units(units.data(), 4, units.size());
                                            return keep;
                                        }),
                          keep);
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

// In-place ASCII keeps its length only, widening keeps the text, units go into wider buffers,
// truncate and clear rewind, growth keeps the text and an impossible size is refused.
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
            const uint16_t bmp[] = {0x20ac, 'b'};
            const uint32_t astral[] = {0x1f600, 'c'};
            out.append_units(latin, 1, 2);
            want.insert(want.end(), {'a', 0xe9});
            const size_t mark = out.size();
            if (to > 1) out.append_units(to == 4 ? static_cast<const void*>(astral) : bmp, to, 2);
            EXPECT_EQ(out.width(), to);
            out.truncate(mark);
            EXPECT_EQ(units_of(out.bytes(), out.size(), to), want) << from << " -> " << to;
            EXPECT_THROW(out.reserve(SIZE_MAX / to), std::bad_alloc);
            out.append_bytes("!", 1);
            want.push_back('!');
            EXPECT_EQ(units_of(out.bytes(), out.size(), to), want) << from << " -> " << to;
            const size_t capacity = out.capacity_bytes();
            out.clear();
            EXPECT_EQ(std::tuple(out.size(), out.width(), out.capacity_bytes()),
                      std::tuple(size_t{0}, 1u, capacity));  // memory kept for the next call
        }
}

}  // namespace
}  // namespace vesk
