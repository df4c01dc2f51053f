// The driver: every step of a run in its order, for both roles.
#pragma once

// Runs the bootstrap with the arguments captured at entry; returns the exit status.
int runBootstrap(int argumentCount, wchar_t** argumentVector);
