// NSUUID: a random (version 4) UUID, compared by value and printed in upper-case "8-4-4-4-12" form.
// Each `create` draws fresh bytes from the kernel's random source.
#pragma once

#include <array>
#include <cstdint>
#include <memory>
#include <string>

#include "platform/foundation/Value.h"

class NSUUID final : public Object {
  public:
    static std::shared_ptr<NSUUID> create();

    // "E621E1F8-C36C-495A-93FC-0C247A3E6E5F"
    std::string UUIDString() const;
    std::string description() const override { return UUIDString(); }
    bool isEqual(const Object& other) const override;

  private:
    NSUUID() = default;
    std::array<uint8_t, 16> bytes_{};
};

using NSUUIDPtr = std::shared_ptr<NSUUID>;
