// A reader stand-in on a real file descriptor (a TCP connection or the master side of a
// pseudo-terminal), run on its own thread. It reads request frames, records them and answers
// each with the next scripted reply.
#pragma once

#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <deque>
#include <functional>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "support/frames.h"

namespace kestrel::test {

struct Reply {
    Bytes answer;       // written after the request has been read whole
    bool echo = false;  // instead: a frame with the request's sequence, status and data
    uint8_t status = 0;
    Bytes data;
    size_t pieceSize = 0;          // > 0: written in pieces of this size, 20 ms apart
    bool closeAfter = false;       // close the connection after writing the answer
    std::function<void()> before;  // runs before the answer goes out: a reader that stalls
};

class ScriptedPeer {
  public:
    ~ScriptedPeer() { Stop(); }

    // Listens on 127.0.0.1 on a free port and serves one connection after the other.
    void ListenTcp() {
        listener_ = socket(AF_INET, SOCK_STREAM, 0);
        const int one = 1;
        setsockopt(listener_, SOL_SOCKET, SO_REUSEADDR, &one, sizeof one);
        sockaddr_in address{};
        address.sin_family = AF_INET;
        address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        bind(listener_, reinterpret_cast<sockaddr*>(&address), sizeof address);
        listen(listener_, 4);
        socklen_t size = sizeof address;
        getsockname(listener_, reinterpret_cast<sockaddr*>(&address), &size);
        port_ = ntohs(address.sin_port);
        thread_ = std::thread([this] {
            while (!stop_) {
                if (!WaitReadable(listener_, 50)) continue;
                const int fd = accept(listener_, nullptr, nullptr);
                if (fd < 0) continue;
                ++connections_;
                Serve(fd);
                close(fd);
            }
        });
    }

    // Serves an already open descriptor (the master side of a pseudo-terminal). The peer
    // takes it over.
    void ServeFd(int fd) {
        thread_ = std::thread([this, fd] {
            Serve(fd);
            close(fd);
        });
    }

    std::string TcpName() const { return "127.0.0.1:" + std::to_string(port_); }

    void Add(Reply reply) {
        std::lock_guard<std::mutex> lock(mutex_);
        replies_.push_back(std::move(reply));
    }
    // Answers the next request with status and data, echoing its sequence byte.
    void AnswerWith(uint8_t status, Bytes data = {}) {
        Reply reply;
        reply.echo = true;
        reply.status = status;
        reply.data = std::move(data);
        Add(std::move(reply));
    }

    std::vector<Bytes> Requests() const {
        std::lock_guard<std::mutex> lock(mutex_);
        return requests_;
    }
    int Connections() const { return connections_; }

    void Stop() {
        stop_ = true;
        if (thread_.joinable()) thread_.join();
        if (listener_ >= 0) close(listener_);
        listener_ = -1;
    }

  private:
    static bool WaitReadable(int fd, int ms) {
        pollfd entry{fd, POLLIN, 0};
        return poll(&entry, 1, ms) > 0;
    }

    // Reads exactly `n` bytes unless the connection ends or the peer is stopped.
    bool ReadExactly(int fd, uint8_t* out, size_t n) {
        size_t got = 0;
        while (got < n) {
            if (stop_) return false;
            if (!WaitReadable(fd, 50)) continue;
            const ssize_t r = read(fd, out + got, n - got);
            if (r <= 0) return false;
            got += static_cast<size_t>(r);
        }
        return true;
    }

    void WriteAll(int fd, const uint8_t* data, size_t n) {
        while (n > 0) {
            const ssize_t w = write(fd, data, n);
            if (w <= 0) return;
            data += w;
            n -= static_cast<size_t>(w);
        }
    }

    void Serve(int fd) {
        for (;;) {
            uint8_t header[5];
            if (!ReadExactly(fd, header, 5)) return;
            Bytes frame(header, header + 5);
            frame.resize(5 + (header[3] | (header[4] << 8)) + 2);
            if (!ReadExactly(fd, frame.data() + 5, frame.size() - 5)) return;
            Reply reply;
            {
                std::lock_guard<std::mutex> lock(mutex_);
                requests_.push_back(frame);
                if (replies_.empty()) continue;  // unscripted: stay silent
                reply = std::move(replies_.front());
                replies_.pop_front();
                if (reply.echo) reply.answer = Frame(frame[1], reply.status, reply.data);
            }
            if (reply.before) reply.before();
            if (reply.pieceSize == 0) {
                WriteAll(fd, reply.answer.data(), reply.answer.size());
            } else {
                for (size_t at = 0; at < reply.answer.size(); at += reply.pieceSize) {
                    const size_t n = std::min(reply.pieceSize, reply.answer.size() - at);
                    WriteAll(fd, reply.answer.data() + at, n);
                    std::this_thread::sleep_for(std::chrono::milliseconds(20));
                }
            }
            if (reply.closeAfter) return;
        }
    }

    mutable std::mutex mutex_;
    std::deque<Reply> replies_;
    std::vector<Bytes> requests_;
    std::thread thread_;
    std::atomic<bool> stop_{false};
    std::atomic<int> connections_{0};
    int listener_ = -1;
    uint16_t port_ = 0;
};

}  // namespace kestrel::test
