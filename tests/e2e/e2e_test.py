#!/usr/bin/env python3
"""Whole recordings through the real helper, the devserver and a private sound server.

Each scenario plays the shipped conversation into its own private sound server while its own
devserver misbehaves as told, then balances the books: every segment the stand-in transcribed must
be stored, handed back unsaved by record.stop, or dropped as an echo; nothing is lost. Scenarios run
concurrently (they share nothing) and print one line each.

    tests/e2e/e2e_test.py [--helper build/tessarin-helper] [--devserver ...] [SCENARIO ...]
"""

import argparse
import concurrent.futures
import dataclasses
import json
import re
import signal
import sys
import threading
import time
import traceback
from pathlib import Path

sys.path.insert(0, str(Path(__file__).resolve().parents[2] / "scripts" / "lib"))
from tessarin_rig import CONVERSATION, DevServer, Helper, Rig, SoundServer  # noqa: E402

PAUSE_BETWEEN_TURNS = 1.0
# Below the helper's own 45-second exit watchdog, which would end it with status 1.
EXIT_LIMIT = 45.0
VERBOSE = False
STAND_IN_TEXT = re.compile(r"\[speech (\d+(?:\.\d)?) s, ")
SILENT_CATCH_UP = re.compile(r"caught up (me|them) (-?\d+)\.\.(-?\d+) ms: no speech")
ROUNDING_MS = 100  # the stand-in rounds what it heard to a tenth of a second
# Seconds per side. Beyond rounding: when a new session starts at the very end of a turn, its first
# commit holds only the turn's quiet tail, which the stand-in transcribes as nothing, unseen here.
UNHEARD_TOLERANCE = 0.6
SPEECH_LEVEL = 0.35  # -39 dBFS on the levels' scale, where -60 dBFS is 0 and full scale 1


@dataclasses.dataclass
class Scenario:
    name: str
    seconds: float  # how long the conversation plays
    switches: dict = dataclasses.field(default_factory=dict)  # before record.start
    later: tuple = ()  # (seconds into the conversation, switches)
    sigterm: bool = False  # end with SIGTERM instead of record.stop
    unsaved: str = "none"  # "none", "all", or "any" segments handed back by record.stop
    counters: dict = dataclasses.field(default_factory=dict)  # least values at the end
    events: tuple = ()  # (event, member, value) that must have been written
    # Every stretch of audio must end up in a segment, also where a session fails.
    complete: bool = True


RECONNECTING = ("state", "transcription", "reconnecting")
SCENARIOS = [
    Scenario("clean", 14),
    # What a drop hands back may be silence for one side or both: no chunk need be uploaded.
    Scenario("drops", 46, switches={"dropEveryMs": 20000, "outageMs": 1000},
             counters={"connectionsDropped": 2}, events=(RECONNECTING,)),
    Scenario("refused-reconnects", 58, later=((5, {"dropNow": True, "refuseUpgradesMs": 40000}),),
             counters={"upgradesRefused": 2, "chunksReceived": 2},
             events=(RECONNECTING, ("state", "transcription", "catching_up"))),
    # Still disconnected at the stop: the audio of the outage is transcribed from chunks.
    Scenario("down-at-stop", 14, later=((4, {"dropNow": True, "refuseUpgradesMs": 600000}),),
             counters={"upgradesRefused": 2, "chunksReceived": 2}),
    # The devserver's first seed fails appends 1, 2, 4 and 8: periodic and final ones.
    Scenario("flaky-appends", 34, switches={"appendFaultShare": 0.3, "appendFaultStatus": 503},
             unsaved="any", counters={"appendsFailed": 2}, events=(("error", "code", "save_failed"),)),
    Scenario("refused-appends", 14, switches={"appendFaultShare": 1.0, "appendFaultStatus": 422},
             unsaved="all", events=(("error", "code", "save_failed"),)),
    Scenario("token-refused", 16, switches={"refuseTokens": 1},
             later=((3, {"accessToken": "renewed-token"}),),
             counters={"tokensRefused": 1, "unauthorized": 1},
             events=(("token.needed", None, None),)),
    Scenario("sigterm", 12, sigterm=True),
]


def turns():
    """The conversation's turns, over and over: (file, side)."""
    files = sorted(CONVERSATION.glob("*.wav"))
    while True:
        for wav in files:
            yield wav, wav.stem.split("-")[-1]


def play(sound, seconds):
    ends = time.monotonic() + seconds
    for wav, side in turns():
        if time.monotonic() >= ends:
            return
        sound.play(wav, side)
        time.sleep(PAUSE_BETWEEN_TURNS)


def answer_token_requests(helper, devserver):
    """Answers each "token.needed" with the token the devserver accepts now, like the app would."""
    def on_line(line):
        if line.get("event") == "token.needed":
            token = devserver.control()["switches"]["accessToken"]
            threading.Thread(target=helper.send, args=("token.update", {"accessToken": token}),
                             daemon=True).start()
    return on_line


