#include "stack_room.hpp"

#include <pthread.h>
#include <sys/mman.h>
#include <ucontext.h>
#include <unistd.h>

#include <new>

#ifdef VESK_ASAN
#include <sanitizer/asan_interface.h>
#include <sanitizer/common_interface_defs.h>
#endif

namespace vesk {
namespace {

// The low bound of the stack the thread runs on: its own, found on first
// use, or the segment it has switched to. 0 until known.
thread_local uintptr_t STACK_LOW = 0;

uintptr_t thread_stack_low() {
    pthread_attr_t attr;
    if (pthread_getattr_np(pthread_self(), &attr) != 0) {
        // Unknown bounds: assume a megabyte below the first frame that asks,
        // which the reader and writer never need on a stack of their own.
        return stack_pointer() - (size_t{1} << 20);
    }
    void* base = nullptr;
    size_t size = 0;
    size_t guard = 0;
    pthread_attr_getstack(&attr, &base, &size);
    pthread_attr_getguardsize(&attr, &guard);
    pthread_attr_destroy(&attr);
    // Threads' guard pages lie inside [base, base + size) on glibc.
    return reinterpret_cast<uintptr_t>(base) + guard;
}

// One switch onto a segment and back. Lives on the caller's stack.
struct Switch {
    void (*body)(void*);
    void* context;
    ucontext_t caller;
    ucontext_t callee;
    std::exception_ptr failure;
#ifdef VESK_ASAN
    const void* caller_bottom = nullptr;
    size_t caller_size = 0;
#endif
};

// makecontext passes int arguments only: the Switch address is split in two.
void trampoline(unsigned high, unsigned low) {
    auto* s = reinterpret_cast<Switch*>((uintptr_t{high} << 32) | low);
#ifdef VESK_ASAN
    __sanitizer_finish_switch_fiber(nullptr, &s->caller_bottom, &s->caller_size);
#endif
    try {
        s->body(s->context);
    } catch (...) {
        s->failure = std::current_exception();
    }
#ifdef VESK_ASAN
    // This fiber never runs again: a null first argument frees its state.
    __sanitizer_start_switch_fiber(nullptr, s->caller_bottom, s->caller_size);
#endif
    swapcontext(&s->callee, &s->caller);
}

// A mapped segment with an inaccessible page below it, so that running off
// its end faults instead of writing over other memory.
class Segment {
public:
    Segment() {
        void* p = mmap(nullptr, kMapped, PROT_READ | PROT_WRITE,
                       MAP_PRIVATE | MAP_ANONYMOUS | MAP_NORESERVE, -1, 0);
        if (p == MAP_FAILED) throw std::bad_alloc();
        base_ = static_cast<char*>(p);
        mprotect(base_, kGuard, PROT_NONE);
    }
    ~Segment() {
#ifdef VESK_ASAN
        // The trampoline's frame never returns, so its redzones stay
        // poisoned; a segment mapped here later would inherit them.
        ASAN_UNPOISON_MEMORY_REGION(low(), size());
#endif
        munmap(base_, kMapped);
    }
    Segment(const Segment&) = delete;
    Segment& operator=(const Segment&) = delete;

    char* low() const { return base_ + kGuard; }
    static constexpr size_t size() { return kStackSegmentBytes; }

private:
    static constexpr size_t kGuard = 64 << 10;
    static constexpr size_t kMapped = kStackSegmentBytes + kGuard;
    char* base_;
};

}  // namespace

const uintptr_t& stack_low_bound_record() {
    if (STACK_LOW == 0) STACK_LOW = thread_stack_low();
    return STACK_LOW;
}

uintptr_t stack_low_bound() { return stack_low_bound_record(); }

void run_on_new_stack(void (*body)(void*), void* context) {
    Segment segment;
    Switch s{body, context, {}, {}, nullptr};
    if (getcontext(&s.callee) != 0) throw std::bad_alloc();
    s.callee.uc_stack.ss_sp = segment.low();
    s.callee.uc_stack.ss_size = Segment::size();
    s.callee.uc_link = nullptr;
    const auto address = reinterpret_cast<uintptr_t>(&s);
    makecontext(&s.callee, reinterpret_cast<void (*)()>(trampoline), 2,
                static_cast<unsigned>(address >> 32), static_cast<unsigned>(address));

    const uintptr_t outer_low = stack_low_bound();
    STACK_LOW = reinterpret_cast<uintptr_t>(segment.low());
#ifdef VESK_ASAN
    void* fake_stack = nullptr;
    __sanitizer_start_switch_fiber(&fake_stack, segment.low(), Segment::size());
#endif
    swapcontext(&s.caller, &s.callee);
#ifdef VESK_ASAN
    __sanitizer_finish_switch_fiber(fake_stack, nullptr, nullptr);
#endif
    STACK_LOW = outer_low;
    if (s.failure) std::rethrow_exception(s.failure);
}

}  // namespace vesk
