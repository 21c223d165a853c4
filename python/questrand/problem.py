"""The problem input PROB.INP as a Python object.

A :class:`Problem` holds every value of PROB.INP under the program's own
names.  :meth:`Problem.read` follows the program's reading rules exactly, and
:meth:`Problem.write` writes a commented 64-line file that the program reads
back to the same values.

Reading rules (those of the program):

* the file is a fixed sequence of reads; each read starts on the next line
  not yet consumed;
* a *skip* read consumes a fixed number of lines, whatever they hold;
* an *empty* read consumes exactly one line (a label);
* a *list* read takes its values separated by blanks, tabs, commas or
  semicolons, continues onto further lines until every value is read and
  then ignores the rest of its last line (room for a comment).  ``r*value``
  repeats a value r times; a comma after a comma (or at the start), ``r*``
  alone and a slash leave values unchanged (they keep the program's
  defaults);
* the run name is the first 12 bytes of its line, leading blanks kept: UTF-8
  text that the rule in ``run_name_rule.txt`` (the program's own) accepts.
  The file is read as bytes, as the program reads it.

A problem may also carry the optional physics input PHYSICS.INP
(:attr:`Problem.physics`, a :class:`~questrand.physics.Physics` or None).
It is not one of the dataclass fields (those are the values of PROB.INP),
but it takes part in equality, :meth:`Problem.replace` (a physics key such
as ``partition_gel`` changes the physics), :meth:`Problem.read` (the
PHYSICS.INP beside the file read), :meth:`Problem.write` and
:meth:`Problem.input_files`.

A problem refined in time (:func:`questrand.refine.refined`) also carries
:attr:`Problem.start_dt`, the time step of the problem it was refined from:
the program's ``--start-dt`` (the second-order scheme's start sub-steps
those of that step, so that every grid of a refinement starts over the same
simulated time).  It is no value of any file; it takes part in equality,
:meth:`Problem.replace` and :meth:`Problem.identity`.
"""

from __future__ import annotations

import dataclasses
from pathlib import Path

from . import files
from .errors import ProblemFileError
from .physics import KEYS as PHYSICS_KEYS
from .physics import PHYSICS_FILE, Physics
from .input_checks import _DESCRIPTION, _LAYOUT, _LINE, _checked, _faults, run_name_fault
from .input_format import PROBLEM_FILE, RUNNAME_WIDTH, _format_value, _LineReader, _shown

# the input's description, checks and value reading, importable from here too
from .input_checks import INPUT, RUN_NAME_RULE, Fault, stem_bytes  # noqa: F401
from .input_format import _INT32, _INTEGER, _REAL, _float32, _parse, _single_precision  # noqa: F401

RUNNAME_DEFAULT = "RESULT."


