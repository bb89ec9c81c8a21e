"""How much memory this process may still take, where the platform tells it."""

from __future__ import annotations

from typing import List, Optional

try:
    import resource
except ImportError:  # not POSIX: no address-space limit to read
    resource = None  # type: ignore[assignment]


def _proc_field(path: str, name: bytes) -> Optional[int]:
    """The kB field ``name`` of a /proc file such as /proc/meminfo, in bytes."""
    try:
        with open(path, "rb") as lines:
            for line in lines:
                if line.startswith(name + b":"):
                    return int(line.split()[1]) * 1024
    except (OSError, ValueError, IndexError):
        pass
    return None


def _cgroup_room() -> Optional[int]:
    """What is left below the memory limit of this process's cgroup (version 2), which
    a container's MemAvailable does not show; None without a limit."""
    try:
        with open("/proc/self/cgroup") as lines:
            group = next(line[3:].strip() for line in lines if line.startswith("0::"))
        base = "/sys/fs/cgroup" + group.rstrip("/")
        with open(base + "/memory.max") as limit, open(base + "/memory.current") as current:
            most = limit.read().strip()
            if most == "max":
                return None
            return max(int(most) - int(current.read()), 0)
    except (OSError, ValueError, StopIteration):
        return None


def available_bytes() -> Optional[int]:
    """Bytes this process may still take: the least of the system's available memory
    (MemAvailable), the room below its cgroup's memory limit and the room below its
    address-space limit (RLIMIT_AS); None when the platform tells none of them."""
    found: List[int] = []
    system = _proc_field("/proc/meminfo", b"MemAvailable")
    if system is not None:
        found.append(system)
    group = _cgroup_room()
    if group is not None:
        found.append(group)
    if resource is not None:
        soft, _ = resource.getrlimit(resource.RLIMIT_AS)
        used = _proc_field("/proc/self/status", b"VmSize")
        if soft != resource.RLIM_INFINITY and used is not None:
            found.append(max(soft - used, 0))
    return min(found) if found else None
