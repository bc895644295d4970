#include "app/bridge_main.h"
#include "platform/system.h"

int main(int argc, char** argv) {
    // Other threads may be blocked on sockets: end the process without
    // unwinding what they use.
    kolv::exitProcess(kolv::bridgeMain(argc, argv));
}