@dataclasses.dataclass(init=False, eq=True, repr=True)
class Problem:
    """Every value of PROB.INP, by the program's names.

    Construct with keywords only, e.g. ``Problem(chlength=0.02, ni=22, ...)``;
    a field not given keeps the value the program itself starts from (the
    value a null entry in PROB.INP leaves).  Unknown names and values of the
    wrong type raise :class:`TypeError` naming the field.  Reals are Python
    floats (the program keeps them in single precision), counts ints,
    switches bools and ``runname`` a text of at most 12 bytes in UTF-8 that
    the program accepts as a run name (:func:`run_name_fault`).
    """

    # geometry
    chlength: float = 0.0
    halfgap: float = 0.0
    th_memb: float = 0.0
    th_gel: float = 0.0
    # inlet
    u_in: float = 0.0
    parabolic: bool = False
    spare: float = 0.0
    c_in: float = 0.0
    # fluid and species
    density: float = 0.0
    viscosity: float = 0.0
    diff_flow: float = 0.0
    diff_memb: float = 0.0
    diff_gel: float = 0.0
    # grid
    ni: int = 3
    n_flow: int = 0
    n_memb: int = 0
    n_gel: int = 0
    # time stepping
    steady: bool = True
    nsteps: int = 1
    dt: float = 1.0
    # equations: solve_u switches the flow (u, v, pressure), solve_c the concentration
    solve_u: bool = False
    solve_c: bool = False
    # iteration control
    maxit: int = 1
    convtol: float = 1.0e-6
    # under-relaxation
    relax_u: float = 1.0
    relax_p: float = 1.0
    relax_c: float = 1.0
    # linear solvers (1 line-by-line, 2 whole-field)
    solver_u: int = 1
    solver_p: int = 1
    solver_c: int = 1
    # output
    imon: int = 2
    jmon: int = 2
    prt_step: int = 1
    runname: str = "RESULT."
    restart_out: bool = False
    restart_in: bool = False

    #: The physics input PHYSICS.INP (:class:`~questrand.physics.Physics`),
    #: or None: no PHYSICS.INP (not a dataclass field: see the module notes).
    physics = None
    #: The time step (s) whose start the second-order scheme's start follows
    #: (the program's ``--start-dt``), or None: the problem's own dt.
    start_dt = None

    def __init__(self, **values):
        known = {f.name: f for f in dataclasses.fields(self)}
        _instrument_flow(values)
        physics = values.pop("physics", None)
        start_dt = values.pop("start_dt", None)
        routed = {name: values.pop(name) for name in list(values) if name in PHYSICS_KEYS}
        for name in values:
            if name not in known:
                raise TypeError(f"Problem: unknown field {name!r} (known fields: "
                                f"{', '.join(known)}, physics, {', '.join(PHYSICS_KEYS)})")
        for name, field in known.items():
            value = values.get(name, field.default)
            object.__setattr__(self, name, _checked(name, field.type, value))
        object.__setattr__(self, "physics", _with_physics(physics, routed))
        object.__setattr__(self, "start_dt", _checked_start_dt(start_dt))

    def __setattr__(self, name, value):
        if name == "physics":
            object.__setattr__(self, name, _with_physics(value, {}))
            return
        if name == "start_dt":
            object.__setattr__(self, name, _checked_start_dt(value))
            return
        known = {f.name: f.type for f in dataclasses.fields(self)}
        if name not in known:
            raise TypeError(f"Problem: unknown field {name!r}")
        object.__setattr__(self, name, _checked(name, known[name], value))

    def __getattr__(self, name):
        # a physics key reads the physics' value (the default without physics)
        if name in PHYSICS_KEYS:
            return getattr(self.physics or _DEFAULT_PHYSICS, name)
        raise AttributeError(f"'Problem' object has no attribute {name!r}")

    def __eq__(self, other):
        if other.__class__ is not self.__class__:
            return NotImplemented
        return (self.as_dict() == other.as_dict() and self.physics == other.physics
                and self.start_dt == other.start_dt)

    def __repr__(self):
        shown = ", ".join(f"{name}={value!r}" for name, value in self.as_dict().items())
        extra = ("" if self.physics is None else f", physics={self.physics!r}") + \
                ("" if self.start_dt is None else f", start_dt={self.start_dt!r}")
        return f"Problem({shown}{extra})"

    # -- derived quantities ------------------------------------------------
    @property
    def nj(self) -> int:
        """Number of grid rows: the three layers plus two mirror rows."""
        return self.n_flow + self.n_memb + self.n_gel + 2

    def faults(self) -> list:
        """The values the program would refuse, as :class:`Fault` objects in
        the order the program meets them (it reports the first), with the
        lines of the file :meth:`text` writes.  Made from the program's own
        description of its input (:data:`INPUT`); the checks that need files
        (the restart file) are the program's alone (``questrand --check``)."""
        return _faults(lambda name: getattr(self, name), _LINE.__getitem__)

    def replace(self, **changes) -> "Problem":
        """A copy with the given fields changed (same checks as the
        constructor).  A physics key (``partition_gel=...``) changes that
        key of the physics (a default physics first when there is none);
        ``physics=`` replaces the whole physics."""
        physics = changes.pop("physics", self.physics)
        start_dt = changes.pop("start_dt", self.start_dt)
        base = self.as_dict()
        if INSTRUMENT_FLOW_KEYS[0] in changes or INSTRUMENT_FLOW_KEYS[1] in changes:
            base.pop("u_in")  # the flow rate sets u_in
        return Problem(**{**base, **changes}, physics=physics, start_dt=start_dt)

    def as_dict(self) -> dict:
        """The PROB.INP values as a plain dict, in file order (the physics
        aside: :attr:`physics`)."""
        return {f.name: getattr(self, f.name) for f in dataclasses.fields(self)}

    def input_files(self) -> dict:
        """Every input file of this problem, name -> bytes: PROB.INP first,
        then, with physics, PHYSICS.INP and its inlet table."""
        return {PROBLEM_FILE: self.data(), **(self.physics.files() if self.physics is not None else {})}

    def identity(self) -> str:
        """A text that is equal for two problems exactly when they write the
        same input files and run alike: the PROB.INP text alone without
        physics and start_dt (so the keys made from it stay what they were),
        else every file's text and the start's step."""
        start = "" if self.start_dt is None else f"\0--start-dt\0{self.start_dt!r}"
        if self.physics is None:
            return self.text() + start
        return "".join(f"\0{name}\0{data.decode('utf-8', 'surrogateescape')}"
                       for name, data in self.input_files().items()) + start

    @classmethod
    def from_files(cls, inputs: dict) -> "Problem":
        """The problem of its input files (name -> bytes or text, as
        :meth:`input_files` gives): PROB.INP, and PHYSICS.INP with its
        inlet table when they are there."""
        data = {name: value if isinstance(value, bytes) else value.encode("utf-8", "surrogateescape")
                for name, value in inputs.items()}
        problem = cls.parse(data[PROBLEM_FILE])
        if PHYSICS_FILE in data:
            problem.physics = Physics.parse(data[PHYSICS_FILE].decode("utf-8"), inputs=data)
        return problem

    # -- file input/output -------------------------------------------------
    @classmethod
    def read(cls, path) -> "Problem":
        """Parse a PROB.INP file with the program's reading rules, and the
        PHYSICS.INP in the same directory when there is one (as the program
        reads it beside PROB.INP).

        Raises :class:`ProblemFileError` naming the file, the line and the
        value that is missing or cannot be read (a
        :class:`~questrand.physics.PhysicsFileError` for PHYSICS.INP).
        """
        path = Path(path)
        if path.is_dir():
            path = path / PROBLEM_FILE
        try:
            data = path.read_bytes()
        except OSError as exc:
            raise ProblemFileError(f"{path}: cannot read the problem input: {exc.strerror}") from None
        problem = cls.parse(data, name=str(path))
        if (path.parent / PHYSICS_FILE).is_file():
            problem.physics = Physics.read(path.parent / PHYSICS_FILE)
        return problem

    @classmethod
    def parse(cls, text, name: str = PROBLEM_FILE, check: bool = False) -> "Problem":
        """Parse a PROB.INP given as its bytes or its text (see :meth:`read`).

        The program reads bytes, and so does this: columns count bytes, and
        the run name is the first 12 bytes of its line, read as UTF-8 text
        (see :func:`run_name_fault`).  With ``check``, the values are also
        checked as the program checks them (:meth:`faults`, on the lines of
        this text), and the first fault the program would meet, a value that
        cannot be read or one it refuses, raises :class:`ProblemFileError`."""
        data = text if isinstance(text, bytes) else text.encode("utf-8", "surrogateescape")
        reader = _LineReader(data.decode("latin-1"), name, _DESCRIPTION)  # one character per byte
        values, lines, name_fault, done = {}, {}, None, 0
        try:
            for done, entry in enumerate(_LAYOUT):
                kind = entry[0]
                if kind == "skip":
                    reader.skip(len(entry[1]), entry[1][0])
                elif kind == "label":
                    reader.skip(1, entry[1])
                elif kind == "text":
                    raw = reader.text(RUNNAME_WIDTH, _DESCRIPTION[entry[1]]).encode("latin-1")
                    lines[entry[1]] = reader.line_no
                    fault = run_name_fault(raw)
                    if fault:  # the program checks the run name after the last line
                        name_fault = (f"{name}: line {reader.line_no}: {_DESCRIPTION[entry[1]]}: "
                                      f"expected {fault}, found \"{_shown(raw.rstrip(b' '))}\"")
                        values[entry[1]] = RUNNAME_DEFAULT
                    else:
                        values[entry[1]] = raw.rstrip(b" ").decode("utf-8")
                else:
                    values.update(reader.values(entry[1], cls.__dataclass_fields__))
                    lines.update((n, reader.line_no) for n in entry[1])
        except ProblemFileError:
            if check:  # a fault the program meets before the value it cannot read
                cls._raise_first(values, lines, name, reads_done=done)
            raise
        if check:
            cls._raise_first(values, lines, name, reads_done=None if name_fault is None else len(_LAYOUT))
        if name_fault:
            raise ProblemFileError(name_fault)
        try:
            return cls(**values)
        except TypeError as exc:
            raise ProblemFileError(f"{name}: {exc}") from None

    @classmethod
    def _raise_first(cls, values, lines, name, reads_done):
        """Raise the first fault of the values read so far, if any."""
        defaults = {f.name: f.default for f in dataclasses.fields(cls)}
        faults = _faults(lambda n: values.get(n, defaults[n]), lambda n: lines.get(n, _LINE[n]),
                         reads_done=reads_done, first=True)
        if faults:
            raise ProblemFileError(faults[0].message(name))

    def data(self) -> bytes:
        """The PROB.INP file of this problem as bytes (UTF-8)."""
        return self.text().encode("utf-8")

    def text(self) -> str:
        """The commented 64-line PROB.INP text of this problem."""
        lines = []
        for entry in _LAYOUT:
            kind = entry[0]
            if kind == "skip":
                lines.extend(entry[1])
            elif kind == "label":
                lines.append(entry[1])
            elif kind == "text":
                lines.append(getattr(self, entry[1]))
            else:
                shown = "  ".join(_format_value(getattr(self, name)) for name in entry[1])
                lines.append(f"{shown:<40s}  {' '.join(entry[1])}")
        return "\n".join(lines) + "\n"

    def write(self, path, *, run_directory: bool = False) -> Path:
        """Write the problem as a commented 64-line PROB.INP, and its
        physics as PHYSICS.INP (with its inlet table) in the same directory.

        ``path`` may be a directory (the file is then ``PROB.INP`` in it).
        ``run_directory``: the directory is one the toolkit runs the program
        in, so a PHYSICS.INP (and inlet table) left there is removed when
        the problem has no physics; elsewhere such files are left alone.
        Returns the path of PROB.INP.
        """
        from .physics import remove_files

        path = Path(path)
        if path.is_dir():
            path = path / PROBLEM_FILE
        files.write_bytes(path, self.data())
        if self.physics is not None:
            self.physics.write(path.parent)
        elif run_directory:
            remove_files(path.parent)
        return path


