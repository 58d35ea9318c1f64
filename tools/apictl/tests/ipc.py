#!/usr/bin/env python3
"""System V objects of the camera's keys, for the end-to-end tests (always
inside a private IPC namespace).
  ipc.py silent       the lock (value 1) and both queues, with nobody serving
  ipc.py lock         prints the lock's value
  ipc.py setlock N    gives the lock the value N
  ipc.py remove       removes the lock and the queues
  ipc.py hold         takes the lock (undone at exit), says "held", waits for SIGTERM"""
import ctypes
import signal
import sys

libc = ctypes.CDLL(None, use_errno=True)
SEM_API, MSG_CONTROL, MSG_RESPONSE = 1682, 1683, 1684
IPC_CREAT, IPC_RMID, GETVAL, SETVAL = 0o1000, 0, 12, 16


def sem(create=False):
    s = libc.semget(SEM_API, 1, (IPC_CREAT if create else 0) | 0o666)
    if s < 0:
        sys.exit("no lock: errno %d" % ctypes.get_errno())
    return s


cmd = sys.argv[1]
if cmd == "silent":
    libc.semctl(sem(True), 0, SETVAL, 1)
    for key in (MSG_CONTROL, MSG_RESPONSE):
        libc.msgget(key, IPC_CREAT | 0o666)
elif cmd == "lock":
    print(libc.semctl(sem(), 0, GETVAL))
elif cmd == "setlock":
    libc.semctl(sem(), 0, SETVAL, int(sys.argv[2]))
elif cmd == "remove":
    libc.semctl(sem(), 0, IPC_RMID)
    for key in (MSG_CONTROL, MSG_RESPONSE):
        q = libc.msgget(key, 0)
        if q >= 0:
            libc.msgctl(q, IPC_RMID, None)
elif cmd == "hold":
    SEM_UNDO = 0x1000
    op = (ctypes.c_short * 3)(0, -1, SEM_UNDO)
    if libc.semop(sem(), op, 1) != 0:
        sys.exit("cannot take the lock: errno %d" % ctypes.get_errno())
    print("held", flush=True)
    signal.sigwait([signal.SIGTERM])
else:
    sys.exit("unknown command " + cmd)
