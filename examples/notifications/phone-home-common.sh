# shellcheck shell=sh
# SPDX-License-Identifier: MIT
# Shared part of Fire.sh, Flood.sh and Intruder.sh; they source it, it is not run on its own.
# RS232 In Out Port Test and Phone Home sets in the environment:
#   PHONE_HOME_CHANNEL  fire | flood | intrusion | device (Fault.sh) | heartbeat (Heartbeat.sh)
#   PHONE_HOME_REASON   alarm | test | clear | lost | restored | heartbeat
#   PHONE_HOME_PORT     the port as given: 3, or a device path
#   PHONE_HOME_DEVICE   the device opened: /dev/com3
#   PHONE_HOME_LINE     CTS | DSR | DCD (empty for the device)
#   PHONE_HOME_TIME     when it happened, ISO 8601 with its UTC offset (a retry
#                       keeps the event's time, in the same words)
#   PHONE_HOME_ATTEMPT  1, then 2, 3, ... when a failed script is tried again
#   PHONE_HOME_STATE_DIR  the program's state folder (--state-dir), where
#                       scripts may keep markers; empty when it has none
# The heartbeat adds PHONE_HOME_UPTIME, PHONE_HOME_LINES, PHONE_HOME_IN_ALARM,
# PHONE_HOME_ALARMS and PHONE_HOME_FAILED. A script must exit non-zero when a
# message did not go out: the program then tries it again later.

# Apprise (Debian package apprise) reaches about a hundred services, each from
# one URL: Telegram, Pushover, Matrix, ntfy, Signal, SMS gateways, mail. Blank-
# separated URLs here send every script's message there too, for example
#   APPRISE_URLS="tgram://BOT_TOKEN/CHAT_ID pover://USER_KEY@APP_TOKEN?priority=emergency"
# (Pushover's emergency priority repeats on the phone until someone acknowledges).
APPRISE_URLS=${APPRISE_URLS:-}

