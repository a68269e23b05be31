// HTTP and HTTPS through OpenSSL's own client, under the run's settings.

#include "internal/Http.h"

#include <openssl/http.h>
#include <openssl/ssl.h>

#include <memory>
#include <mutex>

#include "crypto/Network.h"
#include "internal/Handles.h"

namespace quilvane {
namespace {

NetworkSettings& Settings() {
    static NetworkSettings settings;
    return settings;
}

NetworkWaitCheck& WaitCheck() {
    static NetworkWaitCheck check;
    return check;
}

using SslCtxPtr = std::unique_ptr<SSL_CTX, ossl::Deleter<SSL_CTX_free>>;

// Puts TLS over the connection OpenSSL's client made, checking the server
// against the system's roots and its name.
BIO* StartTls(BIO* connection, void* arg, int connect, int detail) {
    if (!connect || !detail) {
        return connection;
    }
    auto* host = static_cast<const std::string*>(arg);
    SslCtxPtr context(SSL_CTX_new(TLS_client_method()));
    if (!context || SSL_CTX_set_default_verify_paths(context.get()) != 1) {
        return nullptr;
    }
    SSL_CTX_set_verify(context.get(), SSL_VERIFY_PEER, nullptr);
    ossl::BioPtr tls(BIO_new_ssl(context.get(), 1));
    SSL* ssl = nullptr;
    if (!tls || BIO_get_ssl(tls.get(), &ssl) != 1 || ssl == nullptr ||
        SSL_set_tlsext_host_name(ssl, host->c_str()) != 1 ||
        SSL_set1_host(ssl, host->c_str()) != 1) {
        return nullptr;
    }
    return BIO_push(tls.release(), connection);
}

struct Url {
    std::string host, port, path;
    bool tls = false;
};

Url Parse(const std::string& url) {
    char* host = nullptr;
    char* port = nullptr;
    char* path = nullptr;
    int tls = 0;
    if (OSSL_HTTP_parse_url(url.c_str(), &tls, nullptr, &host, &port, nullptr, &path, nullptr,
                            nullptr) != 1) {
        ossl::TakeErrors();
        throw Error(status::NetworkFailed, "The address \"" + url + "\" is not an HTTP address.");
    }
    Url parsed{host, port, path, tls != 0};
    OPENSSL_free(host);
    OPENSSL_free(port);
    OPENSSL_free(path);
    return parsed;
}

std::vector<std::uint8_t> Exchange(const std::string& url, const char* contentType,
                                   std::span<const std::uint8_t> body, const char* expectedType,
                                   std::size_t maxBytes) {
    const NetworkSettings& settings = Settings();
    if (settings.offline) {
        throw Error(status::NetworkFailed, "No network in this run.", "offline");
    }
    const Url parsed = Parse(url);
    ossl::BioPtr request;
    if (contentType != nullptr) {
        request.reset(BIO_new_mem_buf(body.data(), static_cast<int>(body.size())));
        if (!request) {
            ossl::Raise(status::Failed, "Could not make a request");
        }
    }
    std::string host = parsed.host;
    ossl::BioPtr answer(OSSL_HTTP_transfer(
        nullptr, parsed.host.c_str(), parsed.port.c_str(), parsed.path.c_str(), parsed.tls,
        nullptr /* proxy from the environment */, nullptr /* no_proxy likewise */, nullptr, nullptr,
        parsed.tls ? StartTls : nullptr, &host, 0, nullptr, contentType, request.get(),
        expectedType, 1 /* every answer is DER */, maxBytes,
        settings.timeoutSeconds > 0 ? settings.timeoutSeconds : 10, 0));
    if (!answer) {
        throw Error(status::NetworkFailed, "No answer from \"" + url + "\".", ossl::TakeErrors());
    }
    std::vector<std::uint8_t> bytes;
    std::uint8_t chunk[16384];
    for (;;) {
        const int got = BIO_read(answer.get(), chunk, sizeof chunk);
        if (got <= 0) {
            break;
        }
        bytes.insert(bytes.end(), chunk, chunk + got);
    }
    return bytes;
}

}  // namespace

void UseNetworkSettings(NetworkSettings settings) {
    Settings() = std::move(settings);
}

const NetworkSettings& CurrentNetworkSettings() {
    return Settings();
}

void UseNetworkWaitCheck(NetworkWaitCheck check) {
    WaitCheck() = std::move(check);
}

std::vector<std::uint8_t> HttpPost(const std::string& url, const char* contentType,
                                   std::span<const std::uint8_t> body, const char* expectedType) {
    return Exchange(url, contentType, body, expectedType, 1 << 20);
}

std::vector<std::uint8_t> HttpGet(const std::string& url, std::size_t maxBytes) {
    return Exchange(url, nullptr, {}, nullptr, maxBytes);
}

}  // namespace quilvane
