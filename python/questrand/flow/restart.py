"""The restart file of the program (read, written, made at time zero)
and the fields the program starts a run from."""

from __future__ import annotations

import dataclasses
from pathlib import Path

import numpy as np

from .. import files
from ..grid import Grid
from ..problem import Problem
from .reuse import FIELD_NAMES, FlowError


# -- the restart file ----------------------------------------------------------
@dataclasses.dataclass
class RestartFile:
    """The fields of a restart file, each an (nj, ni) float32 array with
    node (I, J) at ``[J - 1, I - 1]``; ``count`` is the step (transient) or
    the iteration count (steady), ``time`` the time (transient)."""

    ni: int
    nj: int
    steady: bool
    count: int
    time: float
    fields: dict

    def copy(self) -> "RestartFile":
        return dataclasses.replace(self, fields={k: v.copy() for k, v in self.fields.items()})


def read_restart(path) -> RestartFile:
    """Read a restart file (ten length-framed records, little-endian)."""
    path = Path(path)
    return parse_restart(path.read_bytes(), path)


def parse_restart(data: bytes, path) -> RestartFile:
    """The restart file whose bytes are ``data``; errors name ``path``."""
    pos = 0

    def record(number):
        nonlocal pos
        if len(data) - pos < 4:
            raise FlowError(f"{path}: record {number}: missing (not a restart file)")
        length = int(np.frombuffer(data, "<u4", 1, pos)[0])
        end = pos + 4 + length
        if len(data) < end + 4 or int(np.frombuffer(data, "<u4", 1, end)[0]) != length:
            raise FlowError(f"{path}: record {number}: broken framing (not a restart file)")
        body = data[pos + 4:end]
        pos = end + 4
        return body

    head = record(1)
    if len(head) not in (12, 16):
        raise FlowError(f"{path}: record 1: holds {len(head)} bytes, expected 12 or 16")
    ni, nj, count = (int(v) for v in np.frombuffer(head, "<i4", 3))
    steady = len(head) == 12
    time_ = 0.0 if steady else float(np.frombuffer(head, "<f4", 1, 12)[0])
    fields = {}
    for k, name in enumerate(FIELD_NAMES, 2):
        body = record(k)
        if len(body) != 4 * ni * nj:
            raise FlowError(f"{path}: record {k}: holds {len(body)} bytes, expected {4 * ni * nj}")
        fields[name] = np.frombuffer(body, "<f4").astype(np.float32).reshape(nj, ni)
    return RestartFile(ni, nj, steady, count, time_, fields)


def restart_bytes(restart: RestartFile) -> bytes:
    """The bytes of a restart file."""
    parts = []

    def record(body: bytes):
        frame = np.array([len(body)], "<u4").tobytes()
        parts.extend([frame, body, frame])

    head = np.array([restart.ni, restart.nj, restart.count], "<i4").tobytes()
    if not restart.steady:
        head += np.array([restart.time], "<f4").tobytes()
    record(head)
    for name in FIELD_NAMES:
        field = np.asarray(restart.fields[name], dtype="<f4")
        if field.shape != (restart.nj, restart.ni):
            raise ValueError(f"restart field {name}: shape {field.shape}, "
                             f"expected {(restart.nj, restart.ni)}")
        record(field.tobytes())
    return b"".join(parts)


def write_restart(path, restart: RestartFile) -> Path:
    """Write a restart file under a temporary name and rename it into place."""
    return files.write_bytes(path, restart_bytes(restart))


# -- the program's starting fields ------------------------------------------------
def starting_fields(problem: Problem) -> dict:
    """The nine fields as the program starts a run of ``problem`` (before
    any iteration): zero fields, the inlet profile of u in every column of
    the channel rows, c_in on columns 1 and 2 of the channel rows, then the
    properties of the input."""
    f32 = np.float32
    ni, nj = problem.ni, problem.nj
    grid = Grid.of(problem)
    jflow2 = problem.n_flow + 1
    jmemb1, jmemb2 = jflow2 + 1, jflow2 + problem.n_memb
    jgel1, jgel2 = jmemb2 + 1, nj - 1
    shape = (nj, ni)
    fields = {name: np.zeros(shape, np.float32) for name in FIELD_NAMES}
    y = grid.y.astype(np.float32)
    halfgap = f32(problem.halfgap)
    u_in = f32(problem.u_in)
    for j in range(1, jflow2 + 1):
        if problem.parabolic:
            eta = f32(y[j - 1] / halfgap)
            fields["u"][j - 1, :] = u_in * (f32(1.0) - eta * eta)
        else:
            fields["u"][j - 1, :] = u_in
        fields["c"][j - 1, :2] = f32(problem.c_in)
    density = f32(problem.density)
    fields["den"][:] = density
    fields["vis"][:] = f32(problem.viscosity)
    fields["gamt"][:] = f32(1.0)  # vis0 / prandtl
    fields["gamc"][:] = f32(1.0)  # vis0 / schmidt, kept on the mirror rows
    for first, last, diff in ((2, jflow2, problem.diff_flow), (jmemb1, jmemb2, problem.diff_memb),
                              (jgel1, jgel2, problem.diff_gel)):
        fields["gamc"][first - 1:last, :] = f32(diff) * density
    return fields


def time_zero_restart(problem: Problem, flow: RestartFile) -> RestartFile:
    """The restart file of a transient run of ``problem`` at time zero with
    the flow (u, v, p) of ``flow`` and every other field as the program
    starts the run."""
    if (flow.ni, flow.nj) != (problem.ni, problem.nj):
        raise FlowError(f"steady flow of a {flow.ni} by {flow.nj} grid, but the problem has a "
                        f"{problem.ni} by {problem.nj} grid")
    fields = starting_fields(problem)
    for name in ("u", "v", "p"):
        fields[name] = flow.fields[name].copy()
    return RestartFile(problem.ni, problem.nj, False, 0, 0.0, fields)
