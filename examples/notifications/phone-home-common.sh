# shellcheck shell=sh
# SPDX-License-Identifier: MIT
# Shared part of Fire.sh, Flood.sh and Intruder.sh; they source it, it is not run on its own.
# RS232 In Out Port Test and Phone Home sets in the environment:
#   PHONE_HOME_CHANNEL  fire | flood | intrusion | device (Fault.sh)
#   PHONE_HOME_REASON   alarm | test | clear | lost | restored
#   PHONE_HOME_PORT     the port as given: 3, or a device path
#   PHONE_HOME_DEVICE   the device opened: /dev/com3
#   PHONE_HOME_LINE     CTS | DSR | DCD (empty for the device)
#   PHONE_HOME_TIME     when it happened, ISO 8601

complain() {
    # The program shows the last lines of stderr when a script fails; the log keeps them for later.
    printf 'rs232-phone-home: %s\n' "$1" >&2
    if command -v logger >/dev/null 2>&1; then
        logger -t rs232-phone-home -p user.err -- "$1" 2>/dev/null || :
    fi
}

# sendmail usually lives in /usr/sbin, which is not on an ordinary user's PATH.
find_sendmail() {
    command -v sendmail 2>/dev/null && return 0
    for candidate in /usr/sbin/sendmail /usr/lib/sendmail; do
        if [ -x "$candidate" ]; then
            printf '%s\n' "$candidate"
            return 0
        fi
    done
    return 1
}

# push URL SUBJECT BODY: POST the alarm to a push service or an SMS provider's HTTP API.
push() {
    if ! command -v curl >/dev/null 2>&1; then
        complain "curl is not installed; no push sent: $2"
        return 1
    fi
    curl -fsS --max-time 30 -H "Title: $2" -H "Priority: urgent" --data-binary "$3" "$1" >/dev/null || {
        complain "the push to $1 failed; not sent: $2"
        return 1
    }
}

# mail_to TO SUBJECT BODY
mail_to() {
    if sendmail=$(find_sendmail); then
        printf 'To: %s\nSubject: %s\n\n%s\n' "$1" "$2" "$3" | "$sendmail" -t
    elif command -v mail >/dev/null 2>&1; then
        printf '%s\n' "$3" | mail -s "$2" "$1"
    else
        complain "no sendmail or mail command found; not sent: $2"
        return 1
    fi || {
        complain "the mailer failed; not sent: $2"
        return 1
    }
}

# phone_home TO SUBJECT [PUSH_URL]: mail SUBJECT to TO (unless empty), push it to PUSH_URL (if set) and
# pop up a desktop notice; non-zero if a message that was asked for did not go out.
phone_home() {
    to=$1
    subject=$2
    push_url=${3:-}
    case "${PHONE_HOME_REASON:-alarm}" in
        test) subject="TEST: $subject" ;;
        clear) subject="CLEARED: $subject" ;;
    esac
    host=$(uname -n)
    where="port ${PHONE_HOME_PORT:-?} (${PHONE_HOME_DEVICE:-?})"
    case "${PHONE_HOME_REASON:-alarm}" in
        clear) what="${PHONE_HOME_LINE:-line} low again" ;;
        lost) what="device lost" ;;
        restored) what="device back" ;;
        *) what="${PHONE_HOME_LINE:-line} high" ;;
    esac
    body="$subject: $what on $where at ${PHONE_HOME_TIME:-$(date)}, host $host
Channel: ${PHONE_HOME_CHANNEL:-unknown}
Reason:  ${PHONE_HOME_REASON:-alarm}"

    # A pop-up is a bonus: there may be no desktop session at all.
    if command -v notify-send >/dev/null 2>&1; then
        notify-send -u critical -a rs232-phone-home "$subject" "on $host" >/dev/null 2>&1 || :
    fi

    if [ -z "$to" ] && [ -z "$push_url" ]; then
        complain "neither TO nor PUSH_URL is set in the script; not sent: $subject"
        return 1
    fi
    status=0
    if [ -n "$to" ]; then
        mail_to "$to" "$subject" "$body" || status=1
    fi
    if [ -n "$push_url" ]; then
        push "$push_url" "$subject" "$body" || status=1
    fi
    return $status
}
