// Native stack for the recursive reader and writer. Both descend one native
// frame group per nesting level, and a caller's thread may have far less
// stack than the nesting limits need (a thread started with
// threading.stack_size(256 * 1024), or a sanitizer build, whose frames are
// several times larger). Before each container they ask for room; when the
// thread's stack runs low, the rest of the descent continues on a fresh
// segment of stack mapped for it, on the same thread, and the segment is
// unmapped when that container is done. Plain C++, no Python.h.
#pragma once

#include <cstddef>
#include <cstdint>
#include <exception>
#include <optional>
#include <utility>

namespace vesk {

#if defined(__SANITIZE_ADDRESS__)
#define VESK_ASAN 1
#elif defined(__has_feature)
#if __has_feature(address_sanitizer)
#define VESK_ASAN 1
#endif
#endif

// Stack that must remain below a frame before it goes one container deeper:
// enough for one nesting level and for whatever the interpreter does in the
// calls a level makes (a conversion method, a key's __str__, the collector).
#ifdef VESK_ASAN
inline constexpr size_t kStackRedZone = size_t{256} << 10;
#else
inline constexpr size_t kStackRedZone = size_t{64} << 10;
#endif

// A segment: address space is reserved, and only the pages a descent
// touches are ever backed by memory.
inline constexpr size_t kStackSegmentBytes = size_t{16} << 20;

// The lowest usable address of the stack the calling thread runs on now.
uintptr_t stack_low_bound();
// Where the calling thread keeps that address, found out if it was not
// yet: read through it, later on the same thread, it is the address of
// the stack the thread runs on then, without another thread-local lookup.
const uintptr_t& stack_low_bound_record();

// The stack pointer, read without making the caller keep a frame pointer
// (__builtin_frame_address does, which costs the reader and writer a
// register in their hottest loops).
inline uintptr_t stack_pointer() {
    uintptr_t sp;
    asm("mov %%rsp, %0" : "=r"(sp));
    return sp;
}

// Calls body(context) on a new segment of the calling thread and returns
// once it has returned. An exception thrown by the body is carried across
// and rethrown here. Throws std::bad_alloc when no segment can be mapped.
void run_on_new_stack(void (*body)(void*), void* context);

// fn(), on a new segment.
template <class Fn>
auto on_new_stack(Fn&& fn) -> decltype(fn()) {
    struct Call {
        Fn& fn;
        std::optional<decltype(fn())> result;
    } call{fn, std::nullopt};
    run_on_new_stack(
        [](void* context) {
            auto& c = *static_cast<Call*>(context);
            c.result.emplace(c.fn());
        },
        &call);
    return std::move(*call.result);
}

// The stack room of one reader or writer call, which checks low() before
// each container and, when it is, goes on through grow(). The thread's
// bound is read once, when the call starts (a thread-local read per container would cost
// a call into the loader), and follows the call onto each segment.
class StackRoom {
public:
    StackRoom() : StackRoom(stack_low_bound()) {}
    // With the bound of the stack the caller runs on, found already.
    explicit StackRoom(uintptr_t low_bound) : limit_(low_bound + kStackRedZone) {}

    bool low() const { return stack_pointer() < limit_; }

    // fn(), on a new segment; for a caller that has found its stack low.
    template <class Fn>
    auto grow(Fn&& fn) -> decltype(fn()) {
        struct Restore {
            uintptr_t& limit;
            uintptr_t outer;
            ~Restore() { limit = outer; }
        } restore{limit_, limit_};
        return on_new_stack([&] {
            limit_ = stack_low_bound() + kStackRedZone;
            return fn();
        });
    }

private:
    uintptr_t limit_;
};

}  // namespace vesk
