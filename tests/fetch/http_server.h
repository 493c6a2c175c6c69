// A tiny HTTP server on 127.0.0.1 for the cloud fetch tests: one thread,
// one connection at a time, request N answered with the raw bytes of reply
// N (the last reply for any later request).
#pragma once

#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>
#include <algorithm>
#include <atomic>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

class TinyHttpServer {
  public:
    explicit TinyHttpServer(std::vector<std::string> replies) : replies_(std::move(replies)) {
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
            std::size_t index;
            {
                std::lock_guard<std::mutex> lock(mutex_);
                index = std::min(requests_.size(), replies_.size() - 1);
                requests_.push_back(request);
            }
            const std::string& reply = replies_[index];
            std::size_t sent = 0;
            while (sent < reply.size()) {
                ssize_t n = ::send(conn, reply.data() + sent, reply.size() - sent, MSG_NOSIGNAL);
                if (n <= 0) break;
                sent += static_cast<std::size_t>(n);
            }
            ::close(conn);
        }
    }

    std::vector<std::string> replies_;
    int listen_fd_ = -1;
    int port_ = 0;
    std::atomic<bool> stop_{false};
    std::mutex mutex_;
    std::vector<std::string> requests_;
    std::thread thread_;
};
