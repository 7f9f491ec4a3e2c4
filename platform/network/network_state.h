// How the desktop says the machine is connected: NetworkManager's Connectivity and Metered
// properties on the system bus. Without NetworkManager (or with no system bus) everything is
// Unknown, which callers treat as they would without this.
#pragma once

namespace network {

enum class Connectivity { Unknown, None, Limited, Full };  // Limited: a portal, or no way out
enum class Metered { Unknown, Yes, No };

struct NetworkState {
  Connectivity connectivity = Connectivity::Unknown;
  Metered metered = Metered::Unknown;
};

// Asks NetworkManager once; waits at most timeoutMs for its answer. Never starts the service.
NetworkState currentNetworkState(int timeoutMs = 1000);

}  // namespace network
