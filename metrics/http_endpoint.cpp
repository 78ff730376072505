#include "metrics/http_endpoint.h"

#include <httplib.h>
#include <sys/socket.h>

#include <chrono>

namespace metrics {

HttpEndpoint::HttpEndpoint() = default;

HttpEndpoint::~HttpEndpoint() {
    Stop();
}

bool HttpEndpoint::Start(int port, std::string& problem) {
    Stop();
    server_ = std::make_unique<httplib::Server>();
    // The library's default also sets SO_REUSEPORT, which would let a second
    // service share the port and answer half the scrapes: address reuse only.
    server_->set_socket_options([](int sock) {
        int yes = 1;
        setsockopt(sock, SOL_SOCKET, SO_REUSEADDR, &yes, sizeof yes);
    });
    server_->Get("/metrics", [this](const httplib::Request&, httplib::Response& response) {
        std::string text;
        {
            const std::lock_guard lock(mutex_);
            text = text_;
        }
        response.set_content(text, "text/plain; version=0.0.4; charset=utf-8");
    });
    const char* host = "127.0.0.1";
    if (port == 0) {
        port_ = server_->bind_to_any_port(host);
    } else {
        port_ = server_->bind_to_port(host, port) ? port : -1;
    }
    if (port_ <= 0) {
        problem = "metrics: cannot listen on 127.0.0.1:" + std::to_string(port);
        server_.reset();
        port_ = 0;
        return false;
    }
    thread_ = std::thread([server = server_.get()] { server->listen_after_bind(); });
    // A stop before the loop runs would not reach it: wait until it does.
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(10);
    while (!server_->is_running() && std::chrono::steady_clock::now() < deadline) {
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
    }
    return true;
}

void HttpEndpoint::Stop() {
    if (server_) {
        server_->stop();
    }
    if (thread_.joinable()) {
        thread_.join();
    }
    server_.reset();
    port_ = 0;
}

void HttpEndpoint::Publish(std::string text) {
    const std::lock_guard lock(mutex_);
    text_ = std::move(text);
}

}  // namespace metrics
