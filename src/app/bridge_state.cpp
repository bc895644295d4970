#include "app/bridge_state.h"

namespace kolv {

BridgeState& bridgeState() {
    static BridgeState* state = new BridgeState();
    return *state;
}

void initialiseBridgeState(BridgeState& state) {
    for (auto& slot : state.clientSlots.sockets) slot.store(kInvalidSocket);
    resetTracker(state.latencyTracker);
}

void setHostLinkDown(BridgeState& state, bool down) {
    {
        std::lock_guard<std::mutex> lock(state.linkUpMutex);
        state.hostLinkDown.store(down);
    }
    if (!down) state.linkUpChanged.notify_all();
}

}  // namespace kolv
