#include "server_process.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <poll.h>
#include <signal.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <iterator>
#include <stdexcept>

namespace e2e {

namespace {

std::uint32_t LoopbackAddress(int lastOctet) {
    return 127u | static_cast<std::uint32_t>(lastOctet) << 24;
}

sockaddr_in SocketAddress(std::uint32_t address, int port) {
    sockaddr_in result{};
    result.sin_family = AF_INET;
    result.sin_addr.s_addr = address;
    result.sin_port = htons(static_cast<std::uint16_t>(port));
    return result;
}

int BoundSocket(std::uint32_t address, int port) {
    const int fd = socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
    const sockaddr_in local = SocketAddress(address, port);
    if (fd < 0 || bind(fd, reinterpret_cast<const sockaddr*>(&local), sizeof local) != 0) {
        throw std::runtime_error("cannot bind " + std::to_string(port) + ": " +
                                 std::strerror(errno));
    }
    return fd;
}

const char* RequiredEnvironment(const char* name) {
    const char* value = std::getenv(name);
    if (value == nullptr || *value == '\0') {
        throw std::runtime_error(std::string(name) + " must name the server to test");
    }
    return value;
}

}  // namespace

Bytes JoinRequest() {
    return {'N', 'I', 'G', 'H', 'T', 'C', 'O', 'M', 'E', 'T', 0};
}

Bytes StatePacket(std::uint8_t seed, std::uint8_t flags) {
    Bytes bytes(16);
    for (int index = 0; index < 15; ++index) {
        bytes[index] = static_cast<std::uint8_t>(seed + 11 * index);
    }
    bytes[15] = flags;
    return bytes;
}

bool UnderLauncher() {
    const char* launcher = std::getenv("NIGHTCOMET_LAUNCHER");
    return launcher != nullptr && *launcher != '\0';
}

bool UnderWine() {
    const char* wine = std::getenv("NIGHTCOMET_UNDER_WINE");
    return wine != nullptr && std::string(wine) == "1";
}

int FreePort() {
    const int fd = BoundSocket(INADDR_ANY, 0);
    sockaddr_in local{};
    socklen_t length = sizeof local;
    getsockname(fd, reinterpret_cast<sockaddr*>(&local), &length);
    close(fd);
    return ntohs(local.sin_port);
}

ScratchFolder::ScratchFolder() {
    std::string pattern =
        (std::filesystem::temp_directory_path() / "nightcomet-e2e-XXXXXX").string();
    if (mkdtemp(pattern.data()) == nullptr) {
        throw std::runtime_error("cannot make a scratch folder");
    }
    path_ = pattern;
}

ScratchFolder::~ScratchFolder() {
    std::error_code ignored;
    std::filesystem::remove_all(path_, ignored);
}

void ScratchFolder::Write(const std::string& name, const std::string& bytes) const {
    std::ofstream(path_ / name, std::ios::binary) << bytes;
}

std::string ScratchFolder::Read(const std::string& name) const {
    std::ifstream file(path_ / name, std::ios::binary);
    return {std::istreambuf_iterator<char>(file), std::istreambuf_iterator<char>()};
}

ServerProcess::ServerProcess(const ScratchFolder& folder, ServerOptions options) {
    listenPort = FreePort();
    do {
        transmitPort = FreePort();
    } while (transmitPort == listenPort);
    if (options.writeConfig) {
        folder.Write("svrcfg.ini", "port= " + std::to_string(listenPort) +
                                       "\notherport= " + std::to_string(transmitPort) + "\n");
    }
    if (options.prepareFolder) {
        options.prepareFolder();
    }
    const std::string server = RequiredEnvironment("NIGHTCOMET_SERVER");
    const char* launcher = std::getenv("NIGHTCOMET_LAUNCHER");
    std::vector<std::string> command;
    if (UnderLauncher()) {
        command.emplace_back(launcher);
    }
    command.push_back(std::filesystem::absolute(server).string());

    int keys[2];
    int output[2];
    if (pipe2(keys, O_CLOEXEC) != 0 || pipe2(output, O_CLOEXEC) != 0) {
        throw std::runtime_error("cannot make pipes");
    }
    pid_ = fork();
    if (pid_ == 0) {
        // The child: its own process group, so that the test can end all of it.
        setpgid(0, 0);
        if (options.inputClosed) {
            close(STDIN_FILENO);
        } else if (options.keysPipe) {
            dup2(keys[0], STDIN_FILENO);
        } else {
            const int null = open("/dev/null", O_RDONLY);
            dup2(null, STDIN_FILENO);
        }
        dup2(output[1], STDOUT_FILENO);
        for (const int signal : options.ignoredSignals) {
            ::signal(signal, SIG_IGN);
        }
        if (options.descriptorLimit > 0) {
            const rlimit limit{static_cast<rlim_t>(options.descriptorLimit),
                               static_cast<rlim_t>(options.descriptorLimit)};
            setrlimit(RLIMIT_NOFILE, &limit);
        }
        if (chdir(folder.Path().c_str()) != 0) {
            _exit(126);
        }
        std::vector<char*> arguments;
        for (std::string& part : command) {
            arguments.push_back(part.data());
        }
        arguments.push_back(nullptr);
        execv(arguments[0], arguments.data());
        _exit(127);
    }
    close(keys[0]);
    close(output[1]);
    keysFd_ = keys[1];
    outputFd_ = output[0];
    reader_ = std::thread(&ServerProcess::ReadOutput, this);
}

ServerProcess::~ServerProcess() {
    if (!WaitForExit(0ms)) {
        kill(-pid_, SIGKILL);
        kill(pid_, SIGKILL);
        WaitForExit(START_DEADLINE);
    }
    CloseKeys();
    // The reader ends at the end of the output, or soon after the exit when a process that the
    // launcher started still holds the pipe open.
    if (reader_.joinable()) {
        reader_.join();
    }
    close(outputFd_);
}

void ServerProcess::ReadOutput() {
    char bytes[4096];
    for (;;) {
        pollfd wait{outputFd_, POLLIN, 0};
        const int ready = poll(&wait, 1, 200);
        ssize_t count = 0;
        if (ready > 0) {
            count = read(outputFd_, bytes, sizeof bytes);
        } else if (ready < 0 && errno == EINTR) {
            continue;
        }
        const std::lock_guard<std::mutex> hold(mutex_);
        if (count > 0) {
            output_.append(bytes, static_cast<std::size_t>(count));
            changed_.notify_all();
            continue;
        }
        // The end of the output; or, once the server has exited, a quiet pipe that a process the
        // launcher started may still hold open.
        if (ready != 0 || exited_) {
            outputEnded_ = true;
            changed_.notify_all();
            return;
        }
    }
}

std::string ServerProcess::Output() {
    const std::lock_guard<std::mutex> hold(mutex_);
    return output_;
}

bool ServerProcess::WaitForOutput(const std::string& text, std::chrono::milliseconds deadline,
                                  std::size_t from) {
    std::unique_lock<std::mutex> hold(mutex_);
    return changed_.wait_for(hold, deadline, [&] {
        return output_.size() >= from && output_.find(text, from) != std::string::npos;
    });
}

bool ServerProcess::WaitForCount(const std::string& text, int count,
                                 std::chrono::milliseconds deadline, std::size_t from) {
    std::unique_lock<std::mutex> hold(mutex_);
    return changed_.wait_for(hold, deadline, [&] {
        int found = 0;
        for (std::size_t at = output_.find(text, from); at != std::string::npos;
             at = output_.find(text, at + text.size())) {
            ++found;
        }
        return found >= count;
    });
}

bool ServerProcess::WaitUntilListening() {
    return WaitForOutput("Transmitting port: " + std::to_string(transmitPort) + " | Listening on " +
                             std::to_string(listenPort) + "\n",
                         START_DEADLINE);
}

void ServerProcess::PressKeys(const std::string& keys) {
    if (keysFd_ >= 0) {
        const ssize_t written = write(keysFd_, keys.data(), keys.size());
        static_cast<void>(written);
    }
}

void ServerProcess::CloseKeys() {
    if (keysFd_ >= 0) {
        close(keysFd_);
        keysFd_ = -1;
    }
}

void ServerProcess::Signal(int signal) {
    kill(pid_, signal);
}

std::optional<int> ServerProcess::WaitForExit(std::chrono::milliseconds deadline) {
    if (exited_) {
        return status_;
    }
    const auto end = std::chrono::steady_clock::now() + deadline;
    for (;;) {
        int status = 0;
        if (waitpid(pid_, &status, WNOHANG) == pid_) {
            std::unique_lock<std::mutex> hold(mutex_);
            exited_ = true;
            status_ = status;
            changed_.wait_for(hold, REPLY_DEADLINE, [this] { return outputEnded_; });
            return status;
        }
        if (std::chrono::steady_clock::now() >= end) {
            return std::nullopt;
        }
        std::this_thread::sleep_for(20ms);
    }
}

Player::Player(int lastOctet, int transmitPort, int listenPort)
    : address_(LoopbackAddress(lastOctet)), listenPort_(listenPort) {
    receiveFd_ = BoundSocket(address_, transmitPort);
    sendFd_ = BoundSocket(address_, 0);
}

Player::~Player() {
    close(receiveFd_);
    close(sendFd_);
}

void Player::Send(const Bytes& bytes) const {
    const sockaddr_in server = SocketAddress(LoopbackAddress(1), listenPort_);
    const ssize_t sent = sendto(sendFd_, bytes.data(), bytes.size(), 0,
                                reinterpret_cast<const sockaddr*>(&server), sizeof server);
    if (sent != static_cast<ssize_t>(bytes.size())) {
        throw std::runtime_error(std::string("send failed: ") + std::strerror(errno));
    }
}

std::optional<Bytes> Player::Receive(std::chrono::milliseconds deadline) const {
    pollfd wait{receiveFd_, POLLIN, 0};
    if (poll(&wait, 1, static_cast<int>(deadline.count())) <= 0) {
        return std::nullopt;
    }
    Bytes bytes(2048);
    const ssize_t count = recv(receiveFd_, bytes.data(), bytes.size(), 0);
    if (count < 0) {
        return std::nullopt;
    }
    bytes.resize(static_cast<std::size_t>(count));
    return bytes;
}

int Player::Join() const {
    Send(JoinRequest());
    const auto end = std::chrono::steady_clock::now() + REPLY_DEADLINE;
    std::optional<Bytes> reply;
    do {
        // Never a negative wait, which would be no deadline at all.
        reply = Receive(std::max(std::chrono::milliseconds(0),
                                 std::chrono::duration_cast<std::chrono::milliseconds>(
                                     end - std::chrono::steady_clock::now())));
    } while (reply && reply->size() == 16);
    if (!reply || reply->size() != 4) {
        return -1;
    }
    return static_cast<int>((*reply)[0] | (*reply)[1] << 8 | (*reply)[2] << 16 |
                            static_cast<std::uint32_t>((*reply)[3]) << 24);
}

}  // namespace e2e
