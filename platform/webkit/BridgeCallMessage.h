// A call of a page's bridge object as the web process sends it (kCallMessage of BridgeProtocol.h): the
// calling document, its address, whether it is of the bridge's origin, the method and its arguments. The web
// process runs the page, so the message is taken apart as carefully as anything else a page sends.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <variant>
#include <vector>

// An argument as the page gave it: nullopt for undefined, null or missing.
using BridgeArgument = std::optional<std::variant<bool, std::string>>;

struct BridgeCallMessage {
    uint64_t document = 0;
    std::string URL;
    bool ofBridgeOrigin = false;
    std::string method;
    std::vector<BridgeArgument> arguments;
};

typedef struct _GVariant GVariant;  // GLib's, declared as GLib does: this header needs no GLib

// nullopt when `parameters` is not of the call message's type. An argument that is neither a boolean nor
// an optional string arrives as nullopt, like a missing one.
std::optional<BridgeCallMessage> decodeBridgeCallMessage(GVariant* parameters);
