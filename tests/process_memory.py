"""This process's memory as the operating system counts it: Linux's /proc/self/status,
Windows' GetProcessMemoryInfo through ctypes, elsewhere (macOS) the peak resident size that
getrusage reports, the closest figure there without Mach calls. Sizes in bytes."""

import ctypes
import sys


class _Counters(ctypes.Structure):
    # PROCESS_MEMORY_COUNTERS_EX
    _fields_ = [("cb", ctypes.c_ulong), ("PageFaultCount", ctypes.c_ulong)] + [
        (name, ctypes.c_size_t)
        for name in (
            "PeakWorkingSetSize WorkingSetSize QuotaPeakPagedPoolUsage QuotaPagedPoolUsage "
            "QuotaPeakNonPagedPoolUsage QuotaNonPagedPoolUsage PagefileUsage PeakPagefileUsage "
            "PrivateUsage"
        ).split()
    ]


def _windows_counters():
    kernel32 = ctypes.WinDLL("kernel32")
    kernel32.GetCurrentProcess.restype = ctypes.c_void_p
    kernel32.K32GetProcessMemoryInfo.argtypes = [ctypes.c_void_p, ctypes.c_void_p, ctypes.c_ulong]
    counters = _Counters()
    counters.cb = ctypes.sizeof(counters)
    assert kernel32.K32GetProcessMemoryInfo(
        kernel32.GetCurrentProcess(), ctypes.byref(counters), counters.cb
    )
    return counters


def _linux_status(key):
    with open("/proc/self/status") as status:
        return next(int(line.split()[1]) * 1024 for line in status if line.startswith(key + ":"))


def _peak_by_getrusage():
    import resource

    return resource.getrusage(resource.RUSAGE_SELF).ru_maxrss  # bytes on macOS


def resident():
    """Bytes in physical memory now."""
    if sys.platform == "win32":
        return _windows_counters().WorkingSetSize
    if not sys.platform.startswith("linux"):
        return _peak_by_getrusage()
    return _linux_status("VmRSS")


def peak_resident():
    """The most bytes this process has had in physical memory."""
    if sys.platform == "win32":
        return _windows_counters().PeakWorkingSetSize
    if not sys.platform.startswith("linux"):
        return _peak_by_getrusage()
    return _linux_status("VmHWM")


def reserved():
    """Bytes of memory the process holds whether touched or not: its address space on Linux,
    its committed private memory on Windows (where untouched allocations count too)."""
    if sys.platform == "win32":
        return _windows_counters().PrivateUsage
    if not sys.platform.startswith("linux"):
        return _peak_by_getrusage()
    return _linux_status("VmSize")
