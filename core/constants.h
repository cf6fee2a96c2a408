// SPDX-License-Identifier: MIT
#pragma once

#include <QLatin1StringView>
#include <QtGlobal>

#include <chrono>

// The fixed texts, colours and timing of the panel, whichever face shows it.
namespace Form {

constexpr std::chrono::milliseconds kPollInterval{100};
constexpr int kChannels = 3; // fire, flood, intrusion, always in this order

// Colour values keep red in the low byte, green in the next, blue in the third.
constexpr quint32 kBlack = 0;
constexpr quint32 kRed = 255;
constexpr quint32 kGreen = 65280;

inline constexpr QLatin1StringView kAlarm("ALARM");
inline constexpr QLatin1StringView kNormal("NORMAL");
inline constexpr QLatin1StringView kEnabled("Enabled");
inline constexpr QLatin1StringView kDisabled("Disabled");
inline constexpr QLatin1StringView kSendingNotification("Sending Notification");
inline constexpr QLatin1StringView kSelectPort("Select Port");

}
