// SPDX-License-Identifier: MIT
#pragma once

#include "core/constants.h"

#include <QColor>

// The panel's colour values as the window paints them.
namespace Form {

inline QColor colourFromValue(quint32 value)
{
    return QColor::fromRgb(int(value & 0xff), int((value >> 8) & 0xff), int((value >> 16) & 0xff));
}

inline quint32 valueFromColour(const QColor &c)
{
    return quint32(c.red()) | quint32(c.green()) << 8 | quint32(c.blue()) << 16;
}

}
