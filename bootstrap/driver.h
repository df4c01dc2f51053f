// The driver: the parent's road and the child's, every step of a run in its order.
#pragma once

// Runs the bootstrap with the arguments captured at entry; returns the exit status.
int runBootstrap(int argumentCount, wchar_t** argumentVector);
