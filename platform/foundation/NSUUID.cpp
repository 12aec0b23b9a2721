#include "platform/foundation/NSUUID.h"

#include <sys/random.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <fstream>

namespace {

bool fromGetrandom(uint8_t* out, size_t size) {
    size_t filled = 0;
    while (filled < size) {
        ssize_t got = getrandom(out + filled, size - filled, 0);
        if (got < 0) {
            if (errno == EINTR) continue;
            return false;
        }
        filled += size_t(got);
    }
    return true;
}

bool fromDevice(uint8_t* out, size_t size) {
    std::ifstream device("/dev/urandom", std::ios::binary);
    return device.read(reinterpret_cast<char*>(out), std::streamsize(size)).gcount() == std::streamsize(size);
}

void randomBytes(uint8_t* out, size_t size) {
    if (fromGetrandom(out, size) || fromDevice(out, size)) return;
    // Without a random source every identifier would collide; better to stop than to hand out duplicates.
    std::fputs("NSUUID: no random source available\n", stderr);
    std::abort();
}

}  // namespace

std::shared_ptr<NSUUID> NSUUID::create() {
    std::shared_ptr<NSUUID> uuid(new NSUUID());
    randomBytes(uuid->bytes_.data(), uuid->bytes_.size());
    uuid->bytes_[6] = uint8_t((uuid->bytes_[6] & 0x0f) | 0x40);  // version 4
    uuid->bytes_[8] = uint8_t((uuid->bytes_[8] & 0x3f) | 0x80);  // RFC 4122 variant
    return uuid;
}

std::string NSUUID::UUIDString() const {
    static constexpr char kDigits[] = "0123456789ABCDEF";
    std::string text;
    text.reserve(36);
    for (size_t i = 0; i < bytes_.size(); ++i) {
        if (i == 4 || i == 6 || i == 8 || i == 10) text += '-';
        text += kDigits[bytes_[i] >> 4];
        text += kDigits[bytes_[i] & 0x0f];
    }
    return text;
}

bool NSUUID::isEqual(const Object& other) const {
    auto* uuid = dynamic_cast<const NSUUID*>(&other);
    return uuid && uuid->bytes_ == bytes_;
}
