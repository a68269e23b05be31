// HTTP and HTTPS through OpenSSL's own client, under the run's settings. The
// socket is non-blocking and every wait is a poll of at most a tenth of a
// second, so that the wait check can stop a request at once and the timeout
// holds for the whole exchange.

#include "internal/Http.h"

#include <openssl/http.h>
#include <openssl/ssl.h>
#include <poll.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <map>
#include <memory>
#include <mutex>

#include "crypto/Network.h"
#include "crypto/Text.h"
#include "internal/Handles.h"

namespace quilvane {
namespace {

using Clock = std::chrono::steady_clock;
using SslCtxPtr = std::unique_ptr<SSL_CTX, ossl::Deleter<SSL_CTX_free>>;
using HttpRequestPtr = std::unique_ptr<OSSL_HTTP_REQ_CTX, ossl::Deleter<OSSL_HTTP_REQ_CTX_free>>;

constexpr std::chrono::milliseconds kSlice{100};

NetworkSettings& Settings() {
    static NetworkSettings settings;
    return settings;
}

std::mutex& WaitCheckLock() {
    static std::mutex lock;
    return lock;
}

// Each thread that runs an operation waits its own way.
NetworkWaitCheck& WaitCheck() {
    thread_local NetworkWaitCheck check;
    return check;
}

void CheckWhileWaiting(const std::string& server) {
    NetworkWaitCheck check;
    {
        const std::lock_guard<std::mutex> hold(WaitCheckLock());
        check = WaitCheck();
    }
    if (check) {
        check(server);
    }
}

// One request at a time per server: a service is not asked twice at once by
// one program, however its work is spread.
std::timed_mutex& TurnOf(const std::string& server) {
    static std::mutex lock;
    static std::map<std::string, std::timed_mutex> turns;
    const std::lock_guard<std::mutex> hold(lock);
    return turns[server];
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
        throw Error(status::NetworkFailed,
                    Format(Tr("The address \"%1\" is not an HTTP address."), url),
                    Tr("not an HTTP address"));
    }
    Url parsed{host, port, path, tls != 0};
    OPENSSL_free(host);
    OPENSSL_free(port);
    OPENSSL_free(path);
    return parsed;
}

// One exchange with one server, from the connection to the last byte.
class Exchange {
  public:
    Exchange(const std::string& url, Url target, int timeoutSeconds)
        : url_(url),
          target_(std::move(target)),
          server_(target_.host + ":" + target_.port),
          deadline_(Clock::now() + std::chrono::seconds(timeoutSeconds)),
          timeoutSeconds_(timeoutSeconds) {}

    std::vector<std::uint8_t> Run(const char* contentType, std::span<const std::uint8_t> body,
                                  const char* expectedType, std::size_t maxBytes) {
        std::unique_lock<std::timed_mutex> turn(TurnOf(server_), std::defer_lock);
        while (!turn.try_lock_for(kSlice)) {
            CheckWhileWaiting(target_.host);
        }
        // The timeout counts from our turn: a request waiting behind another
        // to the same server has not started yet.
        deadline_ = Clock::now() + std::chrono::seconds(timeoutSeconds_);
        const char* proxy =
            OSSL_HTTP_adapt_proxy(nullptr, nullptr, target_.host.c_str(), target_.tls);
        const bool viaProxy = proxy != nullptr;
        Connect(viaProxy ? Parse(proxy) : target_);
        if (target_.tls) {
            if (viaProxy) {
                Tunnel();
            }
            StartTls();
        }
        ossl::BioPtr request;
        if (contentType != nullptr) {
            request.reset(BIO_new_mem_buf(body.data(), static_cast<int>(body.size())));
            if (!request) {
                ossl::Raise(status::Failed, Tr("Could not make a request"));
            }
        }
        // Through a proxy, plain HTTP names the whole address in the request line.
        const std::string path = viaProxy && !target_.tls ? url_ : target_.path;
        HttpRequestPtr exchange(OSSL_HTTP_REQ_CTX_new(chain_.get(), chain_.get(), 0));
        const std::string host = target_.host + ":" + target_.port;
        if (!exchange ||
            OSSL_HTTP_set1_request(exchange.get(), path.c_str(), nullptr, contentType,
                                   request.get(), expectedType, 1 /* every answer is DER */,
                                   maxBytes, 0, 0) != 1 ||
            OSSL_HTTP_REQ_CTX_add1_header(exchange.get(), "Host", host.c_str()) != 1) {
            Fail(Tr("the request could not be made"));
        }
        for (;;) {
            const int done = OSSL_HTTP_REQ_CTX_nbio(exchange.get());
            if (done == 1) {
                break;
            }
            if (done == 0) {
                Fail(Tr("the server gave no usable answer"));
            }
            Await(chain_.get());
        }
        const unsigned char* data = nullptr;
        const long size = BIO_get_mem_data(OSSL_HTTP_REQ_CTX_get0_mem_bio(exchange.get()), &data);
        if (size < 0 || data == nullptr) {
            Fail(Tr("the answer could not be read"));
        }
        return {data, data + size};
    }

  private:
    [[noreturn]] void Fail(const std::string& why) {
        const std::string reasons = ossl::TakeErrors();
        throw Error(status::NetworkFailed, Format(Tr("No usable answer from \"%1\"."), url_),
                    reasons.empty() ? why : why + " (" + reasons + ")");
    }

