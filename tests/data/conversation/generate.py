#!/usr/bin/env python3
"""Writes the short two-sided conversation that the demo and the end-to-end tests play.

It is not speech, only shaped like it: each turn is a run of voiced "syllables" (a glottal-like
harmonic tone with a gliding pitch and a smooth envelope) separated by short gaps, so a voice
detector hears one turn per file. The sides differ in pitch, loudness and length, so nothing in one
side's stand-in transcript looks like an echo of the other's. Seeded: the files are reproducible.

    python3 tests/data/conversation/generate.py      # rewrites the WAV files beside this script
"""

import math
import random
import struct
import wave
from pathlib import Path

RATE = 24000
HERE = Path(__file__).resolve().parent

# name, seconds of speech, fundamental in Hz, RMS level of the voiced parts in dBFS
TURNS = [
    ("1-them", 2.4, 118.0, -17.0),
    ("2-me", 1.9, 205.0, -26.0),
    ("3-them", 2.2, 131.0, -19.0),
    ("4-me", 2.6, 190.0, -24.0),
]


def syllable(rng, f0, seconds, amplitude):
    """One voiced syllable: a few harmonics with a falling 1/n spectrum and a gliding pitch."""
    count = int(seconds * RATE)
    glide = rng.uniform(-0.15, 0.15)
    harmonics = [(n, 1.0 / n) for n in range(1, 7)]
    norm = math.sqrt(sum(weight * weight for _, weight in harmonics) / 2)
    phase = 0.0
    samples = []
    for i in range(count):
        progress = i / count
        pitch = f0 * (1.0 + glide * progress)
        phase += 2 * math.pi * pitch / RATE
        envelope = math.sin(math.pi * progress) ** 0.6
        tone = sum(weight * math.sin(n * phase) for n, weight in harmonics) / norm
        samples.append(amplitude * envelope * tone)
    return samples


def turn(rng, seconds, f0, dbfs):
    amplitude = 10 ** (dbfs / 20)
    samples = []
    while len(samples) < seconds * RATE:
        samples += syllable(rng, f0 * rng.uniform(0.9, 1.1), rng.uniform(0.12, 0.28), amplitude)
        # Gaps between syllables and words stay far below the pause that ends a turn.
        gap = rng.uniform(0.03, 0.09) if rng.random() < 0.75 else rng.uniform(0.15, 0.3)
        samples += [0.0] * int(gap * RATE)
    return samples[: int(seconds * RATE)]


def write(path, samples):
    frames = b"".join(
        struct.pack("<h", max(-32768, min(32767, round(s * 32767)))) for s in samples
    )
    with wave.open(str(path), "wb") as out:
        out.setnchannels(1)
        out.setsampwidth(2)
        out.setframerate(RATE)
        out.writeframes(frames)


def main():
    rng = random.Random(20261207)
    for name, seconds, f0, dbfs in TURNS:
        write(HERE / f"{name}.wav", turn(rng, seconds, f0, dbfs))


if __name__ == "__main__":
    main()
