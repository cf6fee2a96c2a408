#pragma once

#include <QColor>
#include <QLatin1StringView>

#include <chrono>

// The fixed texts, colours and timing the window and its handlers share.
namespace Form {

constexpr std::chrono::milliseconds kPollInterval{100};

// Colour values keep red in the low byte, green in the next, blue in the third.
constexpr quint32 kRed = 255;
constexpr quint32 kGreen = 65280;

inline QColor colourFromValue(quint32 value)
{
    return QColor::fromRgb(int(value & 0xff), int((value >> 8) & 0xff), int((value >> 16) & 0xff));
}

inline quint32 valueFromColour(const QColor &c)
{
    return quint32(c.red()) | quint32(c.green()) << 8 | quint32(c.blue()) << 16;
}

inline constexpr QLatin1StringView kAlarm("ALARM");
inline constexpr QLatin1StringView kNormal("NORMAL");
inline constexpr QLatin1StringView kEnabled("Enabled");
inline constexpr QLatin1StringView kDisabled("Disabled");
inline constexpr QLatin1StringView kSendingNotification("Sending Notification");

}
