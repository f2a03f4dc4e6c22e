// The server on a terminal: the title sequence, keys without echo, and the terminal's settings
// given back when it ends.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <poll.h>
#include <pty.h>
#include <signal.h>
#include <sys/wait.h>
#include <termios.h>
#include <unistd.h>

#include <chrono>
#include <cstdlib>
#include <filesystem>
#include <string>
#include <vector>

#include "server_process.h"

namespace e2e {
namespace {

// Reads from the terminal until text has come or the deadline passes; returns all read.
std::string ReadUntil(int terminal, std::string& seen, const std::string& text,
                      std::chrono::milliseconds deadline) {
    const auto end = std::chrono::steady_clock::now() + deadline;
    while (seen.find(text) == std::string::npos && std::chrono::steady_clock::now() < end) {
        pollfd wait{terminal, POLLIN, 0};
        if (poll(&wait, 1, 100) > 0) {
            char bytes[1024];
            const ssize_t count = read(terminal, bytes, sizeof bytes);
            if (count <= 0) {
                break;
            }
            seen.append(bytes, static_cast<std::size_t>(count));
        }
    }
    return seen;
}

// Starts the server (through the launcher, when there is one) in folder on a new pseudo-terminal,
// listening on listenPort. Returns its pid, or -1, and sets terminal to the terminal's own side.
pid_t StartOnTerminal(const ScratchFolder& folder, int listenPort, int& terminal) {
    folder.Write("svrcfg.ini", "port= " + std::to_string(listenPort) + "\notherport= 1\n");
    std::vector<std::string> command;
    if (UnderLauncher()) {
        command.emplace_back(std::getenv("NIGHTCOMET_LAUNCHER"));
    }
    command.push_back(std::filesystem::absolute(std::getenv("NIGHTCOMET_SERVER")).string());
    std::vector<char*> arguments;
    for (std::string& part : command) {
        arguments.push_back(part.data());
    }
    arguments.push_back(nullptr);
    const pid_t pid = forkpty(&terminal, nullptr, nullptr, nullptr);
    if (pid == 0) {
        if (chdir(folder.Path().c_str()) != 0) {
            _exit(126);
        }
        execv(arguments[0], arguments.data());
        _exit(127);
    }
    return pid;
}

// Waits for the server to end, reading what it draws into seen meanwhile so that it never waits
// on a full terminal. Returns its wait status.
int WaitForEnd(pid_t pid, int terminal, std::string& seen) {
    int status = 0;
    const auto end = std::chrono::steady_clock::now() + REPLY_DEADLINE;
    while (waitpid(pid, &status, WNOHANG) != pid && std::chrono::steady_clock::now() < end) {
        ReadUntil(terminal, seen, "\x01", 50ms);
    }
    return status;
}

class TerminalTest : public testing::TestWithParam<int> {};

TEST_P(TerminalTest, TitleKeysWithoutEchoAndSettingsRestored) {
    if (UnderLauncher()) {
        GTEST_SKIP() << "POSIX terminals only";
    }
    const ScratchFolder folder;
    const int listenPort = FreePort();
    int terminal = -1;
    const pid_t pid = StartOnTerminal(folder, listenPort, terminal);
    ASSERT_GE(pid, 0);
    // Hold the terminal's other side, to read its settings after the server has gone.
    const int side = open(ptsname(terminal), O_RDWR | O_NOCTTY);
    ASSERT_GE(side, 0);
    termios before{};
    ASSERT_EQ(tcgetattr(side, &before), 0);
    ASSERT_NE(before.c_lflag & ECHO, 0u);

    std::string seen;
    ReadUntil(terminal, seen, "Listening on", START_DEADLINE);
    EXPECT_EQ(
        seen.rfind("\033]0;Nightcomet II Game Server\007Transmitting port: 1 | Listening on ", 0),
        0u)
        << seen;
    // While it runs: no echo, no line editing, signal keys still on.
    termios running{};
    ASSERT_EQ(tcgetattr(side, &running), 0);
    EXPECT_EQ(running.c_lflag & (ECHO | ICANON), 0u);
    EXPECT_NE(running.c_lflag & ISIG, 0u);

    // One key, no line end needed, no echo of it.
    seen.clear();
    ASSERT_EQ(write(terminal, "q", 1), 1);
    ReadUntil(terminal, seen, "---\r\n---\r\n", REPLY_DEADLINE);
    EXPECT_EQ(seen, "\r\nPRINTING LEADERBOARD\r\n---\r\n---\r\n");

    if (GetParam() == SIGINT) {
        ASSERT_EQ(write(terminal, "\x03", 1), 1);  // Ctrl+C on the terminal
    } else {
        kill(pid, GetParam());
    }
    const int status = WaitForEnd(pid, terminal, seen);
    EXPECT_TRUE(WIFSIGNALED(status) && WTERMSIG(status) == GetParam()) << status;

    termios after{};
    ASSERT_EQ(tcgetattr(side, &after), 0);
    EXPECT_EQ(after.c_lflag, before.c_lflag);
    EXPECT_EQ(after.c_cc[VMIN], before.c_cc[VMIN]);
    close(side);
    close(terminal);
}

// Ctrl+C saves and ends; Ctrl+\ (SIGQUIT) ends at once; both give the terminal back.
INSTANTIATE_TEST_SUITE_P(Endings, TerminalTest, testing::Values(SIGINT, SIGTERM, SIGQUIT),
                         [](const testing::TestParamInfo<int>& info) {
                             return std::string(sigabbrev_np(info.param));
                         });

// Waits until the terminal's local flags under mask are expected, reading what the server draws
// meanwhile. Returns whether they came to be so before the deadline.
bool WaitForLocalFlags(int side, int terminal, std::string& seen, tcflag_t mask,
                       tcflag_t expected) {
    const auto end = std::chrono::steady_clock::now() + REPLY_DEADLINE;
    termios now{};
    while (tcgetattr(side, &now) == 0 && (now.c_lflag & mask) != expected) {
        if (std::chrono::steady_clock::now() >= end) {
            return false;
        }
        ReadUntil(terminal, seen, "\x01", 20ms);
    }
    return true;
}

// Ctrl+Z under a job-control shell gives the terminal back as it was, and fg takes it again for
// the server, twice over. The test's stand-in for the shell is the terminal's session leader; it
// runs the server as a job in a process group of its own, takes the terminal back when the job
// stops and, when the test writes a byte to it, gives it to the job again and continues it, as fg
// does. Started in the foreground, the server takes the terminal at once; started in the
// background ("server &"), it leaves it alone until the first fg.
class JobControl : public testing::TestWithParam<bool> {};

TEST_P(JobControl, CtrlZGivesTheTerminalBackAndFgTakesItAgain) {
    const bool background = GetParam();
    if (UnderLauncher()) {
        GTEST_SKIP() << "POSIX terminals only";
    }
    const ScratchFolder folder;
    folder.Write("svrcfg.ini", "port= " + std::to_string(FreePort()) + "\notherport= 1\n");
    std::string server = std::filesystem::absolute(std::getenv("NIGHTCOMET_SERVER")).string();
    int resume[2];
    ASSERT_EQ(pipe(resume), 0);
    int terminal = -1;
    const pid_t shell = forkpty(&terminal, nullptr, nullptr, nullptr);
    if (shell == 0) {
        close(resume[1]);
        ::signal(SIGTTOU, SIG_IGN);  // the shell takes the terminal from the background
        const pid_t job = fork();
        if (job == 0) {
            setpgid(0, 0);
            if (!background) {
                tcsetpgrp(STDIN_FILENO, getpgrp());
            }
            ::signal(SIGTTOU, SIG_DFL);
            close(resume[0]);
            if (chdir(folder.Path().c_str()) != 0) {
                _exit(126);
            }
            execl(server.c_str(), server.c_str(), static_cast<char*>(nullptr));
            _exit(127);
        }
        setpgid(job, job);
        char go = 0;
        if (background && read(resume[0], &go, 1) != 1) {
            kill(-job, SIGKILL);
        }
        tcsetpgrp(STDIN_FILENO, job);
        if (background) {
            kill(-job, SIGCONT);
        }
        int status = 0;
        while (waitpid(job, &status, WUNTRACED) == job && WIFSTOPPED(status)) {
            tcsetpgrp(STDIN_FILENO, getpgrp());
            if (read(resume[0], &go, 1) != 1) {
                kill(-job, SIGKILL);
            }
            tcsetpgrp(STDIN_FILENO, job);
            kill(-job, SIGCONT);
        }
        _exit(WIFSIGNALED(status) ? 128 + WTERMSIG(status) : 100 + WEXITSTATUS(status));
    }
    ASSERT_GE(shell, 0);
    close(resume[0]);
    const int side = open(ptsname(terminal), O_RDWR | O_NOCTTY);
    ASSERT_GE(side, 0);
    termios before{};
    ASSERT_EQ(tcgetattr(side, &before), 0);

    std::string seen;
    ReadUntil(terminal, seen, "Listening on", START_DEADLINE);
    ASSERT_NE(seen.find("Listening on"), std::string::npos) << seen;
    if (background) {
        termios left{};
        ASSERT_EQ(tcgetattr(side, &left), 0);
        EXPECT_EQ(left.c_lflag, before.c_lflag) << "in the background the terminal is left alone";
        ASSERT_EQ(write(resume[1], "g", 1), 1);  // fg
    }
    ASSERT_TRUE(WaitForLocalFlags(side, terminal, seen, ECHO | ICANON, 0));
    for (int round = 0; round < 2; ++round) {
        ASSERT_EQ(write(terminal, "\x1a", 1), 1);  // Ctrl+Z
        EXPECT_TRUE(WaitForLocalFlags(side, terminal, seen, ECHO | ICANON, ECHO | ICANON))
            << "stopped, the terminal is as it was (round " << round << ")";
        ASSERT_EQ(write(resume[1], "g", 1), 1);  // fg
        EXPECT_TRUE(WaitForLocalFlags(side, terminal, seen, ECHO | ICANON, 0))
            << "continued, the server's settings again (round " << round << ")";
        seen.clear();
        ASSERT_EQ(write(terminal, "q", 1), 1);
        ReadUntil(terminal, seen, "---\r\n---\r\n", REPLY_DEADLINE);
        EXPECT_EQ(seen, "\r\nPRINTING LEADERBOARD\r\n---\r\n---\r\n") << round;
    }
    ASSERT_EQ(write(terminal, "\x03", 1), 1);  // Ctrl+C
    const int status = WaitForEnd(shell, terminal, seen);
    EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 128 + SIGINT) << status;
    termios after{};
    ASSERT_EQ(tcgetattr(side, &after), 0);
    EXPECT_EQ(after.c_lflag, before.c_lflag);
    close(resume[1]);
    close(side);
    close(terminal);
}

INSTANTIATE_TEST_SUITE_P(Starts, JobControl, testing::Bool(),
                         [](const testing::TestParamInfo<bool>& info) {
                             return std::string(info.param ? "InTheBackground" : "InTheForeground");
                         });

// Wine's console on a terminal draws the server's lines with sequences of its own: it hides and
// shows the cursor around each character and moves over each space. This gives back the text:
// a cursor move forward (ESC [ n C) as n spaces, any other ESC [ sequence as nothing.
std::string DrawnText(const std::string& drawn) {
    std::string text;
    for (std::size_t index = 0; index < drawn.size(); ++index) {
        if (drawn.compare(index, 2, "\033[") != 0) {
            text.push_back(drawn[index]);
            continue;
        }
        std::size_t end = index + 2;
        while (end < drawn.size() && !(drawn[end] >= '@' && drawn[end] <= '~')) {
            ++end;
        }
        if (end < drawn.size() && drawn[end] == 'C') {
            const std::string count = drawn.substr(index + 2, end - index - 2);
            text.append(count.empty() ? 1 : std::stoul(count), ' ');
        }
        index = end;
    }
    return text;
}

// The Windows server in Wine's console on a terminal: SetConsoleTitleA reaches the terminal as
// its title sequence, and Ctrl+C typed there is the console's Ctrl+C, which saves and ends.
TEST(WineTerminal, TitleAndCtrlCReachTheWindowsConsole) {
    if (!UnderWine()) {
        GTEST_SKIP() << "the Windows server in Wine's console";
    }
    const ScratchFolder folder;
    const int listenPort = FreePort();
    int terminal = -1;
    const pid_t pid = StartOnTerminal(folder, listenPort, terminal);
    ASSERT_GE(pid, 0);
    std::string seen;
    ReadUntil(terminal, seen, "\r\n", START_DEADLINE);
    EXPECT_EQ(DrawnText(seen),
              "\033]0;Nightcomet II Game Server\007Transmitting port: 1 | Listening on " +
                  std::to_string(listenPort) + "\r\r\n")
        << seen;

    seen.clear();
    ASSERT_EQ(write(terminal, "\x03", 1), 1);
    const int status = WaitForEnd(pid, terminal, seen);
    // Ctrl+C's exit code 0xC000013A, of which a Linux parent sees the low byte.
    EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0x3A) << status;
    EXPECT_NE(DrawnText(seen).find("Dumping score records"), std::string::npos) << seen;
    EXPECT_EQ(folder.Read("scores.bin").size(), 804u);
    close(terminal);
}

}  // namespace
}  // namespace e2e
