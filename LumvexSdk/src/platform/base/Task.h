#pragma once

// Thread guarantees: none of its own; a Task is a value that one thread owns at a time.

#include <cstddef>
#include <new>
#include <type_traits>
#include <utility>

namespace lumvex::platform {

/// A move-only `void()` callable, kept inline when it is small enough. The serial queue's
/// items are these rather than `std::function`, whose 16-byte buffer (libstdc++) cannot
/// hold a fix beside its store: every `addTrace` allocated for its queue item. The buffer
/// holds any `std::function` too, so work handed over as one is moved in without a copy.
class Task final {
public:
    static constexpr std::size_t INLINE_SIZE = 32;

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
            ops_->relocate(other.buffer_, buffer_);
            other.ops_ = nullptr;
        }
    }

    Task& operator=(Task&& other) noexcept {
        if (this != &other) {
            reset();
            if (other.ops_) {
                other.ops_->relocate(other.buffer_, buffer_);
                ops_ = other.ops_;
                other.ops_ = nullptr;
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
        // Moves the callable from one buffer into the other, empty one, and ends the old.
        void (*relocate)(void* from, void* to) noexcept;
        void (*destroy)(void* storage) noexcept;
    };

    template <typename Callable>
    static constexpr bool fitsInline() {
        return sizeof(Callable) <= INLINE_SIZE && alignof(Callable) <= ALIGNMENT &&
               std::is_nothrow_move_constructible_v<Callable>;
    }

    template <typename Callable>
    static constexpr Ops inlineOps{
        [](void* storage) { (*static_cast<Callable*>(storage))(); },
        [](void* from, void* to) noexcept {
            auto* source = static_cast<Callable*>(from);
            ::new (to) Callable(std::move(*source));
            source->~Callable();
        },
        [](void* storage) noexcept { static_cast<Callable*>(storage)->~Callable(); },
    };

    template <typename Callable>
    static constexpr Ops heapOps{
        [](void* storage) { (**static_cast<Callable**>(storage))(); },
        [](void* from, void* to) noexcept { ::new (to) Callable*(*static_cast<Callable**>(from)); },
        [](void* storage) noexcept { delete *static_cast<Callable**>(storage); },
    };

    void reset() noexcept {
        if (ops_) {
            const Ops* ops = ops_;
            ops_ = nullptr;
            ops->destroy(buffer_);
        }
    }

    // Pointer alignment, as std::function and a fix need: 40 bytes a task, not 48.
    static constexpr std::size_t ALIGNMENT = alignof(void*);
    alignas(ALIGNMENT) unsigned char buffer_[INLINE_SIZE];
    const Ops* ops_ = nullptr;
};

}  // namespace lumvex::platform
