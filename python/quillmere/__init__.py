"""Steady-state AC power flow: load a PGM JSON network and solve its bus voltages.

    model = quillmere.PowerFlowModel.from_pgm_json("network.json")
    model.solve()
    model.voltage_mag()
"""

from ._quillmere import BatchResult, PowerFlowModel

__all__ = ["PowerFlowModel", "BatchResult"]