    // Waits until `bio` can go on in the direction it asked for, a slice at
    // a time, asking the wait check between slices.
    void Await(BIO* bio) {
        // Bytes TLS already decrypted are not on the socket any more.
        if (BIO_should_read(bio) && BIO_pending(bio) > 0) {
            return;
        }
        pollfd socket{};
        socket.fd = static_cast<int>(BIO_get_fd(socket_, nullptr));
        // A connection under way is ready when the socket can be written.
        socket.events = BIO_should_write(bio) || BIO_should_io_special(bio) ? POLLOUT : POLLIN;
        for (;;) {
            CheckWhileWaiting(target_.host);
            const auto left =
                std::chrono::duration_cast<std::chrono::milliseconds>(deadline_ - Clock::now());
            if (left.count() <= 0) {
                ossl::TakeErrors();
                throw Error(
                    status::NetworkFailed, Format(Tr("No answer from \"%1\"."), url_),
                    Format(Tr("no answer within %1 seconds"), std::to_string(timeoutSeconds_)));
            }
            // Without a socket yet there is nothing to watch: a slice's
            // sleep, then the next step says how it went.
            const int ready = ::poll(&socket, socket.fd < 0 ? 0 : 1,
                                     static_cast<int>(std::min(left, kSlice).count()));
            if (ready > 0 || socket.fd < 0 || (ready < 0 && errno != EINTR)) {
                return;  // the next step tells what came, or what failed
            }
        }
    }

    void Connect(const Url& to) {
        chain_.reset(BIO_new_connect(to.host.c_str()));
        socket_ = chain_.get();
        if (!chain_ || BIO_set_conn_port(socket_, to.port.c_str()) != 1 ||
            BIO_set_nbio(socket_, 1) != 1) {
            Fail(Tr("no connection could be made"));
        }
        while (BIO_do_connect(socket_) <= 0) {
            if (!BIO_should_retry(socket_)) {
                Fail(Tr("the server could not be reached"));
            }
            Await(socket_);
        }
    }

    // HTTPS through a proxy: a tunnel to the server, then TLS inside it.
    void Tunnel() {
        const auto left =
            std::chrono::duration_cast<std::chrono::seconds>(deadline_ - Clock::now()).count();
        if (OSSL_HTTP_proxy_connect(socket_, target_.host.c_str(), target_.port.c_str(), nullptr,
                                    nullptr, static_cast<int>(std::max<long>(1, left)), nullptr,
                                    nullptr) != 1) {
            Fail(Tr("the proxy did not open a tunnel"));
        }
    }

    // TLS over the connection, checking the server against the system's
    // roots (SSL_CERT_FILE and SSL_CERT_DIR change them) and its name.
    void StartTls() {
        SslCtxPtr context(SSL_CTX_new(TLS_client_method()));
        if (!context || SSL_CTX_set_default_verify_paths(context.get()) != 1) {
            Fail(Tr("TLS could not be set up"));
        }
        SSL_CTX_set_verify(context.get(), SSL_VERIFY_PEER, nullptr);
        ossl::BioPtr tls(BIO_new_ssl(context.get(), 1));
        SSL* ssl = nullptr;
        if (!tls || BIO_get_ssl(tls.get(), &ssl) != 1 || ssl == nullptr ||
            SSL_set_tlsext_host_name(ssl, target_.host.c_str()) != 1 ||
            SSL_set1_host(ssl, target_.host.c_str()) != 1) {
            Fail(Tr("TLS could not be set up"));
        }
        BIO_push(tls.get(), chain_.release());
        chain_ = std::move(tls);
        while (BIO_do_handshake(chain_.get()) <= 0) {
            if (!BIO_should_retry(chain_.get())) {
                Fail(Tr("the server's certificate is not trusted, or TLS failed"));
            }
            Await(chain_.get());
        }
    }

    std::string url_;
    Url target_;
    std::string server_;
    Clock::time_point deadline_;
    int timeoutSeconds_;
    ossl::BioPtr chain_;     // the connection, with TLS over it for HTTPS
    BIO* socket_ = nullptr;  // the connection at the chain's bottom
};

std::vector<std::uint8_t> Transfer(const std::string& url, const char* contentType,
                                   std::span<const std::uint8_t> body, const char* expectedType,
                                   std::size_t maxBytes) {
    const NetworkSettings& settings = Settings();
    if (settings.offline) {
        throw Error(status::NetworkFailed, Tr("No network in this run."), "offline");
    }
    Exchange exchange(url, Parse(url), settings.timeoutSeconds > 0 ? settings.timeoutSeconds : 10);
    return exchange.Run(contentType, body, expectedType, maxBytes);
}

}  // namespace

void UseNetworkSettings(NetworkSettings settings) {
    Settings() = std::move(settings);
}

const NetworkSettings& CurrentNetworkSettings() {
    return Settings();
}

NetworkWaitCheck UseNetworkWaitCheck(NetworkWaitCheck check) {
    const std::lock_guard<std::mutex> hold(WaitCheckLock());
    std::swap(WaitCheck(), check);
    return check;
}

std::vector<std::uint8_t> HttpPost(const std::string& url, const char* contentType,
                                   std::span<const std::uint8_t> body, const char* expectedType) {
    return Transfer(url, contentType, body, expectedType, 1 << 20);
}

std::vector<std::uint8_t> HttpGet(const std::string& url, std::size_t maxBytes) {
    return Transfer(url, nullptr, {}, nullptr, maxBytes);
}

}  // namespace quilvane
