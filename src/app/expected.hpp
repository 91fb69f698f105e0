// A small expected-like result: a value, or the reason there is none.
// (std::expected arrives with C++23; the toolchain we ship on is C++20.)
#pragma once

#include <cassert>
#include <utility>
#include <variant>

namespace vorlia {

template <class E> struct Unexpected { E error; };

template <class E> Unexpected<std::decay_t<E>> unexpected(E&& e) {
    return {std::forward<E>(e)};
}

template <class T, class E> class Expected {
  public:
    Expected(T value) : v_(std::in_place_index<0>, std::move(value)) {}
    template <class F> Expected(Unexpected<F> u) : v_(std::in_place_index<1>, std::move(u.error)) {}

    bool has_value() const noexcept { return v_.index() == 0; }
    explicit operator bool() const noexcept { return has_value(); }

    T& value() & {
        assert(has_value());
        return std::get<0>(v_);
    }
    const T& value() const& {
        assert(has_value());
        return std::get<0>(v_);
    }
    T&& value() && {
        assert(has_value());
        return std::get<0>(std::move(v_));
    }
    const E& error() const& {
        assert(!has_value());
        return std::get<1>(v_);
    }
    T* operator->() { return &value(); }
    const T* operator->() const { return &value(); }
    T& operator*() & { return value(); }
    const T& operator*() const& { return value(); }

  private:
    std::variant<T, E> v_;
};

} // namespace vorlia