def record(scenario, binaries):
    """Runs one scenario; answers its outcome (a dict) or raises with what went wrong."""
    helper_binary, devserver_binary = binaries
    with Rig(prefix=f"tessarin-e2e-{scenario.name}-") as rig:
        sound = SoundServer(rig)
        devserver = DevServer(rig, devserver_binary)
        devserver.control(scenario.switches)
        forward = {}
        helper = Helper(rig, helper_binary, sound.env, on_line=lambda line: forward["to"](line))
        forward["to"] = answer_token_requests(helper, devserver)
        try:
            return observe(scenario, sound, devserver, helper)
        except Exception:
            raise RuntimeError("\n    ".join([traceback.format_exc().strip(), "helper log:"]
                                              + helper.log[-25:]))
        finally:
            if VERBOSE:
                transcript = [json.dumps(line) for line in helper.lines
                              if line.get("event") not in ("levels", "transcript.delta")]
                print("\n  ".join([f"== {scenario.name}: helper output and log"] + transcript
                                   + helper.log + [json.dumps(devserver.counters())]), flush=True)


def observe(scenario, sound, devserver, helper):
    meeting = f"e2e-{scenario.name}"
    helper.request("record.start", {"meetingId": meeting, "apiBase": devserver.url,
                                    "accessToken": "dev-token", "language": "en"}, timeout=30)
    converse(scenario, sound, devserver)
    outcome = {"stopSeconds": stop(scenario, helper)}

    counters = devserver.counters()
    stored = devserver.show(meeting, as_json=True)
    handed_back = next((line["result"]["unsaved"] for line in helper.lines
                        if line.get("ok") and "unsaved" in line["result"]), [])
    outcome["finished"] = stored["finished"]
    outcome.update(balance(scenario, counters, stored["segments"], handed_back, helper))
    check(stored["finished"] == (not handed_back),
          "the meeting must be finished exactly when everything was saved")
    outcome["unheard"] = unheard(stored["segments"] + handed_back, helper.log)
    if outcome["echoDropped"]:
        # A microphone segment dropped as an echo leaves a gap that is no loss.
        outcome["unheard"].pop("me", None)
    if scenario.complete:
        check(all(seconds <= UNHEARD_TOLERANCE for seconds in outcome["unheard"].values()),
              f"audio in no segment: {outcome['unheard']} s")
    for counter, least in scenario.counters.items():
        check(counters[counter] >= least, f"{counter} is {counters[counter]}, expected >= {least}")
        outcome[counter] = counters[counter]
    for event, member, value in scenario.events:
        check(any(line.get("event") == event and (member is None or line.get(member) == value)
                  for line in helper.lines), f"no {event} event with {member} {value}")
    levels = [line for line in helper.lines if line.get("event") == "levels"]
    check(max(line["mic"] for line in levels) > SPEECH_LEVEL and
          max(line["system"] for line in levels) > SPEECH_LEVEL, "the levels never showed speech")
    last_event = [line for line in helper.lines if "event" in line][-1]
    check(last_event["event"] == "state" and not last_event["recording"],
          f"the last event is no final state: {last_event}")
    return outcome


def converse(scenario, sound, devserver):
    """Plays the conversation for the scenario's time, throwing its switches on the way."""
    player = threading.Thread(target=play, args=(sound, scenario.seconds), daemon=True)
    began = time.monotonic()
    player.start()
    for at, switches in scenario.later:
        time.sleep(max(0.0, began + at - time.monotonic()))
        devserver.control(switches)
    player.join()
    time.sleep(PAUSE_BETWEEN_TURNS)


def stop(scenario, helper):
    """Ends the recording by record.stop or SIGTERM, then the helper; answers the seconds taken."""
    began = time.monotonic()
    if scenario.sigterm:
        helper.process.send_signal(signal.SIGTERM)
    else:
        helper.request("record.stop", timeout=EXIT_LIMIT + 60)
        helper.close_input()
    # A sanitizer that found something also ends the process with a failure status.
    status = helper.process.wait(EXIT_LIMIT + 5)
    check(status == 0, f"exit status {status}")
    check(time.monotonic() - began < EXIT_LIMIT, "the stop and exit took too long")
    return time.monotonic() - began


