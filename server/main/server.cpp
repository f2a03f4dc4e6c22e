#include "main/server.h"

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "console/console.h"
#include "relay/relay.h"
#include "scores/scores.h"

std::int32_t listenPort = 0;
std::int32_t transmitPort = 0;
Endpoint listenEndpoint{};
std::array<std::uint8_t, RECEIVE_BUFFER_SIZE> receiveBuffer{};

bool ReadServerConfig(const char* path, std::int32_t& port, std::int32_t& otherPort) {
    std::FILE* file = std::fopen(path, "r");
    if (file == nullptr) {
        return false;
    }
    // The return values are not needed: a pattern that does not match leaves its variable alone.
    static_cast<void>(std::fscanf(file, "port= %d\n", &port));
    static_cast<void>(std::fscanf(file, "otherport= %d\n", &otherPort));
    std::fclose(file);
    return true;
}

void StartServer() {
    receiveBuffer = {};
    InitNetwork();
    PlatformOpenConsole();
    PlatformSetConsoleTitle(CONSOLE_TITLE);
    if (!ReadServerConfig(CONFIG_FILE, listenPort, transmitPort)) {
        Print(
            "Cannot open %s: it must be in the current folder and hold the lines "
            "\"port= <listening port>\" and \"otherport= <transmitting port>\"\n",
            CONFIG_FILE);
        std::exit(1);
    }
    // Everything the server sends goes to this port, and no system sends to port 0: without
    // it the first join would end the server with a send failure.
    if ((transmitPort & 0xFFFF) == 0) {
        Print(
            "%s gives no transmitting port: it must hold the lines \"port= <listening port>\" and "
            "\"otherport= <transmitting port>\"\n",
            CONFIG_FILE);
        std::exit(1);
    }
    listenEndpoint = CreateListenEndpoint(listenPort, ANY_ADDRESS);
    ClearSlots();
    CreateScoreTable();
    StartScoreDump();
    Print("Transmitting port: %d | Listening on %d\n", transmitPort, listenPort);
    int error = 0;
    if (!LoadScores(error)) {
        Print(
            "Cannot read %s (%s); the server stops so that the saved scores are not "
            "overwritten\n",
            SCORES_FILE, std::strerror(error));
        std::exit(1);
    }
}

void DispatchDatagram(const ReceiveResult& result, const std::uint8_t* buffer) {
    if (result.length == JOIN_REQUEST_SIZE) {
        if (std::equal(JOIN_REQUEST.begin(), JOIN_REQUEST.end(), buffer)) {
            HandleJoin(result);
        }
    } else if (result.length == STATE_PACKET_SIZE) {
        HandleStatePacket(result, buffer);
    }
    // Any other length is not the protocol's and is ignored.
}

void RunLoopPass() {
    CheckLeaderboardKey();
    const ReceiveResult result =
        ReceiveDatagram(listenEndpoint, receiveBuffer.data(), RECEIVE_BUFFER_SIZE);
    if (result.received != 0) {
        DispatchDatagram(result, receiveBuffer.data());
    }
    SweepTimeouts();
}

void RunServer() {
    StartServer();
    // The loop never sleeps: one non-blocking receive a pass, so a datagram is answered within
    // one pass.
    while (!PlatformStopRequested()) {
        RunLoopPass();
    }
    DumpScores();
    PlatformEndAfterStop();
}
