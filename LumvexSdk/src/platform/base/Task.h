#pragma once

// Thread guarantees: none of its own; a Task is a value that one thread owns at a time.

#include <cstddef>
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
            ops_ = &inlineOps<Callable>;
        } else {
            ::new (static_cast<void*>(buffer_)) Callable*(new Callable(std::forward<F>(f)));
            ops_ = &heapOps<Callable>;
        }
    }

    Task(Task&& other) noexcept : ops_(other.ops_) {
        if (ops_) {
            relocateFrom(other);
        }
    }

    Task& operator=(Task&& other) noexcept {
        if (this != &other) {
            reset();
            if (other.ops_) {
                ops_ = other.ops_;
                relocateFrom(other);
            }
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

    explicit operator bool() const noexcept { return ops_ != nullptr; }

    /// Runs the callable; an empty task does nothing.
    void operator()() {
        if (ops_) {
            ops_->call(buffer_);
        }
    }

private:
    struct Ops {
        void (*call)(void* storage);
        // Moves the callable from one buffer into the other, empty one, and ends the old;
        // none when copying its bytes does that (a fix and a reference, a pointer).
        void (*relocate)(void* from, void* to) noexcept;
        // None when there is nothing to end.
        void (*destroy)(void* storage) noexcept;
    };

    // A task is moved twice on its way into the queue and once out: for the small, plain
    // callables of the host's calls that is a copy of the buffer, not two indirect calls.
    void relocateFrom(Task& other) noexcept {
        if (ops_->relocate) {
            ops_->relocate(other.buffer_, buffer_);
        } else {
            std::memcpy(buffer_, other.buffer_, INLINE_SIZE);
        }
        other.ops_ = nullptr;
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
        if (ops_) {
            const Ops* ops = ops_;
            ops_ = nullptr;
            if (ops->destroy) {
                ops->destroy(buffer_);
            }
        }
    }

    // Pointer alignment, as a fix and a reference need: 32 bytes a task, not 48.
    static constexpr std::size_t ALIGNMENT = alignof(void*);
    alignas(ALIGNMENT) unsigned char buffer_[INLINE_SIZE];
    const Ops* ops_ = nullptr;
};

}  // namespace lumvex::platform