_DEFAULT_PHYSICS = Physics()

#: The instrument's quantities that set the inlet velocity u_in.
INSTRUMENT_FLOW_KEYS = ("flow_rate", "width")


def _instrument_flow(values: dict) -> None:
    """Replace ``flow_rate`` and ``width`` in ``values`` (a Problem's
    keywords) by the ``u_in`` they imply: numbers in SI (m3/s, m) or texts
    with a unit ("0.5 mL/min", "10 mm").  The model is the half-channel
    above the symmetry plane, half-gap ``halfgap``, so the full gap is
    2·halfgap; for plane Poiseuille flow the mean velocity is
    Q/(W·2·halfgap) and the centreline u_in = 1.5 × mean (a flat inlet,
    ``parabolic`` false: u_in = mean); see
    :func:`questrand.units.centreline_velocity`."""
    given = [key for key in INSTRUMENT_FLOW_KEYS if key in values]
    if not given:
        return
    if len(given) == 1:
        raise TypeError(f"Problem: {given[0]} needs {'width' if given[0] == 'flow_rate' else 'flow_rate'} "
                        "as well (together they set u_in)")
    if "u_in" in values:
        raise TypeError("Problem: give u_in or flow_rate and width, not both")
    from . import units
    try:
        flow_rate = units.parse_quantity(values.pop("flow_rate"), units.VOLUME_FLOW, "flow_rate")
        width = units.parse_quantity(values.pop("width"), units.LENGTH, "width")
        values["u_in"] = units.centreline_velocity(flow_rate, width, float(values.get("halfgap", 0.0)),
                                                   bool(values.get("parabolic", False)))
    except units.UnitError as exc:
        raise TypeError(f"Problem: {exc}") from None


def _checked_start_dt(value):
    """start_dt as a float above 0, or None; else TypeError naming it."""
    if value is None:
        return None
    value = _checked("start_dt", "float", value)
    if not value > 0:
        raise TypeError(f"Problem.start_dt: expected a time step in seconds above 0, got {value!r}")
    return value


def _with_physics(physics, changes: dict):
    """``physics`` (a Physics, None or a dict of its keys) with the physics
    keys ``changes`` set; None when there is neither."""
    if isinstance(physics, dict):
        physics = Physics(**physics)
    if physics is not None and not isinstance(physics, Physics):
        raise TypeError(f"Problem.physics: expected a Physics or None, found {type(physics).__name__}")
    if not changes:
        return physics
    try:
        return (physics or _DEFAULT_PHYSICS).replace(**changes)
    except ValueError as exc:
        raise TypeError(str(exc).replace("Physics.", "Problem.", 1)) from None

