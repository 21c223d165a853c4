"""Parameter sweeps on Snakemake (``questrand sweep``).

A sweep is a base problem and a list of runs, each the base problem with a
few values changed.  The runs come from a CSV file (a header of problem
names, an optional ``id`` column, one row per run) or from the product of
value lists (``--grid NAME=v1,v2 ...``).  Every name and value is checked
before anything runs: the names and types here, every run's whole problem
by the program itself (``questrand --check``).

The runs are made by the Snakemake workflow ``workflow/Snakefile`` of the
repository, one job per run in ``OUTDIR/runs/ID/``, then
``OUTDIR/summary.csv`` and ``OUTDIR/uptake.png``.  This command writes the
sweep as the workflow's configuration file ``OUTDIR/sweep.json`` and calls
``snakemake`` on it; the workflow reads the same file through
:func:`Sweep.from_config`, so the workflow can also be run directly::

    snakemake -s workflow/Snakefile -d OUTDIR --configfile OUTDIR/sweep.json --cores 4

Snakemake decides what runs: a run whose ``run.json`` exists and whose
problem text is unchanged is not run again (its problem text is a parameter
of the job), a changed row reruns, an interrupted sweep resumes.  A run that
the program ends with a non-zero exit status is recorded as failed in its
``run.json`` and in the summary; this command runs such runs again on its
next invocation.

snakemake runs with this Python (``python -m snakemake``) and finds this
package first on its PYTHONPATH, as do its jobs: the workflow imports the
toolkit that started it.

The modules: :mod:`.definition` (the sweep, its runs and their checks),
:mod:`.execution` (the snakemake command and the runs' job records),
:mod:`.summary` (summary.csv, uptake.png, :func:`read_summary`) and
:mod:`.command` (the command line).  Every name is also available here.
"""

# Every name of the modules is a name of questrand.sweep as well.
from .definition import (_FIELD_TYPES, _PROGRAM_LINE, FLOW_CACHE_DIR, FLOW_MODES,  # noqa: F401
                         ID_PATTERN, ID_REGEX, PREPARED_FILE, PREPARED_FORMAT, RUNS_DIR, Sweep,
                         SweepError, SweepRun, _column_of, _typed, definition_key, format_value, inputs_option,
                         start_dt_option,
                         grid_assignments, parse_value, prepared_rows, problem_line, program_check,
                         read_prepared, write_prepared)
from .execution import (CONFIG_FILE, PROFILES_DIR, RECORD_FILE, SNAKEFILE,  # noqa: F401
                        WORKFLOW_DIR, _record_or_none, _stop, _user, finished, profile_path,
                        read_record, run_fault, snakemake_command, snakemake_env, snakemake_launcher)
from .summary import (PLOT_FILE, SUMMARY_COLUMNS, SUMMARY_FILE,  # noqa: F401
                      _read_summary, plot_uptake_comparison, read_summary, summary_row,
                      write_summary)
from .command import _main, _sweep, add_parser  # noqa: F401

__all__ = ["Sweep", "SweepRun", "SweepError", "parse_value", "format_value", "program_check",
           "summary_row", "write_summary", "plot_uptake_comparison", "snakemake_command",
           "read_summary"]