# How mail leaves; set here for every script, or in one script above the line
# that sources this file:
#   MAIL_VIA=smtp      curl hands it to the mail server at SMTP_URL (postfix,
#                      exim4 and the like listen on localhost)
#   MAIL_VIA=msmtp     msmtp, set up in /etc/msmtprc
#   MAIL_VIA=sendmail  sendmail -t: not from rs232-phone-homed with postfix or
#                      exim4, whose sendmail needs privileges the service lacks
#   empty              msmtp if sendmail is msmtp's (msmtp-mta), else smtp
MAIL_VIA=${MAIL_VIA:-}
SMTP_URL=${SMTP_URL:-smtp://localhost}
# The sender; empty: rs232-phone-home@ this host's name (msmtp: its "from").
MAIL_FROM=${MAIL_FROM:-}
# Seconds a mailer may take before the message counts as not sent.
MAIL_TIMEOUT=${MAIL_TIMEOUT:-60}

# The second path, for when the internet is down: a GSM modem driven by gammu
# (Debian package gammu). Numbers are blank-separated, in international form.
# SMS_TO gets the alarm by SMS, CALL_TO is rung for CALL_SECONDS; each once per
# event, from attempt GSM_FROM_ATTEMPT on (2: only after the internet path
# failed once; 1: always both). Without TO, PUSH_URL and APPRISE_URLS the
# modem is the only path and is used from the first attempt.
SMS_TO=${SMS_TO:-}
CALL_TO=${CALL_TO:-}
CALL_SECONDS=${CALL_SECONDS:-25}
# Preferably the modem's /dev/serial/by-id/... name, which survives replugging.
GSM_DEVICE=${GSM_DEVICE:-}
GSM_FROM_ATTEMPT=${GSM_FROM_ATTEMPT:-2}
# Seconds each gammu run may take: a silent modem keeps gammu waiting forever.
GSM_TIMEOUT=${GSM_TIMEOUT:-90}
# The SMS centre, for a SIM that has none stored (+44..., from the provider).
GSM_SMSC=${GSM_SMSC:-}
# Heartbeat.sh: 1 also sends the heartbeat by SMS (each one costs an SMS).
SMS_HEARTBEAT=${SMS_HEARTBEAT:-}
# Scripts of several channels take turns at the modem through this file; not
# the device itself, which gammu locks on its own.
GSM_LOCK=${GSM_LOCK:-/run/lock/rs232-phone-home-gsm.lock}

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

# Runs a mailer for at most MAIL_TIMEOUT seconds: a mailer that waits forever
# would hold the alarm back without a word.
bounded() {
    if command -v timeout >/dev/null 2>&1; then
        timeout -k 5 "$MAIL_TIMEOUT" "$@"
    else
        "$@"
    fi
}

# The way mail leaves when MAIL_VIA is empty: msmtp where sendmail is msmtp's
# (msmtp-mta), else SMTP to the local mail server (postfix, exim4), whose own
# sendmail needs a set-group-id helper that rs232-phone-homed's sandbox refuses.
mail_way() {
    if [ -n "$MAIL_VIA" ]; then
        printf '%s\n' "$MAIL_VIA"
    elif sendmail=$(find_sendmail) && [ "$(basename "$(readlink -f "$sendmail")")" = msmtp ]; then
        echo msmtp
    elif command -v curl >/dev/null 2>&1; then
        echo smtp
    else
        echo sendmail
    fi
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

# notify_apprise SUBJECT BODY: non-zero unless every URL took the message.
notify_apprise() {
    if ! command -v apprise >/dev/null 2>&1; then
        complain "apprise is not installed (package apprise); not sent to APPRISE_URLS: $1"
        return 1
    fi
    # Word splitting is wanted: one argument per URL.
    # shellcheck disable=SC2086
    bounded apprise --title "$1" --body "$2" $APPRISE_URLS >/dev/null || {
        complain "apprise could not deliver to every URL in APPRISE_URLS; not sent: $1"
        return 1
    }
}

# smtp_send TO MESSAGE: hands the message to the server at SMTP_URL; TO may
# list several addresses, separated by commas or spaces.
smtp_send() {
    to=$1
    message=$2
    if ! command -v curl >/dev/null 2>&1; then
        complain "curl is not installed, so no mail can go to $SMTP_URL"
        return 1
    fi
    set -- --mail-from "$mail_from"
    for rcpt in $(printf '%s' "$to" | tr ',' ' '); do
        set -- "$@" --mail-rcpt "$rcpt"
    done
    printf '%s\n' "$message" |
        curl -sS --max-time "$MAIL_TIMEOUT" --crlf --url "$SMTP_URL" "$@" --upload-file - >/dev/null
}

# mail_to TO SUBJECT BODY: non-zero unless the mail system took the message.
mail_to() {
    way=$(mail_way)
    mail_from=${MAIL_FROM:-rs232-phone-home@$(uname -n)}
    header="To: $1
Subject: $2
Date: $(date -R)"
    case $way in
        smtp)
            smtp_send "$1" "From: $mail_from
$header

$3" ;;
        msmtp)
            # msmtp sets the sender from /etc/msmtprc unless MAIL_FROM says otherwise.
            [ -z "${MAIL_FROM:-}" ] || header="From: $MAIL_FROM
$header"
            printf '%s\n\n%s\n' "$header" "$3" | bounded msmtp -t ;;
        sendmail)
            if ! sendmail=$(find_sendmail); then
                complain "no sendmail found; not sent: $2"
                return 1
            fi
            printf '%s\n\n%s\n' "$header" "$3" | bounded "$sendmail" -t ;;
        *)
            complain "MAIL_VIA=$way is not smtp, msmtp or sendmail; not sent: $2"
            return 1 ;;
    esac || {
        complain "the mail to $1 did not go out by $way; not sent: $2"
        return 1
    }
}

