#!/usr/bin/env python3
"""Whole recordings through the real helper, the devserver and a private sound server.

Each scenario plays the shipped conversation into a sound server of its own while its devserver
misbehaves as told; every segment the stand-in transcribed must be stored, handed back unsaved or
dropped as an echo, and every stretch of audio be in one. Scenarios run at once.
"""

import argparse
import concurrent.futures
import re
import signal
import sys
import threading
import time
from pathlib import Path

sys.path.insert(0, str(Path(__file__).resolve().parents[2] / "scripts" / "lib"))
from tessarin_rig import CONVERSATION, DevServer, Helper, Rig, SoundServer  # noqa: E402

PAUSE = 1.0  # seconds between turns
EXIT_LIMIT = 45.0  # the helper's own exit watchdog would end it with status 1
STAND_IN_TEXT = re.compile(r"\[speech (\d+(?:\.\d)?) s, ")
SILENT_CATCH_UP = re.compile(r"caught up (me|them) (-?\d+)\.\.(-?\d+) ms: no speech")
ROUNDING_MS = 100  # the stand-in rounds what it heard to a tenth of a second
# Seconds per side. Beyond rounding: a session started at the very end of a turn commits only its
# quiet tail first, which the stand-in transcribes as nothing.
UNHEARD_TOLERANCE = 0.6
SPEECH_LEVEL = 0.35  # -39 dBFS on the levels' scale, where -60 dBFS is 0 and full scale 1
RECONNECTING = ("state", "transcription", "reconnecting")
SAVE_FAILED = ("error", "code", "save_failed")

# name, seconds played, switches at the start, (seconds in, switches) later, how it ends, segments
# handed back ("none", "all" or "any"), least counter values, (event, member, value) to be written.
SCENARIOS = [
    ("clean", 14, {}, (), "stop", "none", {}, ()),
    # What a drop hands back may be silence for one side or both: no chunk need be uploaded.
    ("drops", 46, {"dropEveryMs": 20000, "outageMs": 1000}, (), "stop", "none",
     {"connectionsDropped": 2}, (RECONNECTING,)),
    ("refused-reconnects", 58, {}, ((5, {"dropNow": True, "refuseUpgradesMs": 40000}),), "stop",
     "none", {"upgradesRefused": 2, "chunksReceived": 2},
     (RECONNECTING, ("state", "transcription", "catching_up"))),
    # Still disconnected at the stop: the audio of the outage is transcribed from chunks.
    ("down-at-stop", 14, {}, ((4, {"dropNow": True, "refuseUpgradesMs": 600000}),), "stop", "none",
     {"upgradesRefused": 2, "chunksReceived": 2}, ()),
    # The devserver's first seed fails appends 1, 2, 4 and 8: periodic and final ones.
    ("flaky-appends", 34, {"appendFaultShare": 0.3, "appendFaultStatus": 503}, (), "stop", "any",
     {"appendsFailed": 2}, (SAVE_FAILED,)),
    ("refused-appends", 14, {"appendFaultShare": 1.0, "appendFaultStatus": 422}, (), "stop", "all",
     {}, (SAVE_FAILED,)),
    ("token-refused", 16, {"refuseTokens": 1}, ((3, {"accessToken": "renewed-token"}),), "stop",
     "none", {"tokensRefused": 1, "unauthorized": 1}, (("token.needed", None, None),)),
    ("sigterm", 12, {}, (), "sigterm", "none", {}, ()),
]


def play(sound, seconds):
    """The conversation's turns, over and over, for `seconds`."""
    ends, files = time.monotonic() + seconds, sorted(CONVERSATION.glob("*.wav"))
    for turn in range(10 ** 6):
        if time.monotonic() >= ends:
            return
        wav = files[turn % len(files)]
        sound.play(wav, wav.stem.split("-")[-1])
        time.sleep(PAUSE)


def record(scenario, binaries):
    """Runs one scenario; answers its outcome or raises with what went wrong and the helper's log."""
    name, seconds, switches, later, ending, unsaved, least, events = scenario
    with Rig(prefix=f"tessarin-e2e-{name}-") as rig:
        sound = SoundServer(rig)
        devserver = DevServer(rig, binaries[1])
        devserver.control(switches)
        helper = None

        def on_line(line):  # answers "token.needed" with the token accepted now, as the app would
            if line.get("event") == "token.needed":
                token = devserver.control()["switches"]["accessToken"]
                threading.Thread(target=helper.send, args=("token.update", {"accessToken": token}),
                                 daemon=True).start()

        helper = Helper(rig, binaries[0], sound.env, on_line=on_line)
        try:
            helper.request("record.start", {"meetingId": name, "apiBase": devserver.url,
                                            "accessToken": "dev-token", "language": "en"}, 30)
            player = threading.Thread(target=play, args=(sound, seconds), daemon=True)
            began = time.monotonic()
            player.start()
            for at, changes in later:
                time.sleep(max(0.0, began + at - time.monotonic()))
                devserver.control(changes)
            player.join()
            time.sleep(PAUSE)
            began = time.monotonic()
            if ending == "sigterm":
                helper.process.send_signal(signal.SIGTERM)
            else:
                helper.request("record.stop", timeout=EXIT_LIMIT + 60)
                helper.close_input()
            # A sanitizer that found something also ends the process with a failure status.
            assert helper.process.wait(EXIT_LIMIT + 5) == 0, "exit status is not 0"
            assert time.monotonic() - began < EXIT_LIMIT, "the stop and exit took too long"
            counters = devserver.counters()
            for counter, value in least.items():
                assert counters[counter] >= value, f"{counter} is {counters[counter]} < {value}"
            for event, member, value in events:
                assert any(line.get("event") == event
                           and (member is None or line.get(member) == value)
                           for line in helper.lines), f"no {event} event with {member} {value}"
            return balance(name, unsaved, counters, devserver.show(name, as_json=True), helper)
        except Exception as failure:
            raise RuntimeError(f"{failure}\n    helper log:\n    " + "\n    ".join(helper.log[-25:]))


