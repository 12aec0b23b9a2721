// HCUUID: a random (version 4) UUID object, compared by value, printed in the usual upper-case
// "8-4-4-4-12" form. Receipts of the image downloader are told apart by the identity of this object.
#pragma once

#include <array>
#include <cstdint>
#include <memory>
#include <string>

#include "platform/foundation/Value.h"

class HCUUID final : public Object {
  public:
    static std::shared_ptr<HCUUID> create();

    // "E621E1F8-C36C-495A-93FC-0C247A3E6E5F"
    std::string UUIDString() const;
    std::string description() const override { return UUIDString(); }
    bool isEqual(const Object& other) const override;

  private:
    HCUUID() = default;
    std::array<uint8_t, 16> bytes_{};
};

using HCUUIDPtr = std::shared_ptr<HCUUID>;
