#pragma once

#include "notify/script_launcher.h"
#include "core/error_codes.h"

#include <QList>
#include <QPair>

// Records each start; can be told to refuse.
class FakeScriptLauncher : public ScriptLauncher
{
public:
    QList<QPair<Channel, Reason>> starts;
    int refuseWith = 0;

    void start(Channel channel, Reason reason) override
    {
        if (refuseWith)
            throw PhoneHomeError(ErrorCode(refuseWith), QStringLiteral("cannot start"));
        starts.append({channel, reason});
    }
};
