#include "demo/route.hpp"

#include "base/files.hpp"
#include "base/handle.hpp"

#include <gio/gio.h>

#include <algorithm>
#include <memory>
#include <vector>

namespace vorlia::demo {

namespace {

bool isLoopback(const char* host) {
    if (host == nullptr) {
        return false;
    }
    if (g_ascii_strcasecmp(host, "localhost") == 0) {
        return true;
    }
    Handle<GInetAddress> address = adopt(g_inet_address_new_from_string(host));
    return address && g_inet_address_get_is_loopback(address.get());
}

Handle<GTlsCertificate> certificateOf(const std::string& pem) {
    return adopt(g_tls_certificate_new_from_pem(pem.c_str(), static_cast<gssize>(pem.size()), nullptr));
}

// What a message needs to judge the stand-in's certificate; one copy per message.
struct Trust {
    Handle<GTlsCertificate> certificate;
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
    auto* copy = new Trust{ref(trust->certificate.get()), trust->hosts};
    g_signal_connect_data(
        msg, "accept-certificate", G_CALLBACK(acceptStandInCertificate), copy,
        [](gpointer p, GClosure*) { delete static_cast<Trust*>(p); }, GConnectFlags{});
}

} // namespace

expected<Route, std::string> makeStandInRoute(std::string_view proxyURL, std::string certificatePEM) {
    const std::string text(proxyURL);
    GUri* parsed = g_uri_parse(text.c_str(), G_URI_FLAGS_NONE, nullptr);
    if (parsed == nullptr) {
        return unexpected("the stand-in proxy is not a URL: " + text);
    }
    const Handle<GUri> uri(parsed);
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

expected<Config, std::string> withStandInRoute(Config config) {
    const char* proxy = g_getenv("VORLIA_STANDIN_PROXY");
    if (proxy == nullptr) {
        return config;
    }
    const char* certFile = g_getenv("VORLIA_STANDIN_CERT");
    auto pem = certFile != nullptr ? readFile(certFile) : unexpected(std::string("it is not set"));
    if (!pem) {
        return unexpected("VORLIA_STANDIN_CERT must name the stand-in hosts' certificate file: " +
                          pem.error());
    }
    return makeStandInRoute(proxy, std::move(*pem)).map([&config](Route route) {
        config.route = std::move(route);
        return std::move(config);
    });
}

void routeNetwork(WebKitNetworkSession* session, const Route& route, const std::vector<std::string>& hosts) {
    WebKitNetworkProxySettings* proxy = webkit_network_proxy_settings_new(route.proxyURL.c_str(), nullptr);
    webkit_network_session_set_proxy_settings(session, WEBKIT_NETWORK_PROXY_MODE_CUSTOM, proxy);
    webkit_network_proxy_settings_free(proxy);
    const auto certificate = certificateOf(route.certificatePEM);
    if (!certificate) {
        return;
    }
    for (const auto& host : hosts) {
        webkit_network_session_allow_tls_certificate_for_host(session, certificate.get(), host.c_str());
    }
}

void routeSession(SoupSession* session, const Route& route, const std::vector<std::string>& hosts) {
    Handle<GProxyResolver> resolver = adopt(g_simple_proxy_resolver_new(route.proxyURL.c_str(), nullptr));
    soup_session_set_proxy_resolver(session, resolver.get());
    auto certificate = certificateOf(route.certificatePEM);
    if (!certificate) {
        return;
    }
    auto* trust = new Trust{std::move(certificate), hosts};
    g_signal_connect_data(
        session, "request-queued", G_CALLBACK(onRequestQueued), trust,
        [](gpointer p, GClosure*) { delete static_cast<Trust*>(p); }, GConnectFlags{});
}

} // namespace vorlia::demo
