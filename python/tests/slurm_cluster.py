"""A single-node Slurm cluster on this machine, for the sweep's Slurm test.

Needs root (the daemons run as root, munged as the munge user) and Debian's
``slurm-wlm`` and ``munge`` packages, which :func:`start` installs with apt
when they are missing.  Everything else lives in a scratch folder: the
configuration (``slurm.conf``, ``cgroup.conf``), state, spool, logs, pid
files and munged's socket, on private ports.  :meth:`Cluster.stop` stops
the daemons by their pid files.

    cluster = start(scratch)      # raises ClusterUnavailable(reason)
    try: ... run with cluster.env ...
    finally: cluster.stop()
"""

from __future__ import annotations

import os
import shutil
import signal
import socket
import subprocess
import time
from pathlib import Path

PACKAGES = ("slurm-wlm", "munge")
DAEMONS = ("munged", "slurmctld", "slurmd")


class ClusterUnavailable(Exception):
    """The cluster cannot be started here; the message says why, in one line."""


def _free_port() -> int:
    with socket.socket() as s:
        s.bind(("127.0.0.1", 0))
        return s.getsockname()[1]


def _memory_mb() -> int:
    for line in Path("/proc/meminfo").read_text().splitlines():
        if line.startswith("MemTotal:"):
            return int(line.split()[1]) // 1024
    return 1024


def _install() -> None:
    """Install the packages with apt when a daemon is missing (root only)."""
    if all(shutil.which(d) or Path("/usr/sbin", d).exists() for d in DAEMONS):
        return
    if shutil.which("apt-get") is None:
        raise ClusterUnavailable("slurmctld/slurmd/munged missing and no apt-get to install "
                                 + " ".join(PACKAGES))
    env = dict(os.environ, DEBIAN_FRONTEND="noninteractive")
    for command in (["apt-get", "update", "-q"], ["apt-get", "install", "-y", "-q", *PACKAGES]):
        done = subprocess.run(command, env=env, capture_output=True, text=True)
        if done.returncode != 0:
            last = (done.stderr.strip().splitlines() or ["(no message)"])[-1]
            raise ClusterUnavailable(f"{' '.join(command)} failed: {last}")


class Cluster:
    """A running single-node cluster: ``env`` holds SLURM_CONF and USER."""

    def __init__(self, scratch: Path, partition: str):
        self.scratch = scratch
        self.partition = partition
        self.conf = scratch / "slurm.conf"
        self.env = dict(os.environ, SLURM_CONF=str(self.conf), USER=os.environ.get("USER") or "root")
        self.pid_files = {"munged": scratch / "munge" / "munged.pid",
                          "slurmctld": scratch / "slurmctld.pid", "slurmd": scratch / "slurmd.pid"}

    def logs(self) -> str:
        """The tail of every daemon log, for a failure message."""
        text = []
        for name in ("munge/munged.log", "slurmctld.log", "slurmd.log"):
            path = self.scratch / name
            if path.is_file():
                lines = path.read_text(errors="replace").splitlines()[-15:]
                text.append(f"== {name}\n" + "\n".join(lines))
        return "\n".join(text)

    def stop(self) -> None:
        """Stop the daemons by their pid files (slurmd, slurmctld, munged) and
        wait for them to end."""
        for name in ("slurmd", "slurmctld", "munged"):
            path = self.pid_files[name]
            try:
                pid = int(path.read_text().split()[0])
            except (OSError, ValueError, IndexError):
                continue
            try:
                os.kill(pid, signal.SIGTERM)
            except ProcessLookupError:
                continue
            for _ in range(100):
                try:
                    os.kill(pid, 0)
                except ProcessLookupError:
                    break
                time.sleep(0.1)
            else:
                try:
                    os.kill(pid, signal.SIGKILL)
                except ProcessLookupError:
                    pass


