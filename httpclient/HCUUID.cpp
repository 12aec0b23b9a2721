#include "httpclient/HCUUID.h"

#include <random>

std::shared_ptr<HCUUID> HCUUID::create() {
    thread_local std::mt19937_64 generator{[] {
        std::random_device device;
        std::seed_seq seed{device(), device(), device(), device()};
        return std::mt19937_64(seed);
    }()};
    std::shared_ptr<HCUUID> uuid(new HCUUID());
    for (size_t i = 0; i < uuid->bytes_.size(); i += 8) {
        uint64_t word = generator();
        for (size_t j = 0; j < 8; ++j) uuid->bytes_[i + j] = uint8_t(word >> (8 * j));
    }
    uuid->bytes_[6] = uint8_t((uuid->bytes_[6] & 0x0f) | 0x40);  // version 4
    uuid->bytes_[8] = uint8_t((uuid->bytes_[8] & 0x3f) | 0x80);  // RFC 4122 variant
    return uuid;
}

std::string HCUUID::UUIDString() const {
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

bool HCUUID::isEqual(const Object& other) const {
    auto* uuid = dynamic_cast<const HCUUID*>(&other);
    return uuid && uuid->bytes_ == bytes_;
}
