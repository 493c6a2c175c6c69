// A tiny HTTP server on 127.0.0.1 for the cloud fetch tests: one thread,
// one connection at a time, each request answered by a handler that returns
// the raw response bytes and whether to stall afterwards (keep the
// connection open without sending until the client gives up).
#pragma once

#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>
#include <atomic>
#include <functional>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

class TinyHttpServer {
  public:
    struct Reply {
        std::string bytes;   // status line, headers and body, as sent
        bool stall = false;  // then send nothing more until the client closes
    };
    using Handler = std::function<Reply(int index, const std::string& request)>;

    explicit TinyHttpServer(Handler handler) : handler_(std::move(handler)) {
        listen_fd_ = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
        int one = 1;
        ::setsockopt(listen_fd_, SOL_SOCKET, SO_REUSEADDR, &one, sizeof(one));
        sockaddr_in addr{};
        addr.sin_family = AF_INET;
        addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        addr.sin_port = 0;
        ::bind(listen_fd_, reinterpret_cast<sockaddr*>(&addr), sizeof(addr));
        ::listen(listen_fd_, 4);
        socklen_t len = sizeof(addr);
        ::getsockname(listen_fd_, reinterpret_cast<sockaddr*>(&addr), &len);
        port_ = ntohs(addr.sin_port);
        thread_ = std::thread([this] { Loop(); });
    }
    ~TinyHttpServer() {
        stop_ = true;
        thread_.join();
        ::close(listen_fd_);
    }
    TinyHttpServer(const TinyHttpServer&) = delete;
    TinyHttpServer& operator=(const TinyHttpServer&) = delete;

    std::string Url(const std::string& path = "/Program.bin") const {
        return "http://127.0.0.1:" + std::to_string(port_) + path;
    }
    std::vector<std::string> Requests() {
        std::lock_guard<std::mutex> lock(mutex_);
        return requests_;
    }

  private:
    // Waits for fd to become readable, giving up when the server stops.
    bool WaitReadable(int fd) {
        while (!stop_) {
            pollfd p{fd, POLLIN, 0};
            if (::poll(&p, 1, 50) > 0) return true;
        }
        return false;
    }

    void Loop() {
        while (WaitReadable(listen_fd_)) {
            int conn = ::accept4(listen_fd_, nullptr, nullptr, SOCK_CLOEXEC);
            if (conn < 0) continue;
            std::string request;
            char buf[4096];
            while (request.find("\r\n\r\n") == std::string::npos && WaitReadable(conn)) {
                ssize_t n = ::recv(conn, buf, sizeof(buf), 0);
                if (n <= 0) break;
                request.append(buf, static_cast<std::size_t>(n));
            }
            int index;
            {
                std::lock_guard<std::mutex> lock(mutex_);
                index = static_cast<int>(requests_.size());
                requests_.push_back(request);
            }
            Reply reply = handler_(index, request);
            std::size_t sent = 0;
            while (sent < reply.bytes.size()) {
                ssize_t n = ::send(conn, reply.bytes.data() + sent, reply.bytes.size() - sent,
                                   MSG_NOSIGNAL);
                if (n <= 0) break;
                sent += static_cast<std::size_t>(n);
            }
            if (reply.stall) {
                // Hold the connection until the client drops it.
                while (WaitReadable(conn) && ::recv(conn, buf, sizeof(buf), 0) > 0) {
                }
            }
            ::close(conn);
        }
    }

    Handler handler_;
    int listen_fd_ = -1;
    int port_ = 0;
    std::atomic<bool> stop_{false};
    std::mutex mutex_;
    std::vector<std::string> requests_;
    std::thread thread_;
};