def start(scratch, partition: str = "main", timeout: float = 60.0) -> Cluster:
    """Start munged, slurmctld and slurmd with a minimal configuration in
    ``scratch``; returns once the node is idle.  Raises
    :class:`ClusterUnavailable` with the reason when it cannot."""
    if os.geteuid() != 0:
        raise ClusterUnavailable("not root: the Slurm daemons need root to start")
    _install()
    scratch = Path(scratch)
    scratch.mkdir(parents=True, exist_ok=True)
    os.chmod(scratch, 0o755)
    cluster = Cluster(scratch, partition)
    host = socket.gethostname().split(".")[0]
    cpus = os.cpu_count() or 1
    memory = max(_memory_mb() - 512, 256)

    # munge: the machine's key (mode 400, owner munge), a private socket
    munge_dir = scratch / "munge"
    munge_dir.mkdir(exist_ok=True)
    key = Path("/etc/munge/munge.key")
    if not key.is_file():
        subprocess.run(["mungekey", "--create", "--keyfile", str(key)], capture_output=True)
        if not key.is_file():
            subprocess.run(["dd", "if=/dev/urandom", f"of={key}", "bs=1", "count=1024"],
                           capture_output=True)
    shutil.chown(key, "munge", "munge")
    os.chmod(key, 0o400)
    shutil.chown(munge_dir, "munge", "munge")
    os.chmod(munge_dir, 0o755)
    socket_path = munge_dir / "munge.socket"
    done = subprocess.run(["runuser", "-u", "munge", "--", "munged", f"--socket={socket_path}",
                           f"--pid-file={cluster.pid_files['munged']}",
                           f"--log-file={munge_dir / 'munged.log'}",
                           f"--seed-file={munge_dir / 'munged.seed'}", f"--key-file={key}"],
                          capture_output=True, text=True)
    if done.returncode != 0:
        raise ClusterUnavailable("munged did not start: " + (done.stderr.strip().splitlines()
                                                            or ["(no message)"])[-1])

    for sub in ("state", "spool"):
        (scratch / sub).mkdir(exist_ok=True)
    cluster.conf.write_text(f"""\
ClusterName=questrandtest
SlurmctldHost={host}(127.0.0.1)
SlurmUser=root
SlurmdUser=root
SlurmctldPort={_free_port()}
SlurmdPort={_free_port()}
AuthType=auth/munge
AuthInfo=socket={socket_path}
CredType=cred/munge
StateSaveLocation={scratch / 'state'}
SlurmdSpoolDir={scratch / 'spool'}
SlurmctldPidFile={cluster.pid_files['slurmctld']}
SlurmdPidFile={cluster.pid_files['slurmd']}
SlurmctldLogFile={scratch / 'slurmctld.log'}
SlurmdLogFile={scratch / 'slurmd.log'}
ProctrackType=proctrack/linuxproc
TaskPlugin=task/none
JobAcctGatherType=jobacct_gather/none
AccountingStorageType=accounting_storage/none
JobCompType=jobcomp/none
SelectType=select/cons_tres
SelectTypeParameters=CR_CPU_Memory
SchedulerType=sched/backfill
MpiDefault=none
ReturnToService=2
MinJobAge=600
NodeName={host} NodeAddr=127.0.0.1 CPUs={cpus} RealMemory={memory} State=UNKNOWN
PartitionName={partition} Nodes={host} Default=YES MaxTime=INFINITE State=UP
""")
    (scratch / "cgroup.conf").write_text("CgroupPlugin=cgroup/v1\n")

    env = cluster.env
    for daemon in ("slurmctld", "slurmd"):
        done = subprocess.run([daemon, "-f", str(cluster.conf)] + (["-c"] if daemon == "slurmctld" else []),
                              env=env, capture_output=True, text=True)
        if done.returncode != 0:
            cluster.stop()
            raise ClusterUnavailable(f"{daemon} did not start: "
                                     + (done.stderr.strip().splitlines() or ["(no message)"])[-1])
    deadline = time.monotonic() + timeout
    state = ""
    while time.monotonic() < deadline:
        done = subprocess.run(["sinfo", "-h", "-N", "-o", "%t"], env=env, capture_output=True, text=True)
        state = done.stdout.strip()
        if done.returncode == 0 and state.startswith("idle"):
            return cluster
        time.sleep(0.5)
    logs = cluster.logs()
    cluster.stop()
    last = [line for line in logs.splitlines() if "error" in line.lower()][-1:] or [state or "no state"]
    raise ClusterUnavailable(f"the node did not become idle within {timeout:g} s: {last[0].strip()}")
