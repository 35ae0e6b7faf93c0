"""Writes the example pair baseline.agentlog / candidate.agentlog.

One support session of a fictional airline's agent, recorded twice: with the
baseline model and with a candidate model. The user asks for the same things
in both (and pushes back once when the candidate refuses); the candidate
regresses in several ways that a diff should catch:

- tools: it changes the arguments of search_flights and select_seat, books
  the flight twice, drops the cancel_hotel call, and adds get_baggage_policy
  and lookup_customer calls;
- text: every answer is reworded and longer, and the booking confirmation,
  JSON in the baseline, no longer parses;
- refusals: it refuses three times where the baseline did what was asked;
- cost: it runs on a pricier model, writes more tokens, thinks, and is slower.

Run it from anywhere with the korvane package installed; it rewrites the two
files next to this script. The output is deterministic.
"""

from __future__ import annotations

import datetime
import pathlib
from typing import Any

import korvane

HERE = pathlib.Path(__file__).resolve().parent
START = datetime.datetime(2025, 5, 2, 9, 0, 0, tzinfo=datetime.timezone.utc)
SYSTEM = ("You are the support agent of Skyward Air. Use the tools to look up and change "
          "bookings. Confirm completed bookings as a JSON object with the keys status, pnr, "
          "flight and passenger.")


def tool(tool_name: str, **arguments: Any) -> dict[str, Any]:
    return {"name": tool_name, "input": arguments}


# Each step is one model response: the user's message that led to it (None
# when the response follows tool results), the response text, its tool calls
# with their results, and its usage. The twelve steps of both sessions line
# up one to one, so the pairs of the diff are the same request answered by
# the two models.
BASELINE: list[dict[str, Any]] = [
    {"user": "Hi, I need a flight from Lisbon to Berlin on 12 May, economy please.",
     "text": "Let me look up flights from Lisbon to Berlin on 12 May.",
     "tools": [(tool("search_flights", origin="LIS", destination="BER", date="2025-05-12"),
                "SK214 09:40-13:55 129 EUR; SK218 17:05-21:20 104 EUR")],
     "usage": (812, 38), "latency": 840},
    {"text": "I found two direct flights on 12 May: SK214 leaves at 09:40 and lands at 13:55 "
             "for 129 EUR, and SK218 leaves at 17:05 and lands at 21:20 for 104 EUR. "
             "Which one would you like?",
     "usage": (905, 61), "latency": 1120},
    {"user": "Book the 09:40 one for Ana Silva.",
     "text": "Booking SK214 for Ana Silva.",
     "tools": [(tool("book_flight", flight_id="SK214", passenger="Ana Silva"),
                "booked: PNR X7K2QM")],
     "usage": (1004, 35), "latency": 790},
    {"text": '{"status": "booked", "pnr": "X7K2QM", "flight": "SK214", "passenger": "Ana Silva"}',
     "usage": (1071, 42), "latency": 650},
    {"user": "What is the baggage allowance on that fare?",
     "text": "Checking the fare rules for your ticket.",
     "tools": [(tool("get_fare_rules", fare_class="Y-LIGHT"),
                "cabin bag 8 kg; checked bag not included, 35 EUR online")],
     "usage": (1150, 33), "latency": 770},
    {"text": "Your Economy Light fare includes one cabin bag of up to 8 kg. A checked bag is "
             "not included; you can add one online for 35 EUR.",
     "usage": (1228, 48), "latency": 930},
    {"user": "Please also cancel my hotel booking HB-5521 in Berlin.",
     "text": "Cancelling hotel booking HB-5521.",
     "tools": [(tool("cancel_hotel", booking_id="HB-5521"), "cancelled; refund 212 EUR")],
     "usage": (1310, 31), "latency": 720},
    {"text": "Hotel booking HB-5521 is cancelled. The refund of 212 EUR reaches your card "
             "within 5 to 7 days.",
     "usage": (1372, 40), "latency": 880},
    {"user": "Can you email me the flight receipt?",
     "text": "Sending the receipt to the address on your profile.",
     "tools": [(tool("send_email", to="ana.silva@example.com", subject="Your SK214 receipt",
                     body="PNR X7K2QM, SK214 Lisbon-Berlin, 12 May, 129 EUR"), "sent")],
     "usage": (1440, 52), "latency": 810},
    {"text": "Done: the receipt for SK214 is in your inbox at ana.silva@example.com.",
     "usage": (1501, 27), "latency": 610},
    {"user": "One more thing: I'd like a window seat.",
     "text": "Assigning a window seat on SK214.",
     "tools": [(tool("select_seat", pnr="X7K2QM", seat="14A"), "seat 14A assigned")],
     "usage": (1560, 30), "latency": 700},
    {"text": "Seat 14A, a window seat, is yours on SK214. Have a good trip!",
     "usage": (1618, 25), "latency": 590},
]

