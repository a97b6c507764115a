// A program (kestrel-sim unless another is named) run as a child process with pipes on its
// standard streams, for the tests that use it the way a user or a script does.
#pragma once

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <optional>
#include <string>
#include <thread>
#include <vector>

extern char** environ;

namespace kestrel::testsupport {

// The program with pipes on its standard input, output and error. Killed if still running
// when the test ends.
class Program {
  public:
    using Clock = std::chrono::steady_clock;

    explicit Program(std::string program = KESTREL_SIM_PROGRAM) : program_(std::move(program)) {
        ::signal(SIGPIPE, SIG_IGN);
    }
    ~Program() {
        CloseStdin();
        if (pid_ > 0) {
            ::kill(pid_, SIGKILL);
            ::waitpid(pid_, nullptr, 0);
        }
        for (int fd : {out_, err_}) {
            if (fd >= 0) ::close(fd);
        }
    }

    bool Start(const std::vector<std::string>& args) {
        int in[2], out[2], err[2];
        if (::pipe2(in, O_CLOEXEC) != 0 || ::pipe2(out, O_CLOEXEC) != 0 ||
            ::pipe2(err, O_CLOEXEC) != 0) {
            return false;
        }
        posix_spawn_file_actions_t actions;
        posix_spawn_file_actions_init(&actions);
        posix_spawn_file_actions_adddup2(&actions, in[0], 0);
        posix_spawn_file_actions_adddup2(&actions, out[1], 1);
        posix_spawn_file_actions_adddup2(&actions, err[1], 2);
        std::vector<std::string> all = {program_};
        all.insert(all.end(), args.begin(), args.end());
        std::vector<char*> argv;
        for (std::string& arg : all) argv.push_back(arg.data());
        argv.push_back(nullptr);
        const int spawned =
            ::posix_spawn(&pid_, all[0].c_str(), &actions, nullptr, argv.data(), environ);
        posix_spawn_file_actions_destroy(&actions);
        ::close(in[0]);
        ::close(out[1]);
        ::close(err[1]);
        in_ = in[1];
        out_ = out[0];
        err_ = err[0];
        if (spawned != 0) pid_ = -1;
        return spawned == 0;
    }

    bool WriteLine(const std::string& line) {
        const std::string text = line + "\n";
        return in_ >= 0 &&
               ::write(in_, text.data(), text.size()) == static_cast<ssize_t>(text.size());
    }
    void CloseStdin() {
        if (in_ >= 0) ::close(in_);
        in_ = -1;
    }
    std::optional<std::string> ReadLine(int timeoutMs = 5000) {
        return ReadLineFrom(out_, outBuffer_, timeoutMs);
    }
    std::optional<std::string> ReadErrorLine(int timeoutMs = 5000) {
        return ReadLineFrom(err_, errBuffer_, timeoutMs);
    }
    // Everything the program wrote to a stream until it closed it (at most `timeoutMs`).
    std::string Drain(bool error, int timeoutMs = 5000) {
        std::string text;
        while (std::optional<std::string> line =
                   error ? ReadErrorLine(timeoutMs) : ReadLine(timeoutMs)) {
            text += *line + "\n";
        }
        return text + (error ? errBuffer_ : outBuffer_);
    }
    void Signal(int number) { ::kill(pid_, number); }
    // The exit status, or 128 + signal; nullopt if it did not end in time.
    std::optional<int> Wait(int timeoutMs = 5000) {
        const Clock::time_point limit = Clock::now() + std::chrono::milliseconds(timeoutMs);
        while (Clock::now() < limit) {
            int status = 0;
            const pid_t done = ::waitpid(pid_, &status, WNOHANG);
            if (done == pid_) {
                pid_ = -1;
                return WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
            }
            std::this_thread::sleep_for(std::chrono::milliseconds(10));
        }
        return std::nullopt;
    }

  private:
    static std::optional<std::string> ReadLineFrom(int fd, std::string& buffer, int timeoutMs) {
        const Clock::time_point limit = Clock::now() + std::chrono::milliseconds(timeoutMs);
        for (;;) {
            const size_t newline = buffer.find('\n');
            if (newline != std::string::npos) {
                std::string line = buffer.substr(0, newline);
                buffer.erase(0, newline + 1);
                return line;
            }
            const auto left =
                std::chrono::duration_cast<std::chrono::milliseconds>(limit - Clock::now());
            pollfd p{fd, POLLIN, 0};
            if (left.count() <= 0 || ::poll(&p, 1, static_cast<int>(left.count())) <= 0) {
                return std::nullopt;
            }
            char chunk[256];
            const ssize_t got = ::read(fd, chunk, sizeof chunk);
            if (got <= 0) return std::nullopt;
            buffer.append(chunk, static_cast<size_t>(got));
        }
    }

    std::string program_;
    pid_t pid_ = -1;
    int in_ = -1;
    int out_ = -1;
    int err_ = -1;
    std::string outBuffer_;
    std::string errBuffer_;
};

}  // namespace kestrel::testsupport
