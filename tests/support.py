"""Helpers shared by test modules: a fresh interpreter, and callback requests as the page posts them."""

import json
import os
import subprocess
import sys


def run_python(code: str, cwd, env=None, timeout=120) -> subprocess.CompletedProcess:
    """Runs `code` in a fresh interpreter (module state at import is per process)."""
    full_env = dict(os.environ)
    full_env["PYTHONPATH"] = os.pathsep.join(p for p in sys.path if p)
    full_env.update(env or {})
    return subprocess.run([sys.executable, "-c", code], cwd=cwd, env=full_env, capture_output=True,
                          text=True, timeout=timeout)


def dep(ident, prop, value=None, with_value=False):
    d = {"id": ident, "property": prop}
    if with_value:
        d["value"] = value
    return d


def request(outputs, inputs, states=()):
    """The JSON body that the page posts for one callback."""
    outs = [dep(i, p) for i, p in outputs]
    key = outs[0]["id"] + "." + outs[0]["property"] if len(outs) == 1 else \
        ".." + "...".join(f"{o['id']}.{o['property']}" for o in outs) + ".."
    return {"output": key, "outputs": outs[0] if len(outs) == 1 else outs,
            "inputs": [dep(i, p, v, True) for i, p, v in inputs],
            "state": [dep(i, p, v, True) for i, p, v in states],
            "changedPropIds": [f"{inputs[0][0]}.{inputs[0][1]}"]}


def post(client, body):
    """(status, JSON reply) of one callback request through a Flask test client."""
    reply = client.post("/_dash-update-component", data=json.dumps(body), content_type="application/json")
    return reply.status_code, reply.get_json(silent=True)
