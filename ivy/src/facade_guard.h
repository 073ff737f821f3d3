// The C facade's one rule: no exception crosses into C. Every entry point
// that can throw (memory exhausted, or the loop that cannot be made when no
// descriptor is left for its epoll set) runs its body through guarded(),
// which reports the failure and returns the type's empty value (nullptr, 0,
// nothing) as the call's "did nothing" answer.
#pragma once

#include <exception>
#include <type_traits>

#include "diagnostics.h"

namespace ivy {

template <typename Fn>
auto guarded(const char* what, Fn&& fn) -> decltype(fn()) {
    try {
        return fn();
    } catch (const std::exception& e) {
        report("%s failed: %s", what, e.what());
    } catch (...) {
        report("%s failed", what);
    }
    if constexpr (!std::is_void_v<decltype(fn())>) return decltype(fn())();
}

}  // namespace ivy
