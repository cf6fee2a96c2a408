# SPDX-License-Identifier: MIT
"""A GSM modem on a pseudo-terminal that answers the AT commands gammu sends,
in one of a few states, and remembers what it was told: the commands, the
numbers dialled and the text of every message the network took."""

import fcntl
import os
import re
import threading
import tty

# state: what the SIM and the network say. sms: what follows a submitted message.
SCENARIOS = {
    "ok": {"sim": "READY", "creg": 1, "csq": 18, "sms": "+CMGS: 7"},
    "roaming": {"sim": "READY", "creg": 5, "csq": 18, "sms": "+CMGS: 7"},
    "weak": {"sim": "READY", "creg": 1, "csq": 2, "sms": "+CMGS: 7"},
    "unregistered": {"sim": "READY", "creg": 0, "csq": 99, "sms": "+CMS ERROR: 331"},
    "nosim": {"sim": None, "creg": 0, "csq": 99, "sms": "+CMS ERROR: 310"},
    "pin": {"sim": "SIM PIN", "creg": 0, "csq": 12, "sms": "+CMS ERROR: 311"},
    "refused": {"sim": "READY", "creg": 1, "csq": 18, "sms": "+CMS ERROR: 38"},
    "silent": {"sim": "READY", "creg": 1, "csq": 18, "sms": None},
    # Held by another program (ModemManager, another gammu): its lock on the device.
    "busy": {"sim": "READY", "creg": 1, "csq": 18, "sms": "+CMGS: 7", "held": True},
}

GSM7 = ("@£$¥èéùìòÇ\nØø\rÅåΔ_ΦΓΛΩΠΨΣΘΞ\x1bÆæßÉ !\"#¤%&'()*+,-./0123456789:;<=>?"
        "¡ABCDEFGHIJKLMNOPQRSTUVWXYZÄÖÑÜ§¿abcdefghijklmnopqrstuvwxyzäöñüà")
GSM7_EXT = {0x0A: "\f", 0x14: "^", 0x28: "{", 0x29: "}", 0x2F: "\\", 0x3C: "[", 0x3D: "~", 0x3E: "]", 0x40: "|",
            0x65: "€"}


