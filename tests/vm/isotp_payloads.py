#!/usr/bin/env python3
"""Compares ISO-TP payloads sent and received, one a line of hex bytes each.

    isotp_payloads.py SENT GOT [FRAME_DATA]

SENT is od's output (lower case), GOT isotprecv's (upper case, a space after
each byte). Prints one line per payload that differs: how long it is, where
it first differs and, when the rest of it is the sent payload shifted, by
how many bytes and consecutive frames (FRAME_DATA bytes each, default 7: a
classic frame; the first frame carries one less), which tells frames
repeated from frames lost. Prints how many are intact last; the exit status
is 1 when any differs.
"""
import sys


def payloads(path):
    with open(path) as f:
        return [bytes.fromhex(line) for line in f]


def frame_of(offset, first, per_frame):
    """The consecutive frame (1, 2, ...) that carries byte OFFSET; 0: the first frame."""
    return 0 if offset < first else 1 + (offset - first) // per_frame


def explain(sent, got, per_frame):
    first = per_frame - 1
    n = min(len(sent), len(got))
    d = next((i for i in range(n) if sent[i] != got[i]), n)
    text = f"{len(got)} of {len(sent)} bytes; the first difference at byte {d} (consecutive frame {frame_of(d, first, per_frame)})"
    probe = got[d:d + 64]
    if len(probe) < 8:
        return text
    shifts = [e - d for e in range(len(sent) - len(probe) + 1) if e != d and sent[e:e + len(probe)] == probe]
    if shifts:
        s = min(shifts, key=abs)
        what = "repeated" if s < 0 else "missing"
        text += f"; from there on the bytes sent {abs(s)} bytes {'earlier' if s < 0 else 'later'}: {abs(s)} bytes ({abs(s) / per_frame:g} frames) {what}"
    return text


def main():
    sent, got = payloads(sys.argv[1]), payloads(sys.argv[2])
    per_frame = int(sys.argv[3]) if len(sys.argv) > 3 else 7
    intact = 0
    for i, s in enumerate(sent):
        if i >= len(got):
            print(f"payload {i + 1}: not received")
        elif got[i] == s:
            intact += 1
        else:
            print(f"payload {i + 1}: {explain(s, got[i], per_frame)}")
    for i in range(len(sent), len(got)):
        print(f"payload {i + 1}: {len(got[i])} bytes received, none sent")
    print(f"{intact} of {len(sent)} intact, {len(got)} received")
    return 0 if intact == len(sent) == len(got) else 1


if __name__ == "__main__":
    sys.exit(main())