# gsm_run ARGUMENT...: one gammu run on GSM_DEVICE, its output (errors
# included: gammu writes them to stdout) in gsm_said. timeout also ends a
# wait for the lock, so a script never outlives GSM_TIMEOUT by much. The lock
# is opened without O_CREAT (unlike flock FILE), which the kernel refuses on
# another user's file in /run/lock (fs.protected_regular).
gsm_run() {
    gsm_said=$(printf '[gammu]\ndevice = %s\nconnection = at\n' "$GSM_DEVICE" |
        timeout -k 5 "$GSM_TIMEOUT" sh -c 'flock 9 && exec gammu -c /dev/stdin "$@"' gammu "$@" 9<"$GSM_LOCK" 2>&1)
}

# gsm_usable: the modem path can be tried at all; says why not otherwise.
gsm_usable() {
    if [ -z "$GSM_DEVICE" ]; then
        complain "SMS_TO or CALL_TO is set, GSM_DEVICE is not: no modem to send through"
    elif ! command -v gammu >/dev/null 2>&1; then
        complain "gammu is not installed (package gammu): nothing reaches SMS_TO or CALL_TO"
    elif [ ! -e "$GSM_DEVICE" ]; then
        complain "the modem is absent: there is no $GSM_DEVICE (unplugged, or another name?)"
    elif ! { [ -e "$GSM_LOCK" ] || (umask 022 && : >>"$GSM_LOCK"); } 2>/dev/null || [ ! -r "$GSM_LOCK" ]; then
        complain "the lock file $GSM_LOCK cannot be made or read, so the modem is not used"
    else
        return 0
    fi
    return 1
}

# gsm_cause STATUS: in words, why the gammu run that left gsm_said and STATUS
# failed. gammu's own lines are too vague ("Failed to get SMSC number from
# phone." stands for no SIM, a PIN wanted and no SMS centre), so the SIM is asked.
gsm_cause() {
    case $1 in
        124 | 137)
            echo "the modem is silent: no answer from $GSM_DEVICE within $GSM_TIMEOUT s"
            return ;;
        104)
            echo "the modem is absent: $GSM_DEVICE cannot be opened"
            return ;;
        102)
            echo "the modem is busy: another program holds $GSM_DEVICE (ModemManager, or a gammu of another user)"
            return ;;
    esac
    cms=$(printf '%s\n' "$gsm_said" | sed -n 's/.*error \([0-9][0-9]*\), message reference.*/\1/p' | head -n 1)
    case $cms in
        331) echo "the modem is not registered with a network (+CMS ERROR 331)"; return ;;
        330) echo "the SMS centre is unknown: set GSM_SMSC (+CMS ERROR 330)"; return ;;
        ?*) echo "the network refused it (+CMS ERROR $cms)"; return ;;
    esac
    first_said=$gsm_said
    gsm_run getsecuritystatus
    case $?:$gsm_said in
        149:* | *"Can not access SIM"*) echo "no SIM card in the modem" ;;
        *"Waiting for PIN."*) echo "the SIM needs its PIN: remove the PIN lock with a phone" ;;
        *PUK*) echo "the SIM is locked and needs its PUK" ;;
        0:*"Nothing to enter."*)
            if [ "$1" = 169 ]; then
                echo "the SIM has no SMS centre stored: set GSM_SMSC"
            else
                echo "gammu failed ($1): $(printf '%s\n' "$first_said" | sed '/^$/d' | tail -n 1)"
            fi ;;
        *) echo "gammu failed ($1): $(printf '%s\n' "$first_said" | sed '/^$/d' | tail -n 1)" ;;
    esac
}

