#pragma once
// The wait for a worker thread that may be talking to the waiting thread.
#include <windows.h>

// Waits until a worker's done event is set. Messages that other threads send to this
// thread's windows are answered meanwhile (a callback moving a progress bar blocks its
// worker until they are), posted ones stay queued for the owner's own loop. The wait
// lasts as long as the worker needs to notice its stop flag.
bool WaitForWorkerEnd(HANDLE done);
