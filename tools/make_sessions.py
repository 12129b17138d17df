"""Writes the four sessions bundled with `python -m quorvex_chat.replay`, with their facts.

    python tools/make_sessions.py        # rewrites src/quorvex_chat/sessions/*.json
    python tools/make_sessions.py --seed 1000 --out /tmp/held_out   # sessions of other seeds

Each session is an OpenAI Chat Completions history (the replay converts it to Anthropic
Messages too) of a kind of agent people run, with facts (ids, codes, constants, an order
number, an address) planted at known places and asked for later. A fact is planted the way
such facts arrive: a row with other keys among similar rows, an error line in a log, a
constant in a file, a number the person typed. Seeded: running it again writes the same files.
"""

from __future__ import annotations

import argparse
import json
import random
from pathlib import Path

OUT = Path(__file__).resolve().parent.parent / "src" / "quorvex_chat" / "sessions"
#: Added to every session's seed: sessions of the same kinds with other contents, for a
#: replay on sessions the defaults were not chosen on.
SEED_OFFSET = 0
WORDS = ("the request path retries once then falls back to the replica pool while the "
         "scheduler drains the queue and the cache warms from the last snapshot before "
         "traffic shifts back to the primary region").split()


class Session:
    def __init__(self, name: str, system: str, seed: int) -> None:
        self.name, self.rng, self.calls = name, random.Random(seed + SEED_OFFSET), 0
        self.messages: list[dict[str, object]] = [{"role": "system", "content": system}]
        self.facts: list[tuple[str, int]] = []
        self.pending: list[str] = []

    def prose(self, words: int) -> str:
        return " ".join(self.rng.choice(WORDS) for _ in range(words)).capitalize() + "."

    def user(self, text: str) -> None:
        self.messages.append({"role": "user", "content": text})

    def say(self, text: str) -> None:
        self.messages.append({"role": "assistant", "content": text})

    def tool(self, name: str, arguments: dict[str, object], output: str) -> None:
        self.calls += 1
        call = f"call_{self.name}_{self.calls:03d}"
        self.messages.append({"role": "assistant", "content": None, "tool_calls": [
            {"id": call, "type": "function",
             "function": {"name": name, "arguments": json.dumps(arguments)}}]})
        self.messages.append({"role": "tool", "tool_call_id": call, "content": output})

    def plant(self, fact: str) -> str:
        self.pending.append(fact)
        return fact

    def ask(self, text: str | None, facts: list[str] | None = None) -> None:
        """A request (None: the next call) that needs `facts`, by default those planted
        since the last ask."""
        if text is not None:
            self.user(text)
        self.facts += [(fact, len(self.messages) - 1) for fact in facts or self.pending]
        self.pending = [] if facts is None else self.pending

    def write(self, out: Path = OUT) -> None:
        out.mkdir(parents=True, exist_ok=True)
        (out / f"{self.name}.json").write_text(
            json.dumps(self.messages, indent=1, ensure_ascii=False) + "\n", encoding="utf-8")
        (out / f"{self.name}.facts.txt").write_text(
            "".join(f"{fact}\t{where}\n" for fact, where in self.facts), encoding="utf-8")


def rows(s: Session, count: int, odd: dict[str, object] | None = None) -> str:
    """A JSON array of similar metric rows, one of them with other keys when `odd` is given."""
    data: list[dict[str, object]] = [
        {"host": f"web-{n:03d}", "region": s.rng.choice(["eu-west-1", "us-east-2"]),
         "p99_ms": s.rng.randint(40, 900), "errors": s.rng.randint(0, 3), "state": "ok"}
        for n in range(count)]
    if odd is not None:
        data[s.rng.randrange(count)] = odd
    return json.dumps(data)


