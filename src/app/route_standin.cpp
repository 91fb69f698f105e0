#include "app/gobject_ptr.hpp"
#include "app/route.hpp"
#include "app/standin_route.hpp"

#include <gio/gio.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <memory>
#include <vector>

namespace vorlia {

namespace {

bool isLoopback(const char* host) {
    if (host == nullptr) {
        return false;
    }
    if (g_ascii_strcasecmp(host, "localhost") == 0) {
        return true;
    }
    GObjectPtr<GInetAddress> address = adopt(g_inet_address_new_from_string(host));
    return address && g_inet_address_get_is_loopback(address.get());
}

GObjectPtr<GTlsCertificate> certificateOf(const std::string& pem) {
    return adopt(g_tls_certificate_new_from_pem(pem.c_str(), static_cast<gssize>(pem.size()), nullptr));
}

// What a message needs to judge the stand-in's certificate; one copy per message.
struct Trust {
    GObjectPtr<GTlsCertificate> certificate;
    std::vector<std::string> hosts;
};

// The stand-in's certificate is self-signed: accept exactly that certificate,
// and only for the hosts it stands in for.
gboolean acceptStandInCertificate(SoupMessage* msg, GTlsCertificate* peer, GTlsCertificateFlags,
                                  gpointer data) {
    const auto* trust = static_cast<const Trust*>(data);
    const char* host = g_uri_get_host(soup_message_get_uri(msg));
    const bool known =
        host != nullptr && std::find(trust->hosts.begin(), trust->hosts.end(), host) != trust->hosts.end();
    return known && g_tls_certificate_is_same(peer, trust->certificate.get());
}

void onRequestQueued(SoupSession*, SoupMessage* msg, gpointer data) {
    const auto* trust = static_cast<const Trust*>(data);
    auto* copy = new Trust{retain(trust->certificate.get()), trust->hosts};
    g_signal_connect_data(
        msg, "accept-certificate", G_CALLBACK(acceptStandInCertificate), copy,
        [](gpointer p, GClosure*) { delete static_cast<Trust*>(p); }, GConnectFlags{});
}

} // namespace

Expected<Route, std::string> makeStandInRoute(std::string_view proxyURL, std::string certificatePEM) {
    const std::string text(proxyURL);
    GUri* parsed = g_uri_parse(text.c_str(), G_URI_FLAGS_NONE, nullptr);
    if (parsed == nullptr) {
        return unexpected("the stand-in proxy is not a URL: " + text);
    }
    std::unique_ptr<GUri, decltype(&g_uri_unref)> uri(parsed, g_uri_unref);
    const char* path = g_uri_get_path(uri.get());
    if (g_strcmp0(g_uri_get_scheme(uri.get()), "http") != 0 || !isLoopback(g_uri_get_host(uri.get())) ||
        g_uri_get_port(uri.get()) <= 0 || g_uri_get_userinfo(uri.get()) != nullptr ||
        (path != nullptr && path[0] != '\0' && g_strcmp0(path, "/") != 0) ||
        g_uri_get_query(uri.get()) != nullptr) {
        return unexpected("the stand-in proxy must be http://<loopback address>:<port>, not " + text);
    }
    if (!certificateOf(certificatePEM)) {
        return unexpected(std::string("the stand-in certificate is not a PEM certificate"));
    }
    return Route{text, std::move(certificatePEM)};
}

Config withStandInRoute(Config config) {
    const char* proxy = g_getenv("VORLIA_STANDIN_PROXY");
    if (proxy == nullptr) {
        return config;
    }
    const char* certFile = g_getenv("VORLIA_STANDIN_CERT");
    gchar* contents = nullptr;
    if (certFile == nullptr || !g_file_get_contents(certFile, &contents, nullptr, nullptr)) {
        std::fprintf(stderr, "vorlia: VORLIA_STANDIN_CERT must name the stand-in hosts' certificate file\n");
        std::exit(2);
    }
    std::string pem(contents);
    g_free(contents);
    auto route = makeStandInRoute(proxy, std::move(pem));
    if (!route) {
        std::fprintf(stderr, "vorlia: %s\n", route.error().c_str());
        std::exit(2);
    }
    config.route = std::move(*route);
    return config;
}

void applyRoute(WebKitNetworkSession* session, const Config& config) {
    if (!config.route) {
        return;
    }
    WebKitNetworkProxySettings* proxy =
        webkit_network_proxy_settings_new(config.route->proxyURL.c_str(), nullptr);
    webkit_network_session_set_proxy_settings(session, WEBKIT_NETWORK_PROXY_MODE_CUSTOM, proxy);
    webkit_network_proxy_settings_free(proxy);
    const auto certificate = certificateOf(config.route->certificatePEM);
    if (!certificate) {
        return;
    }
    for (const auto& host : config.allowedHosts) {
        webkit_network_session_allow_tls_certificate_for_host(session, certificate.get(), host.c_str());
    }
}

void applyRoute(SoupSession* session, const Config& config) {
    if (!config.route) {
        return;
    }
    GObjectPtr<GProxyResolver> resolver =
        adopt(g_simple_proxy_resolver_new(config.route->proxyURL.c_str(), nullptr));
    soup_session_set_proxy_resolver(session, resolver.get());
    auto certificate = certificateOf(config.route->certificatePEM);
    if (!certificate) {
        return;
    }
    auto* trust = new Trust{std::move(certificate), config.allowedHosts};
    g_signal_connect_data(
        session, "request-queued", G_CALLBACK(onRequestQueued), trust,
        [](gpointer p, GClosure*) { delete static_cast<Trust*>(p); }, GConnectFlags{});
}

} // namespace vorlia
