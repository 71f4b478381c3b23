#pragma once

// Thread guarantees: none of its own; a Task is a value that one thread owns at a time.

#include <cstddef>
#include <cstdint>
#include <cstring>
#include <new>
#include <type_traits>
#include <utility>

namespace lumvex::platform {

/// A move-only `void()` callable, kept inline when it is small enough. The serial queue's
/// items are these rather than `std::function`, whose 16-byte buffer (libstdc++) cannot
/// hold a fix beside its store: every `addTrace` allocated for its queue item. The buffer
/// holds exactly that (a fix and a reference): a larger one would make every queue item
/// larger, and the queue's blocks fill sooner.
class Task final {
public:
    static constexpr std::size_t INLINE_SIZE = 24;

    Task() noexcept = default;

    template <typename F, typename = std::enable_if_t<!std::is_same_v<std::decay_t<F>, Task> &&
                                                      std::is_invocable_r_v<void, std::decay_t<F>&>>>
    // Implicit, as std::function's: any callable goes where a Task is asked for.
    // NOLINTNEXTLINE(google-explicit-constructor)
    Task(F&& f) {
        using Callable = std::decay_t<F>;
        if constexpr (fitsInline<Callable>()) {
            ::new (static_cast<void*>(buffer_)) Callable(std::forward<F>(f));
            setOps(&inlineOps<Callable>);
        } else {
            ::new (static_cast<void*>(buffer_)) Callable*(new Callable(std::forward<F>(f)));
            setOps(&heapOps<Callable>);
        }
    }

    Task(Task&& other) noexcept : opsAndMark_(other.opsAndMark_) {
        if (ops()) {
            relocateFrom(other);
        }
        other.opsAndMark_ = 0;
    }

    Task& operator=(Task&& other) noexcept {
        if (this != &other) {
            reset();
            opsAndMark_ = other.opsAndMark_;
            if (ops()) {
                relocateFrom(other);
            }
            other.opsAndMark_ = 0;
        }
        return *this;
    }

    Task& operator=(std::nullptr_t) noexcept {
        reset();
        return *this;
    }

    ~Task() { reset(); }

    Task(const Task&) = delete;
    Task& operator=(const Task&) = delete;

    explicit operator bool() const noexcept { return ops() != nullptr; }

    /// Runs the callable; an empty task does nothing.
    void operator()() {
        if (const Ops* o = ops()) {
            o->call(buffer_);
        }
    }

    /// One bit of its holder's, which moves with the task and is cleared when it is emptied:
    /// the serial queue marks its durable items so, and an item stays the task's 32 bytes
    /// (a flag beside it made 40, and the host's call writes every byte of its item).
    void setMarked(bool marked) noexcept { opsAndMark_ = (opsAndMark_ & ~MARK) | (marked ? MARK : 0); }
    bool marked() const noexcept { return (opsAndMark_ & MARK) != 0; }

private:
    struct Ops {
        void (*call)(void* storage);
        // Moves the callable from one buffer into the other, empty one, and ends the old;
        // none when copying its bytes does that (a fix and a reference, a pointer).
        void (*relocate)(void* from, void* to) noexcept;
        // None when there is nothing to end.
        void (*destroy)(void* storage) noexcept;
    };

    // The operations' table in the high bits, the holder's mark in the lowest, which the
    // table's alignment leaves free.
    static constexpr std::uintptr_t MARK = 1;
    const Ops* ops() const noexcept { return reinterpret_cast<const Ops*>(opsAndMark_ & ~MARK); }
    void setOps(const Ops* ops) noexcept {
        opsAndMark_ = reinterpret_cast<std::uintptr_t>(ops) | (opsAndMark_ & MARK);
    }

    // A task is moved twice on its way into the queue and once out: for the small, plain
    // callables of the host's calls that is a copy of the buffer, not two indirect calls.
    // The caller empties `other`.
    void relocateFrom(Task& other) noexcept {
        if (ops()->relocate) {
            ops()->relocate(other.buffer_, buffer_);
        } else {
            std::memcpy(buffer_, other.buffer_, INLINE_SIZE);
        }
    }

    template <typename Callable>
    static constexpr bool fitsInline() {
        return sizeof(Callable) <= INLINE_SIZE && alignof(Callable) <= ALIGNMENT &&
               std::is_nothrow_move_constructible_v<Callable>;
    }

    template <typename Callable>
    static constexpr Ops inlineOps{
        [](void* storage) { (*static_cast<Callable*>(storage))(); },
        std::is_trivially_copyable_v<Callable> ? nullptr
                                               : +[](void* from, void* to) noexcept {
                                                     auto* source = static_cast<Callable*>(from);
                                                     ::new (to) Callable(std::move(*source));
                                                     source->~Callable();
                                                 },
        std::is_trivially_destructible_v<Callable>
            ? nullptr
            : +[](void* storage) noexcept { static_cast<Callable*>(storage)->~Callable(); },
    };

    template <typename Callable>
    static constexpr Ops heapOps{
        [](void* storage) { (**static_cast<Callable**>(storage))(); },
        nullptr,  // the pointer is copied
        [](void* storage) noexcept { delete *static_cast<Callable**>(storage); },
    };

    void reset() noexcept {
        const Ops* o = ops();
        opsAndMark_ = 0;
        if (o && o->destroy) {
            o->destroy(buffer_);
        }
    }

    // Pointer alignment, as a fix and a reference need: 32 bytes a task, not 48.
    static constexpr std::size_t ALIGNMENT = alignof(void*);
    alignas(ALIGNMENT) unsigned char buffer_[INLINE_SIZE];
    std::uintptr_t opsAndMark_ = 0;
    static_assert(alignof(Ops) > MARK);
};

}  // namespace lumvex::platform
