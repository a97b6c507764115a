// The kestrel-sim program as a user runs it: started as a process, reached by the library over
// TCP, its field changed through standard input.
#include <gtest/gtest.h>

#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <string>
#include <vector>

#include "KestrelAPI.h"

extern char** environ;

namespace kestrel::test {
namespace {

// kestrel-sim with pipes on its standard input and output.
class SimProcess {
  public:
    explicit SimProcess(std::vector<std::string> args) {
        int in[2];
        int out[2];
        if (pipe(in) != 0 || pipe(out) != 0) return;
        posix_spawn_file_actions_t actions;
        posix_spawn_file_actions_init(&actions);
        posix_spawn_file_actions_adddup2(&actions, in[0], 0);
        posix_spawn_file_actions_adddup2(&actions, out[1], 1);
        posix_spawn_file_actions_addclose(&actions, in[1]);
        posix_spawn_file_actions_addclose(&actions, out[0]);
        args.insert(args.begin(), KESTREL_SIM_PROGRAM);
        std::vector<char*> argv;
        for (std::string& a : args) argv.push_back(a.data());
        argv.push_back(nullptr);
        if (posix_spawn(&pid_, KESTREL_SIM_PROGRAM, &actions, nullptr, argv.data(), environ) != 0) {
            pid_ = -1;
        }
        posix_spawn_file_actions_destroy(&actions);
        close(in[0]);
        close(out[1]);
        toSim_ = in[1];
        fromSim_ = out[0];
    }
    ~SimProcess() {
        if (toSim_ >= 0) close(toSim_);
        if (pid_ > 0 && !exited_) {
            kill(pid_, SIGTERM);
            waitpid(pid_, nullptr, 0);
        }
        if (fromSim_ >= 0) close(fromSim_);
    }

    bool Started() const { return pid_ > 0; }

    // One line of its standard output, without the line break; empty after 5 s of silence.
    std::string ReadLine() {
        std::string line;
        const auto end = std::chrono::steady_clock::now() + std::chrono::seconds(5);
        while (std::chrono::steady_clock::now() < end) {
            pollfd entry{fromSim_, POLLIN, 0};
            if (poll(&entry, 1, 100) <= 0) continue;
            char c;
            if (read(fromSim_, &c, 1) != 1) break;
            if (c == '\n') return line;
            line += c;
        }
        return line;
    }

    // Sends one command line and returns the answer line.
    std::string Command(const std::string& command) {
        const std::string line = command + "\n";
        if (write(toSim_, line.data(), line.size()) != static_cast<ssize_t>(line.size())) return {};
        return ReadLine();
    }

    // Waits for the process to end; its exit status, or -1.
    int Wait() {
        int status = 0;
        for (int i = 0; i < 50; ++i) {
            if (waitpid(pid_, &status, WNOHANG) == pid_) {
                exited_ = true;
                return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
            }
            usleep(100000);
        }
        return -1;
    }

  private:
    pid_t pid_ = -1;
    int toSim_ = -1;
    int fromSim_ = -1;
    bool exited_ = false;
};

std::string Hex(const uint8_t* bytes, size_t n) {
    static const char digits[] = "0123456789ABCDEF";
    std::string text;
    for (size_t i = 0; i < n; ++i) {
        text += digits[bytes[i] >> 4];
        text += digits[bytes[i] & 15];
    }
    return text;
}

TEST(KestrelSimProgram, ServesTheLibraryAndChangesItsFieldFromStandardInput) {
    SimProcess sim({"--tcp", "127.0.0.1:0", "--card", "classic1k:0A0B0C0D"});
    ASSERT_TRUE(sim.Started());
    const std::string first = sim.ReadLine();
    const std::string prefix = "listening on tcp ";
    ASSERT_EQ(first.compare(0, prefix.size(), prefix), 0) << first;
    const std::string address = first.substr(prefix.size());

    KestrelSession* session = CreateSession(0);
    ASSERT_EQ(ConnectReaderEx(session, INTERFACE_TCP, address.c_str(), 0, 0), KESTREL_OK);
    uint8_t uid[10];
    uint8_t length = sizeof uid;
    uint16_t atqa = 0;
    uint8_t sak = 0;
    ASSERT_EQ(SelectIdleCard(session, uid, &length, &atqa, &sak), KESTREL_OK);
    EXPECT_EQ(Hex(uid, length), "0A0B0C0D");
    EXPECT_EQ(atqa, 0x0004);
    EXPECT_EQ(sak, 0x08);
    EXPECT_EQ(HaltCard(session), KESTREL_OK);

    // A card presented while the first one is halted is the one found next.
    EXPECT_NE(sim.Command("add ultralight:04112233445566").find("04112233445566"),
              std::string::npos);
    length = sizeof uid;
    ASSERT_EQ(SelectIdleCard(session, uid, &length, &atqa, &sak), KESTREL_OK);
    EXPECT_EQ(Hex(uid, length), "04112233445566");
    EXPECT_EQ(sim.Command("list").rfind("2 cards", 0), 0u);

    // Taken away, it is gone; the halted card is only woken by WUPA.
    EXPECT_EQ(sim.Command("remove 04112233445566"), "removed 04112233445566");
    length = sizeof uid;
    EXPECT_EQ(SelectIdleCard(session, uid, &length, &atqa, &sak), KESTREL_ERR_NO_CARD);
    EXPECT_EQ(RfReset(session, 25), KESTREL_OK);
    length = sizeof uid;
    ASSERT_EQ(SelectIdleCard(session, uid, &length, &atqa, &sak), KESTREL_OK);
    EXPECT_EQ(Hex(uid, length), "0A0B0C0D");

    EXPECT_EQ(ReleaseSession(session, 0), KESTREL_OK);
    EXPECT_EQ(sim.Command("quit"), "bye");
    EXPECT_EQ(sim.Wait(), 0);
}

}  // namespace
}  // namespace kestrel::test
