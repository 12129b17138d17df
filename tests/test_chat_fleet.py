"""Worker processes taking turns on one conversation, and restarted, send the prompts one
process sends, with every framework adapter: the plans live in the checkpointer or the state
store, and the originals in the recall store that the workers share."""
import json
import os
import re
import subprocess
import sys
import uuid

import pytest

from support.fleet_worker import Worker, probe

POSTGRES = os.environ.get("QUORVEX_TEST_POSTGRES")
CASES = {"langchain-sqlite": "langgraph.checkpoint.sqlite",
         "langchain-postgres": "langgraph.checkpoint.postgres", "pydantic_ai": "pydantic_ai",
         "openai_agents": "agents"}


class Process:
    def __init__(self, config):
        self.popen = subprocess.Popen([sys.executable, sys.modules[Worker.__module__].__file__,
                                       json.dumps(config)], stdin=subprocess.PIPE,
                                      stdout=subprocess.PIPE, text=True)
        assert self.popen.stdout.readline() == "{}\n", "the worker did not start"

    def ask(self, **question):
        print(json.dumps(question), file=self.popen.stdin, flush=True)
        return json.loads(self.popen.stdout.readline())

    def close(self):
        self.popen.stdin.close()
        assert self.popen.wait(timeout=60) == 0


@pytest.mark.parametrize("case", CASES)
def test_workers_taking_turns_and_restarted_send_the_prompts_of_one_process(case, tmp_path):
    pytest.importorskip(CASES[case])
    framework, _, checkpointer = case.partition("-")
    if checkpointer == "postgres" and not POSTGRES:
        pytest.skip("no PostgreSQL server: QUORVEX_TEST_POSTGRES names none (.ci/run starts one)")
    fleet = {"framework": framework, "checkpointer": checkpointer, "thread": uuid.uuid4().hex,
             "db": POSTGRES if checkpointer == "postgres" else str(tmp_path / "checkpoints.db"),
             "store": str(tmp_path / "originals.db"), "states": str(tmp_path / "states.db"),
             "history": str(tmp_path / "fleet")}
    # Alone, the plans and originals stay in memory (LangChain's plans in its checkpoint).
    solo = Worker({**fleet, "thread": uuid.uuid4().hex, "history": str(tmp_path / "solo"),
                   "store": None, "states": None})
    expected = [solo.turn(n) for n in range(6)]
    a, b = Process(fleet), Process(fleet)
    sent = [a.ask(turn=0), b.ask(turn=1), a.ask(turn=2)]
    a.close()
    a = Process(fleet)  # restarted: it holds no plan
    sent += [a.ask(turn=3), b.ask(turn=4), a.ask(turn=5)]
    assert sent == expected
    # Results were elided, and one that worker A elided first is recalled on worker B.
    named = [set(re.findall(r"\[tool result elided[^]]*recall (qv:\w+)\]", json.dumps(turn)))
             for turn in sent]
    handle = min(set().union(*(named[n] - set().union(*named[:n]) for n in (0, 2, 3, 5))))
    assert b.ask(recall=handle) in {probe(n, call) for n in range(6) for call in (1, 2)}
    a.close(), b.close()