def decode_submit(pdu_hex):
    """(number, text) of an SMS-SUBMIT PDU as sent after AT+CMGS, SMSC octets first."""
    b = bytes.fromhex(pdu_hex)
    i = 1 + b[0]  # the SMS centre
    first = b[i]
    i += 2  # first octet, message reference
    digits = b[i]
    i += 2  # length, type of number
    raw = b[i:i + (digits + 1) // 2].hex()
    number = "".join(raw[k + 1] + raw[k] for k in range(0, len(raw), 2))[:digits]
    i += (digits + 1) // 2
    dcs = b[i + 1]
    i += 2
    vpf = (first >> 3) & 3
    i += {0: 0, 2: 1}.get(vpf, 7)
    length = b[i]
    data = b[i + 1:]
    header = 0
    if first & 0x40:  # a user data header (a long message's part)
        header = data[0] + 1
    if dcs & 0x0C == 0x08:
        return number, data[header:length].decode("utf-16-be")
    bits = int.from_bytes(data, "little")
    septets = [(bits >> (7 * k)) & 0x7F for k in range(length)]
    skip = (header * 8 + 6) // 7
    text, escape = "", False
    for s in septets[skip:]:
        if escape:
            text += GSM7_EXT.get(s, "?")
            escape = False
        elif s == 0x1B:
            escape = True
        else:
            text += GSM7[s]
    return number, text


class FakeModem:
    def __init__(self, scenario):
        self.state = dict(SCENARIOS[scenario])
        self.master, self.slave = os.openpty()
        tty.setraw(self.slave)
        self.device = os.ttyname(self.slave)
        if self.state.get("held"):
            fcntl.flock(self.slave, fcntl.LOCK_EX)
        self.commands = []
        self.messages = []  # (number, text) the network took
        self.dialled = []
        self.hung_up = 0
        self._stop = False
        self._thread = threading.Thread(target=self._run, daemon=True)
        self._thread.start()

    def close(self):
        self._stop = True
        os.close(self.slave)
        self._thread.join(2)
        os.close(self.master)

    def _send(self, text):
        os.write(self.master, text.encode())

    def _run(self):
        buffer = b""
        in_message = False
        while not self._stop:
            try:
                chunk = os.read(self.master, 4096)
            except OSError:
                if self._stop:
                    return
                continue
            buffer += chunk
            while True:
                if in_message:
                    end = buffer.find(b"\x1a")
                    if end < 0:
                        if b"\x1b" in buffer:  # cancelled
                            buffer, in_message = b"", False
                        break
                    body, buffer = buffer[:end].decode(errors="replace").strip(), buffer[end + 1:]
                    self._submitted(body)
                    in_message = False
                    continue
                match = re.search(rb"[\r\n]", buffer)
                if not match:
                    break
                line, buffer = buffer[:match.start()].decode(errors="replace").strip(), buffer[match.end():]
                if not line:
                    continue
                self.commands.append(line)
                self._send(line + "\r")  # echo
                answer = self._answer(line)
                if answer == ">":
                    in_message = True
                    self._send("\r\n> ")
                elif answer is not None:
                    self._send(answer)

    def _submitted(self, body):
        outcome = self.state["sms"]
        if outcome is None:
            return
        if outcome.startswith("+CMGS"):
            self.messages.append(decode_submit(body))
            self._send(f"\r\n{outcome}\r\n\r\nOK\r\n")
        else:
            self._send(f"\r\n{outcome}\r\n")

    def _answer(self, line):
        s = self.state
        cmd = line.upper()
        ok = "\r\nOK\r\n"
        sim = s["sim"]
        if cmd.startswith("AT+CMGS="):
            return ">"
        if cmd.startswith("ATD"):
            self.dialled.append(line[3:].lstrip("T").rstrip(";"))
            return ok
        if cmd in ("AT+CHUP", "ATH"):
            self.hung_up += 1
            return ok
        if cmd in ("AT+CMGF=0", "AT+CMGF=1"):
            return ok
        if cmd == "AT+CSCS?":
            return '\r\n+CSCS: "IRA"\r\n' + ok
        if cmd == "AT+CSCS=?":
            return '\r\n+CSCS: ("IRA","GSM","UCS2")\r\n' + ok
        if cmd == "AT+CGMI":
            return "\r\nSIMCOM_Ltd\r\n" + ok
        if cmd == "AT+CGMM":
            return "\r\nSIMCOM_SIM800L\r\n" + ok
        if cmd == "AT+CGMR":
            return "\r\nRevision:1418B04SIM800L24\r\n" + ok
        if cmd == "AT+CGSN":
            return "\r\n867856030000000\r\n" + ok
        if cmd == "AT+CPIN?":
            return f"\r\n+CPIN: {sim}\r\n" + ok if sim else "\r\n+CME ERROR: 10\r\n"
        if cmd == "AT+CSCA?":
            if sim != "READY":
                return "\r\n+CME ERROR: 10\r\n" if sim is None else "\r\n+CME ERROR: 11\r\n"
            return '\r\n+CSCA: "+491720000000",145\r\n' + ok
        if cmd in ("AT+CREG?", "AT+CGREG?"):
            return f"\r\n{cmd[2:-1]}: 2,{s['creg']},\"1A2B\",\"00C3D4\"\r\n" + ok if s["creg"] in (1, 5) \
                else f"\r\n{cmd[2:-1]}: 2,{s['creg']}\r\n" + ok
        if cmd == "AT+CSQ":
            return f"\r\n+CSQ: {s['csq']},99\r\n" + ok
        if cmd == "AT+CGATT?":
            return f"\r\n+CGATT: {1 if s['creg'] in (1, 5) else 0}\r\n" + ok
        if cmd.startswith("AT+COPS"):
            if cmd == "AT+COPS?" and s["creg"] in (1, 5):
                return '\r\n+COPS: 0,2,"26201"\r\n' + ok
            return "\r\n+COPS: 0\r\n" + ok if cmd == "AT+COPS?" else ok
        if cmd in ("AT", "ATE1", "ATE0", "AT+CMEE=1", "AT+CFUN=1") or cmd.startswith(
                ("AT+CLIP", "AT+CRC", "AT+CCWA", "AT+CSCS=", "AT+CNMI", "AT+CPMS", "AT+CSMP", "AT+CREG=", "AT+CGREG=", "AT+MODE=")):
            return ok
        return "\r\nERROR\r\n"
