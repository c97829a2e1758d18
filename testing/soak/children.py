"""What every process the driver starts shares: it does not outlive the driver."""
import ctypes
import signal

PR_SET_PDEATHSIG = 1


def die_with_parent():
    """In a child before exec: SIGKILL when the driver dies, even by SIGKILL (a ctest timeout)."""
    ctypes.CDLL(None, use_errno=True).prctl(PR_SET_PDEATHSIG, signal.SIGKILL)
