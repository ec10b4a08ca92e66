#include <pthread.h>

#include <stdexcept>

#include "native_test.hpp"
#include "stack_room.hpp"

namespace vesk {
namespace {

// About 1 KB of stack per level, asking for room at each as the reader and writer do.
int descend(StackRoom& room, int levels) {
    volatile unsigned char frame[1024];
    std::memset(const_cast<unsigned char*>(frame), levels & 0xff, sizeof frame);
    if (levels == 0) return 0;
    const int below = room.low() ? room.grow([&] { return descend(room, levels - 1); })
                                 : descend(room, levels - 1);
    return below + (frame[levels % sizeof frame] == (levels & 0xff));
}

// 20 MB of frames on a 256 KB thread: through several segments and back to the thread's bound.
TEST(StackRoom, DeepRecursionOnSegments) {
    struct Run {
        int result = -1;
        uintptr_t low_before = 0, low_after = 0;
    } run;
    pthread_attr_t attr;
    pthread_attr_init(&attr);
    pthread_attr_setstacksize(&attr, 256 * 1024);
    pthread_t thread;
    ASSERT_EQ(pthread_create(
                  &thread, &attr,
                  [](void* arg) -> void* {
                      auto* r = static_cast<Run*>(arg);
                      r->low_before = stack_low_bound();
                      StackRoom room;
                      r->result = descend(room, 20000);
                      r->low_after = stack_low_bound();
                      return nullptr;
                  },
                  &run),
              0);
    pthread_join(thread, nullptr);
    pthread_attr_destroy(&attr);
    EXPECT_EQ(run.result, 20000);
    EXPECT_NE(run.low_before, 0u);
    EXPECT_EQ(run.low_after, run.low_before);
    // On a segment the bound is the segment's, then the thread's again; values and exceptions
    // return.
    const uintptr_t own = stack_low_bound();
    EXPECT_LT(own, stack_pointer());
    const uintptr_t inner = on_new_stack([] {
        const auto frame = stack_pointer();
        EXPECT_LT(stack_low_bound(), frame);
        EXPECT_LT(frame, stack_low_bound() + kStackSegmentBytes);
        return stack_low_bound();
    });
    EXPECT_NE(inner, own);
    EXPECT_EQ(stack_low_bound(), own);
    EXPECT_THROW(on_new_stack([]() -> int { throw std::runtime_error("deep"); }),
                 std::runtime_error);
    EXPECT_THROW(on_new_stack([] { return on_new_stack([]() -> int { throw std::bad_alloc(); }); }),
                 std::bad_alloc);
}

}  // namespace
}  // namespace vesk
