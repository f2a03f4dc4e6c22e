#include "relay_process.h"

#include <fcntl.h>
#include <netinet/in.h>
#include <signal.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <thread>

namespace {

std::vector<std::string> Launcher() {
    std::vector<std::string> words;
    const char* launcher = std::getenv("NIGHTCOMET_LAUNCHER");
    if (launcher != nullptr) {
        std::istringstream stream(launcher);
        std::string word;
        while (stream >> word) {
            words.push_back(word);
        }
    }
    return words;
}

}  // namespace

bool StartRelay(RelayProcess& process, const std::vector<std::string>& command, int port,
                int otherPort, std::string& error) {
    std::string pattern =
        (std::filesystem::temp_directory_path() / "nightcomet-relay-XXXXXX").string();
    if (mkdtemp(pattern.data()) == nullptr) {
        error = "cannot make a temporary folder: " + std::string(std::strerror(errno));
        return false;
    }
    process.folder = pattern;
    process.console = process.folder + "/console.log";
    {
        std::ofstream config(process.folder + "/svrcfg.ini");
        config << "port= " << port << "\notherport= " << otherPort << "\n";
    }
    std::vector<std::string> words = Launcher();
    words.insert(words.end(), command.begin(), command.end());
    // The process starts in its own folder: a relative path would no longer lead to it.
    const std::size_t program = words.size() - command.size();
    if (!command.empty() && words[program].find('/') != std::string::npos) {
        words[program] = std::filesystem::absolute(words[program]).string();
    }
    std::vector<char*> argv;
    for (std::string& word : words) {
        argv.push_back(word.data());
    }
    argv.push_back(nullptr);
    const pid_t pid = fork();
    if (pid < 0) {
        error = "fork failed: " + std::string(std::strerror(errno));
        return false;
    }
    if (pid == 0) {
        // The child: only calls that are safe after fork, then the relay.
        const int input = open("/dev/null", O_RDONLY);
        const int output = open(process.console.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
        if (input < 0 || output < 0 || chdir(process.folder.c_str()) != 0) {
            _exit(127);
        }
        dup2(input, STDIN_FILENO);
        dup2(output, STDOUT_FILENO);
        dup2(output, STDERR_FILENO);
        execv(argv[0], argv.data());
        _exit(127);
    }
    process.pid = pid;
    return true;
}

bool RelayRunning(const RelayProcess& process) {
    int status = 0;
    return process.pid > 0 && waitpid(process.pid, &status, WNOHANG) == 0;
}

std::string ReadConsole(const RelayProcess& process) {
    std::ifstream file(process.console);
    std::stringstream text;
    text << file.rdbuf();
    return text.str();
}

std::string StopRelay(RelayProcess& process) {
    if (process.pid > 0) {
        kill(process.pid, SIGTERM);
        const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(5);
        int status = 0;
        while (waitpid(process.pid, &status, WNOHANG) == 0) {
            if (std::chrono::steady_clock::now() > deadline) {
                kill(process.pid, SIGKILL);
                waitpid(process.pid, &status, 0);
                break;
            }
            std::this_thread::sleep_for(std::chrono::milliseconds(10));
        }
        process.pid = -1;
    }
    std::string console;
    if (!process.folder.empty()) {
        console = ReadConsole(process);
        std::error_code ignored;
        std::filesystem::remove_all(process.folder, ignored);
        process.folder.clear();
    }
    return console;
}

bool WaitForConsole(const RelayProcess& process, const std::string& text, int timeoutMs) {
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeoutMs);
    for (;;) {
        if (ReadConsole(process).find(text) != std::string::npos) {
            return true;
        }
        if (std::chrono::steady_clock::now() > deadline || !RelayRunning(process)) {
            return false;
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
    }
}

int FreeUdpPort(std::uint32_t address) {
    const int handle = socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
    if (handle < 0) {
        return -1;
    }
    sockaddr_in local{};
    local.sin_family = AF_INET;
    local.sin_addr.s_addr = address;
    socklen_t length = sizeof local;
    int port = -1;
    if (bind(handle, reinterpret_cast<const sockaddr*>(&local), sizeof local) == 0 &&
        getsockname(handle, reinterpret_cast<sockaddr*>(&local), &length) == 0) {
        port = ntohs(local.sin_port);
    }
    close(handle);
    return port;
}

bool PickPorts(std::uint32_t firstPlayer, int count, int& port, int& otherPort) {
    for (int attempt = 0; attempt < 20; ++attempt) {
        port = FreeUdpPort(INADDR_ANY);
        otherPort = FreeUdpPort(firstPlayer);
        if (port <= 0 || otherPort <= 0 || port == otherPort) {
            continue;
        }
        // The other players' addresses must have the port free too.
        bool free = true;
        std::vector<int> held;
        for (int index = 1; index < count && free; ++index) {
            const int handle = socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
            sockaddr_in local{};
            local.sin_family = AF_INET;
            const std::uint32_t host = ntohl(firstPlayer) + static_cast<std::uint32_t>(index);
            local.sin_addr.s_addr = htonl(host);
            local.sin_port = htons(static_cast<std::uint16_t>(otherPort));
            free = handle >= 0 &&
                   bind(handle, reinterpret_cast<const sockaddr*>(&local), sizeof local) == 0;
            if (handle >= 0) {
                held.push_back(handle);
            }
        }
        for (const int handle : held) {
            close(handle);
        }
        if (free) {
            return true;
        }
    }
    return false;
}

long PeakResidentKiB(pid_t pid) {
    std::ifstream status("/proc/" + std::to_string(pid) + "/status");
    std::string line;
    while (std::getline(status, line)) {
        if (line.rfind("VmHWM:", 0) == 0) {
            return std::strtol(line.c_str() + 6, nullptr, 10);
        }
    }
    return -1;
}

double CpuSeconds(pid_t pid) {
    std::ifstream stat("/proc/" + std::to_string(pid) + "/stat");
    std::string text((std::istreambuf_iterator<char>(stat)), std::istreambuf_iterator<char>());
    // The command name in parentheses may hold blanks; the fields after it are plain.
    const std::size_t close = text.rfind(')');
    if (close == std::string::npos) {
        return -1;
    }
    std::istringstream fields(text.substr(close + 2));
    std::string field;
    unsigned long long utime = 0;
    unsigned long long stime = 0;
    // After the name: state is field 3; utime and stime are fields 14 and 15.
    for (int number = 3; number <= 15 && fields >> field; ++number) {
        if (number == 14) {
            utime = std::strtoull(field.c_str(), nullptr, 10);
        } else if (number == 15) {
            stime = std::strtoull(field.c_str(), nullptr, 10);
        }
    }
    return static_cast<double>(utime + stime) / static_cast<double>(sysconf(_SC_CLK_TCK));
}

std::uint64_t UdpSocketDrops(std::uint32_t address, int port) {
    char local[32];
    // The kernel prints the address as the 32-bit value it holds, the port in host order.
    std::snprintf(local, sizeof local, "%08X:%04X", address, port);
    std::ifstream table("/proc/net/udp");
    std::string line;
    std::uint64_t drops = 0;
    while (std::getline(table, line)) {
        std::istringstream fields(line);
        std::string slot;
        std::string localAddress;
        fields >> slot >> localAddress;
        if (localAddress != local) {
            continue;
        }
        std::string field;
        std::string last;
        while (fields >> field) {
            last = field;
        }
        drops += std::strtoull(last.c_str(), nullptr, 10);
    }
    return drops;
}