CANDIDATE: list[dict[str, Any]] = [
    {"user": BASELINE[0]["user"],
     "text": "Sure thing! I'll search all available departures for that route and date, "
             "filtered to economy cabin.",
     "tools": [(tool("search_flights", origin="LIS", destination="BER", date="2025-05-12",
                     cabin="economy"),
                "SK214 09:40-13:55 129 EUR; SK218 17:05-21:20 104 EUR")],
     "usage": (812, 84), "thinking": 210, "latency": 1930},
    {"text": "Great news, there are a couple of options for your trip! The morning departure "
             "(SK214) is scheduled at 09:40, arriving 13:55, priced at 129 EUR. Alternatively "
             "the evening service SK218 goes at 17:05 and gets in at 21:20, a bit cheaper at "
             "104 EUR. Just tell me which option suits your plans best.",
     "usage": (951, 142), "thinking": 180, "latency": 2610},
    {"user": BASELINE[2]["user"],
     "text": "Absolutely, reserving the morning flight for Ana Silva now.",
     "tools": [(tool("book_flight", flight_id="SK214", passenger="Ana Silva"),
                "booked: PNR X7K2QM"),
               (tool("book_flight", flight_id="SK214", passenger="Ana Silva"),
                "booked: PNR X7K2QN")],
     "usage": (1102, 77), "thinking": 240, "latency": 2240},
    {"text": '```json\n{"status": "booked", "pnr": "X7K2QM", "flight": "SK214",\n'
             '"passenger": "Ana Silva"\n```',
     "usage": (1215, 58), "thinking": 90, "latency": 1480},
    {"user": BASELINE[4]["user"],
     "text": "Good question! Let me pull up the fare rules and the luggage policy for this route.",
     "tools": [(tool("get_fare_rules", fare_class="Y-LIGHT"),
                "cabin bag 8 kg; checked bag not included, 35 EUR online"),
               (tool("get_baggage_policy", route="LIS-BER"), "standard policy")],
     "usage": (1290, 66), "thinking": 160, "latency": 1850},
    {"text": "On an Economy Light ticket you may bring a single carry-on piece weighing at "
             "most 8 kg. Hold luggage isn't part of this fare, but it can be purchased "
             "through our website at a price of 35 EUR per item.",
     "usage": (1377, 118), "thinking": 140, "latency": 2420},
    {"user": BASELINE[6]["user"],
     "text": "I'm unable to cancel hotel reservations. Those are managed by the hotel itself, "
             "so please reach out to them directly.",
     "usage": (1460, 71), "thinking": 320, "latency": 2150},
    {"user": "But you cancelled one for me last month. Please try.",
     "text": "I cannot help with that request, I'm afraid. The hotel's front desk or the "
             "booking site you used can cancel it for you.",
     "usage": (1545, 80), "thinking": 260, "latency": 2330},
    {"user": BASELINE[8]["user"],
     "text": "Of course! First I'll look up your customer profile, then I'll email the receipt.",
     "tools": [(tool("lookup_customer", name="Ana Silva"), "ana.silva@example.com"),
               (tool("send_email", to="ana.silva@example.com", subject="Your SK214 receipt",
                     body="PNR X7K2QM, SK214 Lisbon-Berlin, 12 May, 129 EUR"), "sent")],
     "usage": (1650, 96), "thinking": 170, "latency": 2760},
    {"text": "All set! I've sent a copy of your SK214 receipt over to ana.silva@example.com; "
             "it should arrive within a few minutes.",
     "usage": (1740, 63), "thinking": 60, "latency": 1390},
    {"user": BASELINE[10]["user"],
     "text": "I'll put in a request for a window seat on your morning flight.",
     "tools": [(tool("select_seat", pnr="X7K2QM", seat_preference="window"),
                "preference recorded")],
     "usage": (1815, 92), "thinking": 280, "latency": 2270},
    {"text": "Unfortunately I'm not able to confirm a specific seat before check-in opens. "
             "Your window preference is on file and will be applied when seats are assigned.",
     "usage": (1902, 88), "thinking": 150, "latency": 2050},
]