# sms_text TEXT: TEXT made to fit one SMS. Characters beyond GSM's alphabet
# turn the whole message into UCS-2, which holds only 70; GSM's escaped
# characters are replaced, since each counts twice and some modems drop them.
sms_text() {
    text=$(printf '%s' "$1" | tr '\n' ' ' | LC_ALL=C.UTF-8 sed -e 's/[[{]/(/g' -e 's/[]}]/)/g' -e 's/[~^`]/-/g' \
        -e 's/[\\|]/\//g' -e 's/€/EUR/g')
    limit=160
    if printf '%s' "$text" | LC_ALL=C.UTF-8 grep -q '[^ -~£¥èéùìòÇØøÅåΔΦΓΛΩΠΨΣΘΞÆæßÉ¡ÄÖÑÜ§¿äöñüà¤]'; then
        limit=70
    fi
    if [ "$(printf '%s' "$text" | LC_ALL=C.UTF-8 wc -m)" -gt "$limit" ]; then
        text=$(printf '%s' "$text" | LC_ALL=C.UTF-8 sed -E "s/^(.{$((limit - 3))}).*/\1.../")
    fi
    printf '%s\n' "$text"
}

# gsm_marker KIND NUMBER: the file that says this event's KIND (SMS, call)
# reached NUMBER, so that a retry of the event does not repeat it.
gsm_marker() {
    event=$(printf '%s' "${PHONE_HOME_CHANNEL:-}-${PHONE_HOME_REASON:-}-${PHONE_HOME_TIME:-}-$1-$2" |
        tr -c 'A-Za-z0-9+._-' '_')
    printf '%s/%s\n' "$gsm_markers" "$event"
}

# gsm_once WHAT NUMBER ARGUMENT...: the gammu run that sends this event's WHAT
# (SMS, call) to NUMBER, unless it went out at an earlier attempt or the modem
# failed for an earlier number (dead); non-zero unless it went out.
gsm_once() {
    what=$1
    number=$2
    shift 2
    marker=
    [ -z "$gsm_markers" ] || marker=$(gsm_marker "$what" "$number")
    [ -z "$marker" ] || [ ! -e "$marker" ] || return 0
    if [ -n "$dead" ]; then
        complain "no $what to $number: $dead"
        return 1
    fi
    if gsm_run "$@"; then
        # In a subshell: a failed redirection of ":" would end this shell,
        # and the numbers after this one with it.
        [ -z "$marker" ] || (: >"$marker") 2>/dev/null ||
            complain "the $what to $number went out, but its marker cannot be written: a retry may send it again"
        return 0
    else
        run_status=$?
    fi
    cause=$(gsm_cause "$run_status")
    complain "the $what to $number did not go out: $cause"
    # Only a refusal may be the number's own; the rest would repeat for every number.
    case $cause in "the network refused"*) ;; *) dead=$cause ;; esac
    return 1
}

# gsm_path TEXT CALL: TEXT by SMS to each SMS_TO number, and with CALL=1 a ring
# to each CALL_TO number, each once per event; non-zero unless all went out.
gsm_path() {
    gsm_usable || return 1
    gsm_markers=${PHONE_HOME_STATE_DIR:-${TMPDIR:-/tmp}/rs232-phone-home-$(id -u)}/gsm-sent
    # A marker only saves a duplicate: a full or read-only disk must never
    # stop the message itself.
    if ! mkdir -p "$gsm_markers" 2>/dev/null; then
        complain "the markers' folder $gsm_markers cannot be made: a retry may send this event's SMS again"
        gsm_markers=
    fi
    # An event is retried for a day at most (--retry-for): older markers serve nobody.
    find "$gsm_markers" -type f -mtime +7 -delete 2>/dev/null || :
    sms=$(sms_text "$1")
    ring=$2
    gsm_status=0
    dead=
    for number in $SMS_TO; do
        set -- sendsms TEXT "$number" -textutf8 "$sms"
        [ -z "$GSM_SMSC" ] || set -- "$@" -smscnumber "$GSM_SMSC"
        gsm_once SMS "$number" "$@" || gsm_status=1
    done
    [ "$ring" = 1 ] || return $gsm_status
    for number in $CALL_TO; do
        # maketerminatedcall hangs up by itself; dialvoice would ring on.
        gsm_once call "$number" maketerminatedcall "$number" "$CALL_SECONDS" || gsm_status=1
    done
    return $gsm_status
}

