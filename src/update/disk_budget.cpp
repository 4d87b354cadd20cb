#include "update/disk_budget.h"

#include <algorithm>
#include <system_error>

namespace gd {

bool DiskBudget::charge(std::uint64_t bytes) {
    if (bytes > available()) return false;
    charged_ += bytes;
    return true;
}

void DiskBudget::followFreeSpace(const std::filesystem::path& folder) {
    const std::uint64_t room = roomBeyondReserve(folder);
    capacity_ = charged_ + std::min(room, kRunDiskBudget - std::min(charged_, kRunDiskBudget));
}

void DiskBudget::release(std::uint64_t bytes) {
    charged_ -= std::min(bytes, charged_);
}

bool ChargedPath::charge(std::uint64_t bytes) {
    if (!budget_.charge(bytes)) return false;
    charged_ += bytes;
    return true;
}

void ChargedPath::remove() {
    std::error_code error;
    std::filesystem::remove_all(path_, error);
    if (error) return;
    budget_.release(charged_);
    charged_ = 0;
}

}  // namespace gd