def ops() -> Session:
    s = Session("ops_agent", "You are the on-call operations agent for the checkout platform. "
                "Use get_metrics, search_logs and list_deploys; cite ids exactly.", 11)
    services = ["checkout", "payments", "inventory", "search", "auth", "ledger", "cart"]
    for turn in range(40):
        service = services[turn % len(services)]
        s.user(f"How is {service} doing in the last hour? {s.prose(12)}")
        odd = None
        if turn % 5 == 2:
            odd = {"host": f"web-{turn:03d}", "incident": s.plant(f"INC-{40900 + turn * 7}"),
                   "severity": "sev2", "owner": "db-team"}
        s.tool("get_metrics", {"service": service}, rows(s, s.rng.randint(20, 120), odd))
        if turn % 3 == 0:
            lines = [f"2026-12-0{1 + turn % 8}T{h:02d}:{m:02d}:11Z INFO {service} worker-"
                     f"{s.rng.randint(1, 9)} handled batch in {s.rng.randint(5, 80)}ms"
                     for h in range(3) for m in range(0, 60, 2)]
            if turn % 6 == 0:
                code = s.plant(f"E-CONN-{5500 + turn}")
                lines.insert(s.rng.randrange(len(lines)), f"2026-12-01T01:17:45Z ERROR {service} "
                             f"upstream reset by peer, code {code}, retry budget exhausted")
            s.tool("search_logs", {"service": service, "level": "any"}, "\n".join(lines))
        if turn % 8 == 4:
            sha = s.plant(f"{s.rng.getrandbits(48):012x}")
            deploys = [{"deploy": f"d-{turn}-{k}", "sha": f"{s.rng.getrandbits(48):012x}",
                        "status": "done"} for k in range(15)]
            deploys[7] = {"deploy": f"d-{turn}-7", "sha": sha, "status": "rolled_back",
                          "reason": "canary error rate 4.1%"}
            s.tool("list_deploys", {"service": service}, json.dumps(deploys))
        s.say(f"{service} is within its error budget. {s.prose(25)}")
        if turn % 5 == 4:
            s.ask("Remind me: which incident ids, error codes and rolled-back shas came up so "
                  "far, exactly as the tools reported them?")
            s.say("Here is the list from the tool output above. " + s.prose(20))
    return s


def source_file(s: Session, path: str, lines: int, constant: str | None) -> str:
    out = [f"# {path}", "from __future__ import annotations", "import logging", ""]
    for n in range(lines):
        kind = n % 9
        if kind == 0:
            out.append(f"def step_{n}(batch, cursor):")
        elif kind == 8:
            out.append("")
        else:
            out.append(f"    value_{kind} = batch.get('k{kind}', cursor + {s.rng.randint(1, 99)})")
    if constant is not None:
        out.insert(s.rng.randrange(4, len(out)), constant)
    return "\n".join(out)


def coding() -> Session:
    s = Session("coding_agent", "You are a coding agent in the ledger repository. Read files "
                "with read_file, change them with apply_patch, run tests with run_tests.", 23)
    modules = ["ledger/rollover.py", "ledger/cursor.py", "ledger/store.py", "ledger/api.py",
               "ledger/retry.py", "ledger/audit.py"]
    for turn in range(30):
        path = modules[turn % len(modules)]
        s.user(f"Look at {path} and tighten the error handling. {s.prose(10)}")
        constant = None
        if turn % 4 == 1:
            constant = s.plant(f"RETRY_BUDGET_MS = {7000 + 125 * turn}")
        s.tool("read_file", {"path": path}, source_file(s, path, s.rng.randint(150, 500),
                                                         constant))
        s.tool("apply_patch", {"path": path, "patch": f"@@ -{turn},3 +{turn},4 @@\n"
                               "+    log.warning('cursor lag %s', lag)"}, "Patch applied.")
        results = [f"tests/test_{m.split('/')[1][:-3]}.py::test_case_{k} PASSED"
                   for m in modules for k in range(12)]
        if turn % 5 == 3:
            failure = s.plant(f"test_rollover_keeps_cursor_{turn}")
            results.insert(s.rng.randrange(len(results)), f"tests/test_rollover.py::{failure} "
                           f"FAILED - AssertionError: cursor {4400 + turn} != {4399 + turn}")
        s.tool("run_tests", {"path": "tests"}, "\n".join(results) + f"\n{len(results)} ran")
        s.say(f"Patched {path}. {s.prose(30)}")
        if turn % 5 == 4:
            s.ask("Which retry budget constants and failing test names have we seen? Quote "
                  "them exactly.")
            s.say("From the files and runs above: " + s.prose(15))
    return s


