// SPDX-License-Identifier: MIT
#pragma once

#include "core/constants.h"

#include <array>

// What a screen reader calls each channel's controls, in channel order.
struct ChannelWords {
    const char *line;   // the disc
    const char *sensor; // the status label
    const char *notification;
    const char *heading; // the caption above the status label
};

inline constexpr std::array<ChannelWords, Form::kChannels> kChannelWords{{
    {"CTS, pin 8", "Smoke or fire", "Smoke or fire notification", "Smoke or fire sensor"},
    {"DSR, pin 6", "Flooding", "Flooding notification", "Flooding sensor"},
    {"DCD, pin 1", "Intrusion", "Intrusion notification", "Intrusion sensor"},
}};
