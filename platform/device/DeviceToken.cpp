#include "platform/device/DeviceToken.h"

#include <random>
#include <vector>

#include "platform/foundation/Console.h"
#include "platform/foundation/FileManager.h"
#include "platform/foundation/Sandbox.h"

namespace DeviceToken {

std::string path() {
    return Sandbox::home() + "/Library/device-token";
}

std::optional<Data> sandboxToken(std::string* error) {
    auto files = NSFileManager::defaultManager();
    std::string file = path();
    if (files->fileExistsAtPath(file)) {
        auto stored = files->contentsAtPath(file);
        if (stored && stored->length() == kLength) return stored;
        NSLog("Device token file " + file + " is unreadable or damaged; making a new token.");
    }
    std::random_device random;
    std::vector<uint8_t> bytes(kLength);
    for (auto& byte : bytes) byte = uint8_t(random() & 0xff);
    Data token(std::move(bytes));
    NSErrorPtr failure;
    if (!files->createDirectoryAtPath(Sandbox::home() + "/Library", NSFileManager::Intermediates::Yes,
                                      &failure) ||
        !files->createFileAtPath(file, token, NSFileManager::Atomically::Yes, &failure)) {
        if (error)
            *error = "cannot store the device token in " + file + ": " + failure->localizedDescription();
        return std::nullopt;
    }
    return token;
}

std::string hex(const Data& bytes) {
    static constexpr char kDigits[] = "0123456789abcdef";
    std::string out;
    out.reserve(bytes.length() * 2);
    for (uint8_t byte : bytes.span()) {
        out += kDigits[byte >> 4];
        out += kDigits[byte & 0xf];
    }
    return out;
}

std::optional<Data> parseHex(std::string_view text) {
    auto digit = [](char c) -> int {
        if (c >= '0' && c <= '9') return c - '0';
        if (c >= 'a' && c <= 'f') return c - 'a' + 10;
        if (c >= 'A' && c <= 'F') return c - 'A' + 10;
        return -1;
    };
    if (text.starts_with('<') && text.ends_with('>') && text.size() >= 2)
        text = text.substr(1, text.size() - 2);
    std::vector<uint8_t> bytes;
    int high = -1;
    for (char c : text) {
        if (c == ' ') continue;
        int value = digit(c);
        if (value < 0) return std::nullopt;
        if (high < 0) {
            high = value;
        } else {
            bytes.push_back(uint8_t(high << 4 | value));
            high = -1;
        }
    }
    if (high >= 0 || bytes.empty()) return std::nullopt;
    return Data(std::move(bytes));
}

}  // namespace DeviceToken
