#pragma once
// How long a download may go without a new byte, summed over its attempts:
// twice the receive time limit. No single wait for bytes lasts longer than
// the receive limit or than what is left; bytes coming in give the whole
// budget back, so a slow but moving transfer is never cut.

#include <windows.h>

#include <algorithm>

class StallBudget {
public:
    explicit StallBudget(DWORD receiveMs = 0) : receiveMs_(receiveMs), leftMs_(2ull * receiveMs) {}

    // The longest the next wait for bytes may last.
    DWORD NextWait() const { return static_cast<DWORD>(std::min(receiveMs_, leftMs_)); }
    // A wait that ended without a byte.
    void Spend(ULONGLONG ms) { leftMs_ = ms >= leftMs_ ? 0 : leftMs_ - ms; }
    void Refill() { leftMs_ = 2ull * receiveMs_; }
    bool Exhausted() const { return leftMs_ == 0; }

private:
    ULONGLONG receiveMs_;
    ULONGLONG leftMs_;
};
