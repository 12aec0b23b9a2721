// A call of a page's bridge object as the web process sends it (kCallMessage of BridgeProtocol.h): the
// calling document, its address, whether it is of the bridge's origin, the method and its arguments. The web
// process runs the page, so the message is taken apart as carefully as anything else a page sends.
#pragma once

#include <glib.h>

#include <cstdint>
#include <optional>
#include <string>

#include "platform/webkit/JSBridge.h"

struct BridgeCallMessage {
    uint64_t document = 0;
    std::string URL;
    bool ofBridgeOrigin = false;
    std::string method;
    JSArguments arguments;
};

// nullopt when `parameters` is not of the call message's type. An argument that is neither a boolean nor
// an optional string arrives as nullopt, like a missing one.
std::optional<BridgeCallMessage> decodeBridgeCallMessage(GVariant* parameters);
