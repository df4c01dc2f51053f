// Decides the role: a child when the parent handshake variable names a live
// process of this very executable file.
#pragma once

// The variable's value (owned) for a child, null for a parent.
wchar_t* checkParentInstance();

// Parent: publishes what its children recognise it by, its process
// identifier and what its executable file is, in place of any inherited values.
void publishParentInstance();
