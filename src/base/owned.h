#pragma once
// An owner of one operating-system handle that closes it exactly once: when
// the owner goes out of scope, is reset, or is given another handle. So no
// early return can leak a handle. Traits say what "none" is and how to close:
//   struct Traits { using Handle = ...; static Handle None(); static bool IsNone(Handle);
//                   static void Close(Handle); };

#include <utility>

template <typename Traits>
class Owned {
public:
    using Handle = typename Traits::Handle;

    Owned() = default;
    explicit Owned(Handle handle) : handle_(handle) {}
    Owned(Owned&& other) noexcept : handle_(other.Release()) {}
    Owned& operator=(Owned&& other) noexcept {
        Reset(other.Release());
        return *this;
    }
    Owned(const Owned&) = delete;
    Owned& operator=(const Owned&) = delete;
    ~Owned() { Reset(); }

    Handle Get() const { return handle_; }
    explicit operator bool() const { return !Traits::IsNone(handle_); }
    // Hands the handle to the caller, who closes it from now on.
    Handle Release() { return std::exchange(handle_, Traits::None()); }
    void Reset(Handle handle = Traits::None()) {
        if (!Traits::IsNone(handle_)) Traits::Close(handle_);
        handle_ = handle;
    }

private:
    Handle handle_ = Traits::None();
};