def balance(scenario, counters, stored, handed_back, helper):
    """Every segment the stand-in transcribed is stored, handed back or dropped as an echo."""
    transcribed = (counters["transcripts"] - counters["transcriptsSilent"]
                   + counters["chunksTranscribed"])
    stop_lines = [line for line in helper.log if line.startswith("recording stopped (")]
    check(len(stop_lines) == 1, f"expected one summary line, got {stop_lines}")
    echo_dropped = int(re.search(r"echo: (\d+) dropped", stop_lines[0]).group(1))
    counts = {"transcribed": transcribed, "stored": len(stored), "unsaved": len(handed_back),
              "echoDropped": echo_dropped,
              "lost": transcribed - len(stored) - len(handed_back) - echo_dropped}
    check(counts["lost"] == 0, f"segments lost: {counts}")
    written = [line["seq"] for line in helper.lines if line.get("event") == "transcript.segment"]
    check(sorted(written) == sorted(s["seq"] for s in stored + handed_back),
          "the transcript.segment events are not exactly the stored and handed-back segments")
    check({s["speaker"] for s in stored + handed_back} == {"me", "them"}, "a side went unheard")
    expected_unsaved = {"none": 0, "all": transcribed - echo_dropped}.get(scenario.unsaved)
    if expected_unsaved is not None:
        check(len(handed_back) == expected_unsaved,
              f"{len(handed_back)} unsaved, expected {expected_unsaved}")
    return counts


def unheard(segments, log):
    """Seconds of each side's audio that no segment transcribed.

    The stand-in says how much audio it heard ("[speech 2.4 s, ..."); a segment's transcript is made
    of the last that many seconds of its span (a session that failed took the audio it had not
    committed with it; the new one only has what came after). That audio is handed back and caught
    up through chunk uploads, which leave silence out: a stretch held while only the other side
    spoke yields no segment, and the helper logs it as caught up with no speech. The spans of one
    side follow each other without gaps, so what the union of the heard parts and those silent
    stretches leaves out of them went untranscribed."""
    missing = {}
    for side in ("me", "them"):
        heard = []
        for segment in (s for s in segments if s["speaker"] == side):
            match = STAND_IN_TEXT.match(segment["text"])
            seconds = float(match.group(1)) if match else 0.0
            heard.append((max(segment["startedMs"], segment["endedMs"] - seconds * 1000),
                          segment["endedMs"]))
        silent = (SILENT_CATCH_UP.search(line) for line in log)
        heard += [(int(match.group(2)), int(match.group(3))) for match in silent
                  if match and match.group(1) == side]
        gap, reached = 0.0, 0.0
        for start, end in sorted(heard):
            gap += max(0.0, start - reached - ROUNDING_MS)
            reached = max(reached, end)
        if gap:
            missing[side] = round(gap / 1000, 1)
    return missing


def check(condition, message):
    if not condition:
        raise AssertionError(message)


def main():
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    parser.add_argument("--helper", type=Path, default=Path("build/tessarin-helper"))
    parser.add_argument("--devserver", type=Path, default=Path("build/tessarin-devserver"))
    parser.add_argument("--verbose", action="store_true", help="print each helper's lines and log")
    parser.add_argument("names", nargs="*", help="scenarios to run (default: all)")
    args = parser.parse_args()
    global VERBOSE
    VERBOSE = args.verbose
    binaries = (args.helper, args.devserver)
    chosen = [s for s in SCENARIOS if not args.names or s.name in args.names]
    began = time.monotonic()
    failures = 0
    with concurrent.futures.ThreadPoolExecutor(len(chosen)) as pool:
        runs = {pool.submit(timed, record, scenario, binaries): scenario for scenario in chosen}
        for run in concurrent.futures.as_completed(runs):
            scenario = runs[run]
            seconds, outcome, failure = run.result()
            if failure:
                failures += 1
                print(f"FAIL {scenario.name:<20} {seconds:5.1f} s\n    {failure}", flush=True)
            else:
                print(f"ok   {scenario.name:<20} {seconds:5.1f} s  {describe(outcome)}", flush=True)
    print(f"{len(chosen) - failures}/{len(chosen)} scenarios passed in "
          f"{time.monotonic() - began:.1f} s")
    return 1 if failures else 0


def timed(function, *args):
    began = time.monotonic()
    try:
        outcome = function(*args)
        return time.monotonic() - began, outcome, None
    except Exception as failure:
        return time.monotonic() - began, None, failure


def describe(outcome):
    fixed = ("transcribed", "stored", "unsaved", "echoDropped", "lost", "finished", "stopSeconds")
    text = (f"transcribed {outcome['transcribed']} = stored {outcome['stored']} + unsaved "
            f"{outcome['unsaved']} + echo-dropped {outcome['echoDropped']}, lost {outcome['lost']}; "
            f"{'finished' if outcome['finished'] else 'not finished'}; "
            f"stop {outcome['stopSeconds']:.1f} s")
    unheard = ", ".join(f"{side} {seconds} s" for side, seconds in outcome.pop("unheard").items())
    text += f"; untranscribed audio: {unheard or 'none'}"
    extra = ", ".join(f"{k} {v}" for k, v in outcome.items() if k not in fixed)
    return text + (f"; {extra}" if extra else "")


if __name__ == "__main__":
    sys.exit(main())
