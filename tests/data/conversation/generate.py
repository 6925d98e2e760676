#!/usr/bin/env python3
"""Writes the short two-sided conversation that the demo and the end-to-end tests play.

Not speech, only shaped like it: each turn is a run of voiced "syllables" (harmonics with a gliding
pitch and a smooth envelope) with short gaps, so a voice detector hears one turn per file. The
sides differ in pitch, loudness and length, so no stand-in transcript of one side looks like an echo
of the other's. Seeded: `python3 generate.py` rewrites the same WAV files beside it.
"""

import math
import random
import struct
import sys
import wave
from pathlib import Path

RATE = 24000
# name, seconds of speech, fundamental in Hz, RMS level of the voiced parts in dBFS
TURNS = [("1-them", 2.4, 118.0, -17.0), ("2-me", 1.9, 205.0, -26.0),
         ("3-them", 2.2, 131.0, -19.0), ("4-me", 2.6, 190.0, -24.0)]
HARMONICS = [(n, 1.0 / n) for n in range(1, 7)]  # a falling 1/n spectrum
NORM = math.sqrt(sum(weight * weight for _, weight in HARMONICS) / 2)


def turn(rng, seconds, f0, dbfs):
    samples = []
    while len(samples) < seconds * RATE:
        # A syllable: a gliding pitch under a smooth envelope.
        pitch, count = f0 * rng.uniform(0.9, 1.1), int(rng.uniform(0.12, 0.28) * RATE)
        glide, phase = rng.uniform(-0.15, 0.15), 0.0
        for i in range(count):
            phase += 2 * math.pi * (pitch * (1.0 + glide * i / count)) / RATE
            tone = sum(weight * math.sin(n * phase) for n, weight in HARMONICS) / NORM
            samples.append(10 ** (dbfs / 20) * math.sin(math.pi * i / count) ** 0.6 * tone)
        # Gaps between syllables and words stay far below the pause that ends a turn.
        gap = rng.uniform(0.03, 0.09) if rng.random() < 0.75 else rng.uniform(0.15, 0.3)
        samples += [0.0] * int(gap * RATE)
    return samples[: int(seconds * RATE)]


def main(directory):
    rng = random.Random(20261207)
    for name, seconds, f0, dbfs in TURNS:
        with wave.open(str(directory / f"{name}.wav"), "wb") as out:
            out.setnchannels(1)
            out.setsampwidth(2)
            out.setframerate(RATE)
            out.writeframes(b"".join(struct.pack("<h", max(-32768, min(32767, round(s * 32767))))
                                     for s in turn(rng, seconds, f0, dbfs)))


if __name__ == "__main__":
    main(Path(sys.argv[1]) if len(sys.argv) > 1 else Path(__file__).resolve().parent)
