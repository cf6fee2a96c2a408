// SPDX-License-Identifier: MIT
#include "serial/port_number.h"

#include <cmath>
#include <cstdlib>

// Any text must give a number without crashing, and the 16-bit rounding must
// either refuse or land inside the range, half to even.
extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t *data, std::size_t size)
{
    const std::string_view text(reinterpret_cast<const char *>(data), size);
    const double value = PortNumber::leadingNumber(text);
    if (std::isnan(value))
        std::abort();
    std::int16_t port = 0;
    if (PortNumber::roundToInt16(value, &port)) {
        if (std::fabs(value - port) > 0.5)
            std::abort();
        if (std::fabs(value - port) == 0.5 && port % 2 != 0)
            std::abort();
    }
    return 0;
}
