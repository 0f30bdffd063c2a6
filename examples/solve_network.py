"""Load the bundled network, solve it and print the voltage of every bus.

    python examples/solve_network.py [network.json]
"""

import json
import math
import sys
from pathlib import Path

from quillmere import PowerFlowModel

KINDS = {0: "slack", 1: "PV", 2: "PQ"}


def bus_names(path):
    """Names in bus order: the nodes by ascending id, then one star bus per three-winding
    transformer, then one slack bus per source in service."""
    data = json.loads(Path(path).read_text())["data"]
    names = [f"node {n['id']}" for n in sorted(data["node"], key=lambda n: n["id"])]
    names += [f"star of {t['id']}" for t in data.get("three_winding_transformer", [])]
    names += [f"source {s['id']}" for s in data["source"] if s["status"] != 0]
    return names


def main():
    path = sys.argv[1] if len(sys.argv) > 1 else Path(__file__).with_name("network.json")
    model = PowerFlowModel.from_pgm_json(str(path))
    model.solve()

    kinds, _, _ = model.bus_spec()
    magnitudes = model.voltage_mag()
    angles = model.voltage_ang()
    kilovolts = model.voltage_kv()
    print(f"{model.n_nodes} buses, solved")
    print(f"{'bus':<18} {'kind':<6} {'kV':>9} {'|V| pu':>8} {'angle deg':>10}")
    for name, kind, kv, vm, va in zip(bus_names(path), kinds, kilovolts, magnitudes, angles):
        note = "  (isolated)" if vm == 0.0 else ""
        print(f"{name:<18} {KINDS[kind]:<6} {kv:9.3f} {vm:8.4f} {math.degrees(va):10.3f}{note}")


if __name__ == "__main__":
    main()
