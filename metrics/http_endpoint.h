#pragma once
// Serves GET /metrics on 127.0.0.1 only, on a thread of its own: the text a
// program last published. The program renders its counters on its own
// thread and publishes the text; the HTTP thread never touches them.

#include <memory>
#include <mutex>
#include <string>
#include <thread>

namespace httplib {
class Server;
}

namespace metrics {

class HttpEndpoint {
public:
    HttpEndpoint();
    ~HttpEndpoint();
    HttpEndpoint(const HttpEndpoint&) = delete;
    HttpEndpoint& operator=(const HttpEndpoint&) = delete;

    // Listens on 127.0.0.1:port (0: any free port). False with `problem`
    // set when it cannot.
    bool Start(int port, std::string& problem);
    void Stop();
    int Port() const { return port_; }

    // Any thread.
    void Publish(std::string text);

private:
    std::unique_ptr<httplib::Server> server_;
    std::thread thread_;
    int port_ = 0;
    mutable std::mutex mutex_;
    std::string text_;  // guarded by mutex_
};

}  // namespace metrics
