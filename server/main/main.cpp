// The Nightcomet II game server. It reads no arguments and no environment: everything it needs
// is in svrcfg.ini in the current folder.
#include "main/server.h"

int main() {
    RunServer();
}
