#!/usr/bin/env python3
# Writes the two box tones (16-bit mono PCM WAV). Run again after changing a
# tone; the WAV files are kept in the repository so the build needs no Python.
import math
import struct
import wave

RATE = 22050


def tone(name, parts, volume):
    frames = bytearray()
    for freq, ms in parts:
        n = RATE * ms // 1000
        for i in range(n):
            # 5 ms fades keep the speaker from clicking.
            fade = min(1.0, i / (RATE * 0.005), (n - i) / (RATE * 0.005))
            value = math.sin(2 * math.pi * freq * i / RATE) if freq else 0.0
            frames += struct.pack('<h', int(32767 * volume * fade * value))
    with wave.open(name, 'wb') as out:
        out.setnchannels(1)
        out.setsampwidth(2)
        out.setframerate(RATE)
        out.writeframes(bytes(frames))


# A refusal: two firm falling beeps, heard over a warehouse.
tone('error.wav', [(1320, 110), (0, 40), (880, 160)], 0.9)
# A question: one short, soft note.
tone('question.wav', [(660, 120)], 0.35)