def support() -> Session:
    s = Session("support_chat", "You are the support assistant of an online bookshop. Be "
                "warm and precise; use lookup_order when the customer gives an order number.",
                37)
    order = s.plant("ORD-58213-KX")
    address = s.plant("14 Rue Saint-Gilles, 75003 Paris")
    s.user(f"Hi! My order {order} has not arrived. I live at {address}.")
    tracking = s.plant("1Z84X6290344157719")
    s.tool("lookup_order", {"order": order}, json.dumps({
        "order": order, "status": "in transit", "carrier": "UPS", "tracking": tracking,
        "items": [{"title": f"Book {k}", "price": 12 + k} for k in range(30)]}))
    s.say(f"Thanks! Your order {order} is in transit with tracking {tracking}.")
    for turn in range(59):
        if turn % 10 == 9:
            s.ask("Sorry, can you repeat my order number, my address and the tracking number?",
                  [order, address, tracking])
        else:
            s.user(f"{s.prose(s.rng.randint(15, 60))} Also, question {turn}: can I change the "
                   f"gift wrap option?")
        if turn % 15 == 7:
            s.tool("lookup_order", {"order": order}, json.dumps({
                "order": order, "status": "in transit", "events": [
                    {"at": f"2026-12-0{1 + k % 8}", "scan": "depot"} for k in range(25)]}))
        s.say(f"Of course. {s.prose(s.rng.randint(30, 90))}")
    return s


def autonomous() -> Session:
    s = Session("autonomous_run", "You are an autonomous CI repair agent. Work until the build "
                "is green; report what you changed.", 51)
    s.user("The nightly build of the billing service is red. Find out why, fix it and tell me "
           "the failing build number, the flaky test, and the config key you changed.")
    build = None
    for step in range(40):
        if step % 4 == 0:
            number = 48200 + step
            lines = [f"[{k:04d}] step {k}: ok" for k in range(s.rng.randint(200, 500))]
            if step == 8:
                build = s.plant(f"build {number} failed at step lint")
                lines.insert(40, f"[0040] {build}: E501 line too long in billing/invoice.py")
            s.tool("ci_log", {"build": number}, "\n".join(lines))
        elif step % 4 == 1:
            tests = [f"test_case_{k} PASSED" for k in range(s.rng.randint(200, 400))]
            if step == 13:
                tests.insert(33, s.plant("test_cache_eviction_under_pressure") + " FLAKY "
                             "(passed 3 of 5 runs)")
            s.tool("run_tests", {"suite": "billing"}, "\n".join(tests))
        elif step % 4 == 2:
            config = [f"pool.worker_{k} = {s.rng.randint(1, 64)}" for k in range(300)]
            if step == 22:
                config.insert(61, s.plant("billing.max_inflight_requests = 48"))
            s.tool("read_file", {"path": "deploy/billing.conf"}, "\n".join(config))
        else:
            s.tool("apply_patch", {"path": "billing/invoice.py"},
                   "Patch applied.\n" + s.prose(40))
    s.ask(None)  # the run's last call reports them: no further request comes
    assert build is not None
    return s


if __name__ == "__main__":
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0] if __doc__ else None)
    parser.add_argument("--seed", type=int, default=0, help="added to every session's seed")
    parser.add_argument("--out", type=Path, default=OUT, help="where to write (default: the "
                        "bundled sessions)")
    args = parser.parse_args()
    SEED_OFFSET = args.seed
    for session in (ops(), coding(), support(), autonomous()):
        session.write(args.out)
        print(f"{session.name}: {len(session.messages)} messages, {len(session.facts)} facts")
