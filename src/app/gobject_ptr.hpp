// Ownership of plain GObject handles from the C libraries (WebKit, libsoup).
#pragma once

#include <glib-object.h>

#include <memory>

namespace vorlia {

struct GObjectUnref {
    void operator()(gpointer p) const noexcept {
        if (p != nullptr) {
            g_object_unref(p);
        }
    }
};

template <class T> using GObjectPtr = std::unique_ptr<T, GObjectUnref>;

// Takes over a reference the caller already owns (a "transfer full" result).
template <class T> GObjectPtr<T> adopt(T* p) {
    return GObjectPtr<T>(p);
}

// Adds a reference of our own (sinking a floating one).
template <class T> GObjectPtr<T> retain(T* p) {
    return GObjectPtr<T>(static_cast<T*>(g_object_ref_sink(p)));
}

struct GFreeDeleter {
    void operator()(gpointer p) const noexcept { g_free(p); }
};
using GCharPtr = std::unique_ptr<char, GFreeDeleter>;

struct GErrorDeleter {
    void operator()(GError* e) const noexcept {
        if (e != nullptr) {
            g_error_free(e);
        }
    }
};
using GErrorPtr = std::unique_ptr<GError, GErrorDeleter>;

} // namespace vorlia
