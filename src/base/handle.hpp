// Ownership of the C libraries' handles: one generic owner whose release
// function is chosen by the handle's type.
//
//   Handle<SoupMessage> message = adopt(soup_message_new(...));   // a reference we were given
//   Handle<GTlsCertificate> kept = ref(certificate);              // a reference of our own
#pragma once

#include <gio/gio.h>
#include <glib-object.h>
#include <glib.h>

#include <memory>
#include <type_traits>

namespace vorlia {

// How a handle of type T is released. GObjects are unreferenced; other types
// name their own release function.
template <class T> struct HandleRelease {
    void operator()(T* p) const noexcept { g_object_unref(p); }
};
#define VORLIA_HANDLE_RELEASE(Type, function)                                                                \
    template <> struct HandleRelease<Type> {                                                                 \
        void operator()(Type* p) const noexcept { function(p); }                                             \
    }
VORLIA_HANDLE_RELEASE(char, g_free);
VORLIA_HANDLE_RELEASE(char*, g_strfreev); // a NULL-terminated array of strings (GStrv)
VORLIA_HANDLE_RELEASE(GError, g_error_free);
VORLIA_HANDLE_RELEASE(GUri, g_uri_unref);
VORLIA_HANDLE_RELEASE(GBytes, g_bytes_unref);
VORLIA_HANDLE_RELEASE(GKeyFile, g_key_file_free);
VORLIA_HANDLE_RELEASE(GMainContext, g_main_context_unref);
VORLIA_HANDLE_RELEASE(GMainLoop, g_main_loop_unref);
VORLIA_HANDLE_RELEASE(GVariant, g_variant_unref);
VORLIA_HANDLE_RELEASE(GSource, g_source_unref);
VORLIA_HANDLE_RELEASE(GDir, g_dir_close);
VORLIA_HANDLE_RELEASE(GOptionContext, g_option_context_free);
#undef VORLIA_HANDLE_RELEASE

template <class T> using Handle = std::unique_ptr<T, HandleRelease<T>>;

// Takes over a reference the caller already owns (a "transfer full" result).
template <class T> Handle<T> adopt(T* p) {
    return Handle<T>(p);
}

// Takes a reference of our own to a GObject, sinking a floating one.
template <class T> Handle<T> ref(T* p) {
    return Handle<T>(p != nullptr ? static_cast<T*>(g_object_ref_sink(p)) : nullptr);
}

// A string GLib allocated.
using GText = Handle<char>;

} // namespace vorlia