# gsm_check: the modem path works, proven in one gammu run: SIM ready,
# registered at home or roaming, a signal of at least -105 dBm. Says why not.
gsm_check() {
    gsm_usable || return 1
    gsm_run monitor 1
    run_status=$?
    case $run_status in
        124 | 137 | 104 | 102)
            complain "the modem path is broken: $(gsm_cause "$run_status")"
            return 1 ;;
    esac
    if ! printf '%s\n' "$gsm_said" | grep -Eq '^Network state +: (home|roaming) network'; then
        if printf '%s\n' "$gsm_said" | grep -Eq '^Network state'; then
            cause=$(gsm_cause 0)
            case $cause in "gammu failed"*) cause="the modem is not registered with a network" ;; esac
        else
            cause=$(gsm_cause "$run_status")
        fi
        complain "the modem path is broken: $cause"
        return 1
    fi
    dbm=$(printf '%s\n' "$gsm_said" | sed -n 's/^Signal strength *: *\(-\{0,1\}[0-9][0-9]*\) dBm.*/\1/p' | head -n 1)
    if [ -z "$dbm" ]; then
        complain "the modem path is broken: the modem reports no signal"
        return 1
    fi
    if [ "$dbm" -lt -105 ]; then
        complain "the modem path is weak: a signal of $dbm dBm, under -105 dBm (move the modem or its aerial)"
        return 1
    fi
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
        heartbeat) what="alive for ${PHONE_HOME_UPTIME:-?} s, lines ${PHONE_HOME_LINES:-?}, in alarm: ${PHONE_HOME_IN_ALARM:-none}, since the last heartbeat ${PHONE_HOME_ALARMS:-0} alarms and ${PHONE_HOME_FAILED:-0} failed notifications" ;;
        *) what="${PHONE_HOME_LINE:-line} high" ;;
    esac
    body="$subject: $what on $where at ${PHONE_HOME_TIME:-$(date)}, host $host
Channel: ${PHONE_HOME_CHANNEL:-unknown}
Reason:  ${PHONE_HOME_REASON:-alarm}
Attempt: ${PHONE_HOME_ATTEMPT:-1}"

    # A pop-up is a bonus: there may be no desktop session at all.
    if command -v notify-send >/dev/null 2>&1; then
        notify-send -u critical -a rs232-phone-home "$subject" "on $host" >/dev/null 2>&1 || :
    fi

    internet=$to$push_url$APPRISE_URLS
    gsm=$SMS_TO$CALL_TO
    if [ -z "$internet" ] && [ -z "$gsm" ]; then
        complain "none of TO, PUSH_URL, APPRISE_URLS, SMS_TO and CALL_TO is set; not sent: $subject"
        return 1
    fi
    status=0
    # The modem path: a test is never retried and a heartbeat by SMS goes
    # out at once, so both take it from the first attempt; only alarms ring.
    from=$GSM_FROM_ATTEMPT
    [ -n "$internet" ] || from=1
    call=0
    case "${PHONE_HOME_REASON:-alarm}" in
        test) from=1 call=1 ;;
        alarm) call=1 ;;
        heartbeat)
            from=1
            [ "$SMS_HEARTBEAT" = 1 ] || gsm= ;;
    esac
    if [ -n "$gsm" ] && [ "${PHONE_HOME_ATTEMPT:-1}" -ge "$from" ]; then
        gsm_path "$subject: $what, port ${PHONE_HOME_PORT:-?}, host $host, ${PHONE_HOME_TIME:-$(date -Iseconds)}" \
            "$call" || status=1
    fi
    [ -n "$internet" ] || return $status
    if [ -n "$APPRISE_URLS" ]; then
        notify_apprise "$subject" "$body" || status=1
    fi
    if [ -n "$to" ]; then
        mail_to "$to" "$subject" "$body" || status=1
    fi
    if [ -n "$push_url" ]; then
        push "$push_url" "$subject" "$body" || status=1
    fi
    return $status
}