def balance(name, unsaved, counters, stored, helper):
    """Every segment the stand-in transcribed is stored, handed back or dropped as an echo."""
    transcribed = (counters["transcripts"] - counters["transcriptsSilent"]
                   + counters["chunksTranscribed"])
    summary = [line for line in helper.log if line.startswith("recording stopped (")]
    assert len(summary) == 1, f"expected one summary line, got {summary}"
    echo_dropped = int(re.search(r"echo: (\d+) dropped", summary[0]).group(1))
    back = next((line["result"]["unsaved"] for line in helper.lines
                 if line.get("ok") and "unsaved" in line["result"]), [])
    saved = stored["segments"]
    counts = {"transcribed": transcribed, "stored": len(saved), "unsaved": len(back),
              "echoDropped": echo_dropped, "finished": stored["finished"]}
    assert transcribed == len(saved) + len(back) + echo_dropped, f"segments lost: {counts}"
    assert stored["finished"] == (not back), "finished exactly when everything was saved"
    written = [line["seq"] for line in helper.lines if line.get("event") == "transcript.segment"]
    assert sorted(written) == sorted(s["seq"] for s in saved + back), (
        "the transcript.segment events are not exactly the stored and handed-back segments")
    assert {s["speaker"] for s in saved + back} == {"me", "them"}, "a side went unheard"
    expected = {"none": 0, "all": transcribed - echo_dropped}.get(unsaved, len(back))
    assert len(back) == expected, f"{len(back)} unsaved, expected {expected}"
    counts["unheard"] = unheard(saved + back, helper.log)
    if echo_dropped:
        counts["unheard"].pop("me", None)  # a microphone segment dropped as an echo is no loss
    assert all(seconds <= UNHEARD_TOLERANCE for seconds in counts["unheard"].values()), (
        f"audio in no segment: {counts['unheard']} s")
    levels = [line for line in helper.lines if line.get("event") == "levels"]
    assert min(max(line[side] for line in levels)
               for side in ("mic", "system")) > SPEECH_LEVEL, "no speech in the levels"
    last = [line for line in helper.lines if "event" in line][-1]
    assert last["event"] == "state" and not last["recording"], f"the last event is {last}"
    return counts


def unheard(segments, log):
    """Seconds of each side's audio in no segment: a transcript covers the last as many seconds
    of its span as the stand-in heard; chunk uploads log the silence they leave out."""
    missing = {}
    for side in ("me", "them"):
        heard = [(int(m[2]), int(m[3])) for m in map(SILENT_CATCH_UP.search, log)
                 if m and m[1] == side]
        for segment in (s for s in segments if s["speaker"] == side):
            match = STAND_IN_TEXT.match(segment["text"])
            seconds = float(match[1]) if match else 0.0
            heard.append((max(segment["startedMs"], segment["endedMs"] - seconds * 1000),
                          segment["endedMs"]))
        gap, reached = 0.0, 0.0
        for start, end in sorted(heard):
            gap += max(0.0, start - reached - ROUNDING_MS)
            reached = max(reached, end)
        if gap:
            missing[side] = round(gap / 1000, 1)
    return missing


def main():
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    parser.add_argument("--helper", type=Path, default=Path("build/tessarin-helper"))
    parser.add_argument("--devserver", type=Path, default=Path("build/tessarin-devserver"))
    parser.add_argument("names", nargs="*", help="scenarios to run (default: all)")
    args = parser.parse_args()
    chosen = [s for s in SCENARIOS if not args.names or s[0] in args.names]
    began, failures = time.monotonic(), 0

    def timed(scenario):
        try:
            outcome = record(scenario, (args.helper, args.devserver))
            return time.monotonic(), outcome, None
        except Exception as failure:
            return time.monotonic(), None, failure

    # Each scenario plays real-time audio through a sound server, helper and devserver of its own;
    # eight at once on a two-core machine starve the helpers enough to leave audio unheard. Four at
    # a time end within a few seconds of the longest scenario.
    with concurrent.futures.ThreadPoolExecutor(min(4, len(chosen))) as pool:
        for scenario, (ended, outcome, failure) in zip(chosen, pool.map(timed, chosen)):
            failures += failure is not None
            print(f"{'FAIL' if failure else 'ok  '} {scenario[0]:<20} {ended - began:5.1f} s  "
                  f"{failure or outcome}", flush=True)
    print(f"{len(chosen) - failures}/{len(chosen)} scenarios passed in "
          f"{time.monotonic() - began:.1f} s")
    return 1 if failures else 0


if __name__ == "__main__":
    sys.exit(main())
