"""Every public operation of every module has a signature that inspect can
read (names, defaults), as a Python function would."""
import importlib.util
import json
import os
import pathlib
import subprocess
import sys
import textwrap

MODULES = [
    "bridge.supervisor.pid", "bridge.supervisor.port", "bridge.supervisor.lifecycle",
    "bridge.setup.path", "bridge.setup.detect", "bridge.setup.install", "bridge.bootstrap",
    "bridge.Chat.runconf", "bridge.Chat.compression", "bridge.Chat.holdqueue",
    "bridge.Chat.picdrop", "bridge.Chat.interrupt", "bridge.Chat.consentgate",
    "bridge.Chat.warmpool",
]


def test_every_operation_has_a_readable_signature(tmp_path):
    standin = pathlib.Path(
        importlib.util.find_spec("dashboard").submodule_search_locations[0]) / "standin"
    code = textwrap.dedent(f"""
        import importlib, inspect, json, sys
        sys.path.insert(0, {str(standin)!r})
        out = {{}}
        for name in {MODULES!r}:
            mod = importlib.import_module(name)
            for attr, value in vars(mod).items():
                if type(value).__name__ not in ("nb_func", "builtin_function_or_method"):
                    continue
                if getattr(value, "__module__", name) not in (name, None) and \\
                        type(value).__name__ != "nb_func":
                    continue  # re-exported from elsewhere
                try:
                    out[name + "." + attr] = str(inspect.signature(value))
                except (ValueError, TypeError) as e:
                    out[name + "." + attr] = "ERROR " + str(e)
        print(json.dumps(out))
        """)
    env = dict(os.environ, HOME=str(tmp_path))
    done = subprocess.run([sys.executable, "-c", code], capture_output=True, text=True,
                          env=env, timeout=60)
    assert done.returncode == 0, done.stderr
    sigs = json.loads(done.stdout)
    assert [k for k, v in sigs.items() if v.startswith("ERROR")] == []
    assert sigs["bridge.supervisor.port.is_port_in_use"] == \
        "(port: 'int', host: 'str' = '127.0.0.1') -> 'bool'"
    assert sigs["bridge.Chat.interrupt.interrupt_agent"].startswith(
        "(session_id: 'str', reason: 'str' = 'User cancelled')")
    # A vectorcall entry point's signature: names and defaults (its types are
    # in the generated stub).
    assert sigs["bridge.Chat.warmpool.get_agent"] == "(session_id, streaming_session_id=None)"
    assert sigs["bridge.Chat.picdrop.split_enriched_message"] == \
        "(text: 'str') -> 'tuple[str, list[str]]'"
    assert sigs["bridge.Chat.warmpool.split_model_note"] == "(text: 'str') -> 'tuple[str | None, str]'"
