// SPDX-License-Identifier: MIT
#pragma once

#include "notify/script_launcher.h"
#include "common/error_codes.h"

#include <QList>
#include <QPair>

// Records each start and announces it like the real one, with made-up pids;
// can be told to refuse. A test ends a "script" with finish().
class FakeScriptLauncher : public ScriptLauncher
{
public:
    QList<QPair<Channel, Reason>> starts;
    QList<Details> details; // of each start
    int refuseWith = 0;

    qint64 start(Channel channel, Reason reason, const Details &d = {}) override
    {
        if (refuseWith)
            throw PhoneHomeError(ErrorCode(refuseWith), QStringLiteral("cannot start"));
        starts.append({channel, reason});
        details.append(d);
        const qint64 pid = kFirstPid + starts.size() - 1;
        Q_EMIT started(channel, reason, QStringLiteral("fake/%1").arg(channelName(channel)), pid, d.attempt);
        return pid;
    }

    // Ends the n-th start as the real launcher would report it.
    void finish(int n, int exitStatus, int signal = 0)
    {
        const Channel channel = starts.at(n).first;
        Q_EMIT finished(channel, kFirstPid + n, exitStatus, signal);
        if (exitStatus != 0 || signal != 0)
            Q_EMIT errorOccurred(int(ErrorCode::ScriptFailed),
                                 QStringLiteral("fake/%1 failed").arg(channelName(channel)));
    }

    static constexpr qint64 kFirstPid = 1000;
};