MODELS = {"baseline": "orbit-mini-2025-01", "candidate": "orbit-pro-2025-03"}


def build_trace(role: str, steps: list[dict[str, Any]]) -> list[dict[str, Any]]:
    """The records of one session in the order an agent runtime writes them."""
    model = MODELS[role]
    records: list[dict[str, Any]] = []
    clock = START

    def add(kind: str, payload: Any, parent: str | None, seconds: float = 0.4) -> str:
        nonlocal clock
        clock += datetime.timedelta(seconds=seconds)
        record_id = f"{role[:4]}-{len(records) + 1:04d}"
        records.append({
            "version": korvane.SPEC_VERSION,
            "id": record_id,
            "kind": kind,
            "ts": clock.isoformat(timespec="milliseconds").replace("+00:00", "Z"),
            "parent": parent,
            "payload": payload,
        })
        return record_id

    last = add("metadata", {"agent": "skyward-support", "model": model, "session": "demo-0001",
                            "role": role}, None, 0.0)
    pending: list[dict[str, Any]] = [{"role": "system", "content": [{"type": "text", "text": SYSTEM}]}]
    for number, step in enumerate(steps):
        if step.get("user"):
            pending.append({"role": "user", "content": [{"type": "text", "text": step["user"]}]})
        request = add("chat_request", {"model": model, "messages": pending}, last, 2.0)
        content: list[dict[str, Any]] = []
        if step.get("thinking"):
            content.append({"type": "thinking", "thinking": "Working out the request."})
        content.append({"type": "text", "text": step["text"]})
        calls = step.get("tools", [])
        for k, (call, _) in enumerate(calls):
            content.append({"type": "tool_use", "id": f"tu_{number:02d}_{k}", **call})
        input_tokens, output_tokens = step["usage"]
        usage = {"input_tokens": input_tokens, "output_tokens": output_tokens,
                 "cached_input_tokens": 640 if number else 0}
        if step.get("thinking"):
            usage["thinking_tokens"] = step["thinking"]
        response = add("chat_response", {
            "model": model,
            "content": content,
            "stop_reason": "tool_use" if calls else "end_turn",
            "usage": usage,
            "latency_ms": step["latency"],
        }, request, step["latency"] / 1000)
        last = response
        pending = []
        for k, (call, output) in enumerate(calls):
            use_id = f"tu_{number:02d}_{k}"
            call_id = add("tool_call", {"id": use_id, **call}, response, 0.05)
            last = add("tool_result", {"tool_use_id": use_id, "name": call["name"],
                                       "output": output, "is_error": False}, call_id, 0.3)
            pending.append({"role": "tool", "content": [
                {"type": "tool_result", "tool_use_id": use_id, "content": output,
                 "is_error": False}]})
    return records


def main() -> None:
    for role, steps in (("baseline", BASELINE), ("candidate", CANDIDATE)):
        data = korvane.write_agentlog(build_trace(role, steps))
        korvane.parse_agentlog(data)  # what is written must read back
        (HERE / f"{role}.agentlog").write_bytes(data)


if __name__ == "__main__":
    main()
